#!/usr/bin/env bash
# Builds the Debian package from the optimised build and prints its path.
#   scripts/package.sh [build-folder]     (default build/release, the folder ./run.sh uses)
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh >&2

build="${1:-build/release}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(vallorin vallorin-cli)
# The simulator ships when this tree has it.
if cmake --build "$build" --target help | grep -q '^\.\.\. vallorin-sim$'; then
  targets+=(vallorin-sim)
fi
cmake --build "$build" -j "$(nproc)" --target "${targets[@]}" >&2
rm -rf "$build/package"
(cd "$build" && cpack -G DEB >&2)
ls "$PWD/$build"/package/vallorin_*.deb
