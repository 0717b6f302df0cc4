#!/usr/bin/env bash
# Installs what is missing, builds, and starts vallorin on the example configuration.
# Everything the server writes (databases, log, packet forwarder files) lives under ./state.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/install-deps.sh

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j "$(nproc)" --target vallorin

mkdir -p state/config state/run state/lora
[ -f state/device_id ] || echo "DEMO-0001" > state/device_id
exec build/release/vallorin -c examples/vallorin.conf "$@"
