#!/usr/bin/env bash
# A long run at 600 uplinks/s with everything a gateway sees at once: 2 000 ABP devices over four
# forwarders (10 % confirmed, 10 % with a downlink always queued) and 300 OTAA devices that join
# first and then send every five seconds. It samples the server's RSS, open descriptors, threads
# and run-time database size, and fails on a lost uplink, a bad downlink, a descriptor or thread
# that does not come back, or (in runs of ten minutes or more) RSS growth of 1 MB or more after
# the warm-up. It also fails when a backup to flash fails. Usage:
#   scripts/soak.sh [DURATION]    seconds (1800); BUILD=build/release picks the build folder
set -euo pipefail
cd "$(dirname "$0")/.."
duration="${1:-1800}"
build="${BUILD:-build/release}"
out="${OUT:-/dev/null}"
if [ -z "${NO_BUILD:-}" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j 2 --target vallorin vallorin-sim >/dev/null
fi
. scripts/load-lib.sh

every=$(( duration / 60 )); [ "$every" -ge 5 ] || every=5
# Backups every ten minutes (the shortest interval allowed), so that a long run writes the flash
# copy under load too. The warm-up ends once the first trim and backup have run: the memory they
# take the first time (SQLite's page cache filling, the backup thread's heap) stays for the rest
# of the process's life and is not growth.
backup_interval=600
warmup=$(( duration / 3 )); [ "$warmup" -le 300 ] || warmup=300
# A run that reaches the first backup counts its growth only after it, however long the run.
[ "$duration" -le $(( backup_interval + 60 )) ] || warmup=$(( backup_interval + 60 ))
rss_limit_kb=1024

duty_off=true
prepare
start_server
sims=$(mktemp -d)
trap 'cleanup; rm -rf "$sims"' EXIT
"$build/vallorin-sim" -c "$work/vallorin.conf" --load --server-pid "$server_pid" --abp --devices 2000 \
  --gateways 4 --rate 540 --confirmed 10 --downlinks 10 --duration "$duration" --drain 5 \
  >"$sims/abp.json" 2>"$sims/abp.txt" &
abp_pid=$!
"$build/vallorin-sim" -c "$work/vallorin.conf" --load --devices 300 --gateways 2 --join-rate 10 \
  --interval 5 --duration "$duration" --drain 5 --gateway-eui 0080000000a20000 \
  --dev-eui 0080000000b20000 >"$sims/otaa.json" 2>"$sims/otaa.txt" &
otaa_pid=$!

printf '%8s %10s %6s %8s %10s\n' seconds rss_kB fds threads db_kB
samples="$sims/samples"
start=$(date +%s)
while kill -0 "$abp_pid" 2>/dev/null || kill -0 "$otaa_pid" 2>/dev/null; do
  sleep "$every"
  [ -r "/proc/$server_pid/status" ] || { echo "!! the server is gone"; tail -n 20 "$work/vallorin.log"; exit 1; }
  t=$(( $(date +%s) - start ))
  [ "$t" -le "$duration" ] || continue  # the drain: the load has stopped
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$server_pid/status")
  threads=$(awk '/^Threads/ {print $2}' "/proc/$server_pid/status")
  fds=$(ls "/proc/$server_pid/fd" | wc -l)
  db=$(du -kL "$work-run/" | tail -1 | cut -f1)
  printf '%8s %10s %6s %8s %10s\n' "$t" "$rss" "$fds" "$threads" "$db" | tee -a "$samples"
done
status=0
wait "$abp_pid" || status=1
wait "$otaa_pid" || status=1
cat "$sims/abp.json" "$sims/otaa.json" >>"$out"
echo "-- ABP devices"; cat "$sims/abp.txt" | tr '\r' '\n' | grep -v '^ *[0-9.]* s  up' || true
echo "-- OTAA devices"; cat "$sims/otaa.txt" | tr '\r' '\n' | grep -v '^ *[0-9.]* s  up' || true
[ "$status" -eq 0 ] || echo "!! a simulator saw a lost uplink or a bad downlink"

# After the warm-up: the first sample there is the reference.
read -r verdict < <(awk -v warm="$warmup" -v limit="$rss_limit_kb" -v check="$(( duration >= 600 ))" '
  $1 >= warm { if (!n++) { rss0 = $2; fd0 = $3; th0 = $4 }
               if ($2 - rss0 > grow) grow = $2 - rss0
               if ($3 - fd0 > fdd) fdd = $3 - fd0; if (fd0 - $3 > fdd) fdd = fd0 - $3
               if ($4 != th0) thd = 1 }
  END { bad = (fdd > 2) || thd || (check && grow >= limit)
        printf "%s rss_growth_kB=%d fd_drift=%d threads_changed=%d samples=%d\n", bad ? "FAIL" : "ok", grow, fdd, thd, n }' "$samples")
echo "after ${warmup} s of warm-up: $verdict"
case "$verdict" in FAIL*) status=1 ;; esac
ok_backups=$(grep -a -c "Database backup ok" "$work/vallorin.log" || true)
bad_backups=$(grep -a -c -i "backup failed\|backup not possible" "$work/vallorin.log" || true)
echo "backups to flash: ${ok_backups:-0} ok, ${bad_backups:-0} failed"
[ "${bad_backups:-0}" -eq 0 ] || status=1
warnings
exit "$status"
