#!/usr/bin/env bash
# Measures the server with vallorin-sim: each scenario starts a release server of its own (run-time
# database on tmpfs, flash copy in a temporary folder) with its own mosquitto, runs the load and
# prints the simulator's report. Usage:
#   scripts/load.sh [SCENARIO...]     scenarios: throughput latency classa cpu startup joins (all), classa-us915, classa-us915-hear4, classb, bands, cpu-udp-app, idle
# RUNS=3 repeats each scenario; BUILD=build/release picks the build folder; DURATION=30 the seconds
# of load; QOS=0 publishes at QoS 0 instead of 1, to see what the broker's acknowledgements cost.
# Every report line is also appended to $OUT (load-results.jsonl).
set -euo pipefail
cd "$(dirname "$0")/.."
build="${BUILD:-build/release}"
runs="${RUNS:-1}"
duration="${DURATION:-30}"
out="${OUT:-load-results.jsonl}"
scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || scenarios=(throughput latency classa cpu startup joins)

if [ -z "${NO_BUILD:-}" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 2 --target vallorin vallorin-sim
fi
. scripts/load-lib.sh

abp=(--abp --devices 10000 --gateways 4)
for scenario in "${scenarios[@]}"; do
  for run in $(seq "$runs"); do
    echo "== $scenario (run $run of $runs)"
    duty_off=false
    case "$scenario" in
      throughput)  # sustained uplinks/s, every one stored and published
        prepare; start_server; sim "${abp[@]}" --rate 2500 --duration "$duration" ;;
      latency)     # PUSH_DATA -> MQTT up and PUSH_ACK at 600/s
        prepare; start_server; sim "${abp[@]}" --rate 600 --duration "$duration" ;;
      classa)      # class A answers at 600/s, 10 % confirmed, 10 % with downlinks queued; peak RSS.
        # Some 100 answers a second need more air time than any duty cycle leaves four gateways.
        duty_off=true; prepare; start_server; sim "${abp[@]}" --rate 600 --duration "$duration" --confirmed 10 --downlinks 10
        db_sizes ;;
      classa-us915)  # the same answers where the plan leaves room for them: RX1 at SF7BW500, no duty cycle
        band=US915; prepare; start_server; sim "${abp[@]}" --rate 600 --duration "$duration" --confirmed 10 --downlinks 10
        band="" ;;
      classa-us915-hear4)  # as above, every uplink heard by all four gateways: the scheduler may pick any
        band=US915; prepare; start_server; sim "${abp[@]}" --hear 4 --rate 600 --duration "$duration" --confirmed 10 --downlinks 10
        band="" ;;
      cpu)         # server CPU per uplink at 1 000/s
        prepare; start_server; sim "${abp[@]}" --rate 1000 --duration "$duration" ;;
      cpu-udp-app) # the same with a UDP application on the up port, which then gets every event
        prepare; start_server; sim "${abp[@]}" --rate 1000 --duration "$duration" --udp-app ;;
      startup)     # start-up to the first PUSH_ACK with the 10 000-device database on flash
        prepare; start_server; sim "${abp[@]}" --rate 1000 --duration 5 > /dev/null; stop_server
        db_sizes
        "$build/vallorin" -c "$work/vallorin.conf" > "$work/server.out" 2>&1 &
        server_pid=$!; wrap_pid=$!
        "$build/vallorin-sim" -c "$work/vallorin.conf" --load --devices 0 --duration 0.1 --first-ack 10 | tee -a "$out" || true ;;
      classb)      # class B and C devices side by side with a beacon every 8 s: every downlink
        # outside RX1/RX2 on a ping slot (class B) or at once (class C), none late or on air
        # with another frame, the beacon included. Low rates: class B answers wait for slots.
        beacon_interval=8; prepare; start_server
        "$build/vallorin-sim" -c "$work/vallorin.conf" --load --server-pid "$server_pid" --class B \
          --devices 20 --gateways 2 --interval 20 --duration "$duration" --downlinks 100 \
          --dev-eui 0080000000d10000 --gateway-eui 0080000000a50000 | tee -a "$out" &
        # The beacon goes to the first forwarder that pulled: the class B devices' own.
        sleep 2
        "$build/vallorin-sim" -c "$work/vallorin.conf" --load --server-pid "$server_pid" --class C --abp \
          --devices 20 --gateways 2 --hear 2 --interval 10 --duration "$duration" --downlinks 100 \
          --confirmed 20 --dev-eui 0080000000d20000 --dev-addr 00300000 \
          --gateway-eui 0080000000a60000 | tee -a "$out" || true
        wait || true
        beacon_interval=0 ;;
      bands)       # every channel plan: OTAA joins, then confirmed uplinks and downlinks heard by
        # two gateways, with the plan's duty cycle; nothing lost, late, bad or on air with another
        for band in AS923 AU915 EU868 IN865 KR920 US915; do
          echo "-- $band"; prepare; start_server
          sim --devices 40 --gateways 2 --hear 2 --join-rate 10 --interval 8 --duration "$duration" \
            --drain 8 --confirmed 30 --downlinks 30 --confirmed-downlinks
          warnings; stop_server
        done
        band="" ;;
      joins)       # 1 000 OTAA joins at 20/s over 4 gateways, duty cycle disabled
        duty_off=true; prepare; start_server
        sim --devices 1000 --gateways 4 --join-rate 20 --duration 52 --drain 8 --interval 1000000 ;;
      idle)        # what the web console costs a server with no traffic: CPU and RSS over a minute
        for web_on in false true; do
          prepare; start_server; sleep 5
          read -r cpu0 rss0 < <(server_usage); sleep 60; read -r cpu1 rss1 < <(server_usage)
          printf '{"scenario":"idle","web":%s,"cpu_s_per_min":%.2f,"rss_kB":%s}\n' "$web_on" \
            "$(awk -v a="$cpu0" -v b="$cpu1" 'BEGIN { print b - a }')" "$rss1" | tee -a "$out"
        done ;;
      *) echo "unknown scenario $scenario"; exit 2 ;;
    esac
    [ -n "$work" ] && warnings
    cleanup
  done
done
