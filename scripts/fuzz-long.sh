#!/usr/bin/env bash
# The long fuzzing run (not part of ./test.sh): every libFuzzer target for FUZZ_RUNS executions
# (default 10 million) on its seed corpus, one target after another, or only the targets named as
# arguments. Prints each target's executions per second. An input that crashes, leaks, trips the
# undefined-behaviour checks or hangs is copied into fuzz/corpus/<target>/ as a regression case
# (./test.sh replays that corpus on every run) and the script stops with status 1.
set -euo pipefail
cd "$(dirname "$0")/.."

runs="${FUZZ_RUNS:-10000000}"
# AddressSanitizer's default 256 MB quarantine of freed blocks, filled over millions of inputs,
# is what took a long run to the memory limit; a smaller one still catches use after free.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=32}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$PWD/fuzz/ubsan.supp"
build="${FUZZ_BUILD:-build/fuzz}"
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVALLORIN_FUZZ=ON -DVALLORIN_TESTS=OFF >/dev/null
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=($(cd fuzz && ls *_fuzz.cpp | sed 's/\.cpp$//'))
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null

for name in "${targets[@]}"; do
  work=$(mktemp -d)
  mkdir -p "$work/corpus" "$work/found"
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/corpus/"
  echo "-- $name ($runs executions)"
  started=$(date +%s)
  if ! "$build/fuzz/$name" -runs="$runs" -max_len=16384 -rss_limit_mb=1024 -timeout=10 \
    -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$work/found/" "$work/corpus" \
    >"$work/log" 2>&1; then
    tail -n 60 "$work/log"
    mkdir -p "fuzz/corpus/$name"
    for input in "$work"/found/*; do
      [ -e "$input" ] || continue
      kept="fuzz/corpus/$name/regression-$(sha1sum "$input" | cut -c1-12)"
      cp "$input" "$kept"
      echo "!! $name: kept the failing input as $kept"
    done
    exit 1
  fi
  seconds=$(( $(date +%s) - started ))
  executed=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
  echo "   ${executed} executions in ${seconds} s: $(( executed / (seconds > 0 ? seconds : 1) )) per second"
  rm -rf "$work"
done
