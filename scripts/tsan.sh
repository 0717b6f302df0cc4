#!/usr/bin/env bash
# ThreadSanitizer over what runs threads: the unit tests of the shared queues, lists, workers,
# scheduler and database client, and a few end-to-end runs of the real binary (broker restarts,
# a downlink, the command port) where every server thread is busy at once. Reports go to files, so
# a race in the server process (which the end-to-end tests only watch from outside) fails the run
# as surely as one in a test process. Needs clang.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/tsan
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
# -O1 with line tables keeps the build short and the reports readable.
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_UNITY_BUILD=ON \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -gline-tables-only" -DVALLORIN_TSAN=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target vallorin_tsan_tests vallorin_e2e >/dev/null

export TSAN_OPTIONS="log_path=$reports/race second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
status=0
run() {
  if ! "$@" --gtest_brief=1 >"$reports/output" 2>&1; then
    tail -n 80 "$reports/output"
    status=1
  fi
  grep -E '^\[  (PASSED|FAILED) ' "$reports/output" || true
}
run "$build/tests/vallorin_tsan_tests"
# The broker killed mid-stream, a downlink with its acknowledgement, the command port, and the
# class B and C paths (beacon, time thread, transmit queue). A pattern that matches no test any
# more (a test renamed or merged) fails the run rather than shrinking it unseen.
e2e=(BrokerFaults.AKilled* Downlinks.QueuedData* CommandPort.* ClassCDevice.* ClassBDevice.*)
for pattern in "${e2e[@]}"; do
  if ! "$build/tests/vallorin_e2e" --gtest_list_tests --gtest_filter="$pattern" | grep -q '^  '; then
    echo "!! no end-to-end test matches $pattern"
    status=1
  fi
done
run "$build/tests/vallorin_e2e" --gtest_filter="$(IFS=:; echo "${e2e[*]}")"
if compgen -G "$reports/race.*" >/dev/null; then
  cat "$reports"/race.*
  echo "!! ThreadSanitizer reported the races above"
  exit 1
fi
exit "$status"
