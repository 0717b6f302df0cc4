#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the example need.
# Idempotent and quick when everything is present: apt runs only for what is missing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 libmosquittopp-dev mosquitto mosquitto-clients
  libcurl4-openssl-dev libjsoncpp-dev rapidjson-dev libssl-dev libreadline-dev
  # The web console's HTTP server: a small C library built to face hostile requests.
  libmicrohttpd-dev
  # The browser the console's end-to-end test drives (through npm puppeteer-core).
  chromium
  clang libclang-rt-14-dev
  dpkg-dev jq
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# Node.js drives the independent frame builder in the end-to-end tests.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)
# The end-to-end join server (HTTPS with a test certificate) is a short Python script.
command -v python3 >/dev/null 2>&1 || missing+=(python3)
command -v openssl >/dev/null 2>&1 || missing+=(openssl)

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  if ! $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
fi
