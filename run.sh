#!/usr/bin/env bash
# Installs what is missing, builds, and starts vallorin on the example configuration.
# Everything the server writes (databases, log, packet forwarder files) lives under ./state.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target vallorin vallorin-cli vallorin-sim

mkdir -p state/config state/run state/lora
[ -f state/device_id ] || echo "DEMO-0001" > state/device_id

# The example configuration publishes to a broker on this port. When none answers there, a local
# mosquitto runs for this session only and is stopped when the server exits.
mqtt_port="${MQTT_PORT:-1883}"
broker_pid=""
if ! (exec 3<>"/dev/tcp/127.0.0.1/$mqtt_port") 2>/dev/null; then
  mosquitto_bin="$(command -v mosquitto || echo /usr/sbin/mosquitto)"
  printf 'listener %s 127.0.0.1\nallow_anonymous true\nlog_dest stderr\n' "$mqtt_port" \
    > state/mosquitto.conf
  "$mosquitto_bin" -c state/mosquitto.conf 2> state/mosquitto.log &
  broker_pid=$!
  trap '[ -n "$broker_pid" ] && kill "$broker_pid" 2>/dev/null; wait "$broker_pid" 2>/dev/null || true' EXIT
  for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$mqtt_port") 2>/dev/null && break
    kill -0 "$broker_pid" 2>/dev/null || { echo "mosquitto did not start, see state/mosquitto.log"; exit 1; }
    sleep 0.1
  done
  echo "Started a local MQTT broker on 127.0.0.1:$mqtt_port for this session"
fi

# The browser console listens once the server is up (loopback unless udp.allowPublic is set).
if [ "$(jq -r '.web.enabled // true' examples/vallorin.conf)" = "true" ]; then
  echo "Web console: http://127.0.0.1:$(jq -r '.web.port // 8080' examples/vallorin.conf)/"
fi

status=0
build/release/vallorin -c examples/vallorin.conf "$@" || status=$?
exit "$status"
