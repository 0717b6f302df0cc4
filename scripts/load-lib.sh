# Shared by load.sh and soak.sh: a release server of its own per run (run-time database on tmpfs,
# flash copy in a temporary folder) with its own mosquitto. Sourced; expects $build and $out.
mosquitto_bin="$(command -v mosquitto || echo /usr/sbin/mosquitto)"

free_port() { python3 -c 'import socket,sys; s=socket.socket(socket.AF_INET,getattr(socket,sys.argv[1])); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])' "$1"; }

work=""; work_run=""; server_pid=""; wrap_pid=""; broker_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$wrap_pid" 2>/dev/null || true
  [ -n "$broker_pid" ] && kill "$broker_pid" 2>/dev/null && wait "$broker_pid" 2>/dev/null || true
  server_pid=""; broker_pid=""
  [ -n "$work" ] && rm -rf "$work" "$work-run" "$work_run"
  work=""; work_run=""
}
trap cleanup EXIT

# A fresh folder, broker and configuration; the server is started by start_server.
prepare() {
  cleanup
  work="$(mktemp -d "${TMPDIR:-/var/tmp}/vallorin-load.XXXXXX")"
  mkdir -p "$work/flash" "$work-run" 2>/dev/null || true
  # The run-time copy lives on tmpfs when there is one, as on the gateway.
  if [ -d /dev/shm ]; then rm -rf "$work-run"; work_run="$(mktemp -d /dev/shm/vallorin-run.XXXXXX)"; ln -s "$work_run" "$work-run"; fi
  echo "LOAD-TEST" > "$work/device_id"
  mqtt_port=$(free_port SOCK_STREAM)
  printf 'listener %s 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n' "$mqtt_port" > "$work/mosquitto.conf"
  "$mosquitto_bin" -c "$work/mosquitto.conf" 2> "$work/mosquitto.log" &
  broker_pid=$!
  up=$(free_port SOCK_DGRAM); down=$(free_port SOCK_DGRAM); cmd=$(free_port SOCK_DGRAM)
  cat > "$work/vallorin.conf" <<JSON
{
  "db": "$work/flash/vallorin.db",
  "paths": {"runDir": "$work-run", "deviceIdFile": "$work/device_id", "templateDir": "$work/",
            "templateFallbackDir": "$work/", "restartCommand": "true &",
            "whitelistFile": "$work/whitelist.jsonlines", "commandDir": "$work"},
  "log": {"level": 30, "console": false, "path": "$work/vallorin.log"},
  "lora": {"frequencyBand": "${band:-EU868}", "netID": "000013", "rx1Delay": 1, "joinDelay": 5, "beaconInterval": ${beacon_interval:-0}},
  "network": {"public": 1, "eui": "00-11-22-33-44-55-66-77", "key": "000102030405060708090a0b0c0d0e0f"},
  "udp": {"upstreamPort": $up, "downstreamPort": $down, "commandPort": $cmd,
          "appPortUp": $(free_port SOCK_DGRAM), "appPortDown": $(free_port SOCK_DGRAM), "orbaPort": $(free_port SOCK_DGRAM)},
  "mqtt": {"enabled": true, "host": "127.0.0.1", "port": $mqtt_port, "qos": ${QOS:-1}},
  "addressRange": {"start": "00000001", "end": "01FFFFFE"},
  "web": {"enabled": ${web_on:-true}, "port": $(free_port SOCK_STREAM)},
  "trimInterval": ${trim_interval:-600}, "backupInterval": ${backup_interval:-3600},
  "test": {"disableDutyCycle": ${duty_off:-false}}
}
JSON
  for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$mqtt_port") 2>/dev/null && break; sleep 0.1; done
}

# SERVER_WRAP runs the server under a tool (heaptrack, perf record, valgrind). The figures and the
# signals are the server's own: a wrapper that starts it as a child (heaptrack) would otherwise be
# measured instead, and left the server running when it was killed.
start_server() {
  ${SERVER_WRAP:-} "$build/vallorin" -c "$work/vallorin.conf" > "$work/server.out" 2>&1 &
  server_pid=$!; wrap_pid=$!
  # Ready once the packet forwarder port is bound.
  local hex; hex=$(printf ':%04X ' "$up")
  for _ in $(seq 100); do
    if grep -q "$hex" /proc/net/udp; then
      [ -z "${SERVER_WRAP:-}" ] || server_pid=$(pgrep -n -f -- "^([^ ]*/)?vallorin -c $work/vallorin.conf") || server_pid=$wrap_pid
      return 0
    fi
    sleep 0.1
  done
  echo "server did not start:"; tail -n 20 "$work/server.out"; tail -n 20 "$work/vallorin.log"; exit 1
}

stop_server() { kill "$server_pid"; wait "$wrap_pid" 2>/dev/null || true; server_pid=""; }

sim() {
  # A run with losses still reports, and the next scenario goes on.
  "$build/vallorin-sim" -c "$work/vallorin.conf" --load --server-pid "$server_pid" "$@" | tee -a "$out" || true
}

# What the server complained about, most frequent first (EUIs and numbers folded together).
warnings() {
  grep -a -E '\[(WARN|WARNING|ERROR)\]' "$work/vallorin.log" 2>/dev/null | cut -d' ' -f3- |
    sed -E 's/[0-9a-f]{2}(-[0-9a-f]{2}){7}/EUI/g; s/[0-9]+/N/g' | sort | uniq -c | sort -rn | head -n 5 || true
}

db_sizes() {
  echo "run-time database on tmpfs: $(du -k "$work-run/" | tail -1 | cut -f1) kB; flash copy: $(du -k "$work/flash" | tail -1 | cut -f1) kB"
}


# The server's CPU seconds (user + system) and its RSS in kB, from /proc.
server_usage() {
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.2f ", ($14 + $15) / hz }' "/proc/$server_pid/stat"
  awk '/^VmRSS/ { print $2 }' "/proc/$server_pid/status"
}
