#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time on its seed corpus.
# FUZZ_SECONDS sets the time per target (default 30).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-30}"
# AddressSanitizer's default 256 MB quarantine of freed blocks, filled over millions of inputs,
# is what took a long run to the memory limit; a smaller one still catches use after free.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=32}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:suppressions=$PWD/fuzz/ubsan.supp"
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_UNITY_BUILD=ON \
  -DVALLORIN_FUZZ=ON -DVALLORIN_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target $(cd fuzz && ls *_fuzz.cpp | sed 's/\.cpp$//') >/dev/null

for source in fuzz/*_fuzz.cpp; do
  name=$(basename "$source" .cpp)
  work=$(mktemp -d)
  [ -d "fuzz/corpus/$name" ] && cp -r "fuzz/corpus/$name/." "$work/"
  echo "-- $name (${seconds} s)"
  if ! "$build/fuzz/$name" -max_total_time="$seconds" -max_len=16384 -rss_limit_mb=1024 -close_fd_mask=3 \
    -print_final_stats=1 -artifact_prefix="$work/" "$work" >"$work.log" 2>&1; then
    cat "$work.log"
    echo "!! $name failed; the input that broke it is in $work"
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units)' "$work.log" || true
  rm -rf "$work" "$work.log"
done
