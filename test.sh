#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
# The suite runs in the AddressSanitizer + UndefinedBehaviorSanitizer build; the optimised build that
# ./run.sh ships is built too (the programs and the benchmarks, not the suites a second time), so
# that optimiser-only warnings stop us here and the benchmarks compile.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh
# The independent LoRaWAN frame builder of the end-to-end tests.
npm ci --prefix tests/e2e/node --no-audit --no-fund --loglevel=error >/dev/null

jobs=$(nproc)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

echo "== sanitizer build [${SECONDS} s]"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DVALLORIN_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
echo "== tests (sanitizers) [${SECONDS} s]"
# Twice as many as there are cores: the end-to-end tests spend most of their time waiting for
# receive windows and beacons, and the longest of them set the suite's length.
ctest --test-dir build/asan --output-on-failure -j "$((2 * jobs))" --timeout 300

echo "== release build [${SECONDS} s]"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVALLORIN_BENCH=ON >/dev/null
cmake --build build/release -j "$jobs" --target vallorin vallorin-cli vallorin-sim vallorin_bench

echo "== Debian package (built, unpacked and started) [${SECONDS} s]"
timeout 900 ./scripts/check-package.sh build/release

echo "== soak, one minute at 600 uplinks/s (no loss, flat descriptors and threads) [${SECONDS} s]"
NO_BUILD=1 BUILD=build/release ./scripts/soak.sh 60

echo "== ThreadSanitizer (concurrency unit tests, a few end-to-end runs) [${SECONDS} s]"
./scripts/tsan.sh

if [ -x scripts/fuzz.sh ]; then
  echo "== fuzz (bounded) [${SECONDS} s]"
  FUZZ_SECONDS="${FUZZ_SECONDS:-10}" ./scripts/fuzz.sh
fi
echo "== all tests passed [${SECONDS} s]"
