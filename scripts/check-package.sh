#!/usr/bin/env bash
# Builds the Debian package and checks it without installing it system-wide: its files, conffile
# marking and maintainer scripts, the unit file and the init script; then the packaged binary is
# started from an unpacked tree on the packaged configuration, with every path moved into that
# tree, and must answer a packet forwarder's PULL_DATA and stop cleanly on SIGTERM.
#   scripts/check-package.sh [build-folder]     (default build/release)
set -euo pipefail
cd "$(dirname "$0")/.."

deb="$(./scripts/package.sh "${1:-build/release}")"
work="$(mktemp -d)"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill -KILL "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "package check: $*" >&2; exit 1; }

echo "package: $deb"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's#^\./#/#' > "$work/contents"
for f in /usr/sbin/vallorin /usr/bin/vallorin-cli /usr/bin/vallorin-sim /etc/vallorin/vallorin.conf \
         /etc/vallorin/global_conf.json /usr/share/vallorin/global_conf.json /etc/default/vallorin \
         /etc/init.d/vallorin /lib/systemd/system/vallorin.service \
         /usr/share/doc/vallorin/operator.md /usr/share/doc/vallorin/examples/fleet/gateway-bridge.conf; do
  grep -qx "$f" "$work/contents" || fail "$f missing from the package"
done

dpkg-deb -e "$deb" "$work/control"
for f in /etc/vallorin/vallorin.conf /etc/vallorin/global_conf.json /etc/default/vallorin \
         /etc/init.d/vallorin; do
  grep -qx "$f" "$work/control/conffiles" || fail "$f is not a conffile"
done
grep -q '^Depends:.*libsqlite3' "$work/control/control" || fail "no library dependencies"
grep -q '^Recommends: mosquitto' "$work/control/control" || fail "mosquitto not recommended"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "$script missing or not executable"
  sh -n "$work/control/$script" || fail "$script has a syntax error"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
sh -n "$root/etc/init.d/vallorin" || fail "the init script has a syntax error"
[ -x "$root/etc/init.d/vallorin" ] || fail "the init script is not executable"
if command -v systemd-analyze >/dev/null 2>&1; then
  # verify wants the binary the unit names; it lies in the unpacked tree.
  mkdir -p "$work/unit"
  sed "s#/usr/sbin/vallorin#$root/usr/sbin/vallorin#" "$root/lib/systemd/system/vallorin.service" \
    > "$work/unit/vallorin.service"
  systemd-analyze verify --man=no "$work/unit/vallorin.service" || fail "the unit file does not verify"
fi

# The packaged configuration with every absolute path moved into the tree; free loopback ports;
# the log in a file of the tree instead of the system log, and no broker.
free_port() { python3 -c 'import socket; s=socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
free_tcp_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
up=$(free_port); down=$(free_port); app_up=$(free_port); app_down=$(free_port); cmd=$(free_port)
web=$(free_tcp_port)
jq --arg root "$root" --argjson up "$up" --argjson down "$down" --argjson appup "$app_up" \
   --argjson appdown "$app_down" --argjson cmd "$cmd" --argjson web "$web" '
  walk(if type == "string" and startswith("/") then $root + . else . end)
  | .udp.upstreamPort = $up | .udp.downstreamPort = $down | .udp.appPortUp = $appup
  | .udp.appPortDown = $appdown | .udp.commandPort = $cmd | .udp.orbaPort = $cmd
  | .web.port = $web | .log.syslog = false | .mqtt.enabled = false' \
  "$root/etc/vallorin/vallorin.conf" > "$work/vallorin.conf"
mkdir -p "$root/var/lib/vallorin" "$root/var/log/vallorin" "$root/run"
echo "PACKAGE-CHECK" > "$root/etc/vallorin/device_id"   # written by postinst on a real install

"$root/usr/sbin/vallorin" --check-config -c "$work/vallorin.conf" > /dev/null \
  || fail "the packaged configuration does not pass --check-config"

"$root/usr/sbin/vallorin" -c "$work/vallorin.conf" > "$work/stdout" 2>&1 &
server_pid=$!
# PULL_DATA (version 2, token 0x1234, gateway EUI) until the PULL_ACK comes, at most 10 s.
python3 - "$down" <<'PY' || { cat "$root/var/log/vallorin/vallorin.log" "$work/stdout" >&2; fail "no PULL_ACK"; }
import socket, sys, time
port = int(sys.argv[1])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(0.5)
pull = bytes([2, 0x12, 0x34, 2]) + bytes.fromhex("0080000000a00f4d")
deadline = time.time() + 10
while time.time() < deadline:
    s.sendto(pull, ("127.0.0.1", port))
    try:
        data, _ = s.recvfrom(64)
    except socket.timeout:
        continue
    if data[:4] == bytes([2, 0x12, 0x34, 4]):
        sys.exit(0)
sys.exit(1)
PY
# The web console serves its page from the binary.
python3 - "$web" <<'PY' || fail "the web console does not answer"
import sys, urllib.request
direct = urllib.request.build_opener(urllib.request.ProxyHandler({}))
page = direct.open(f"http://127.0.0.1:{sys.argv[1]}/", timeout=5).read()
sys.exit(0 if b"<html" in page else 1)
PY
kill -TERM "$server_pid"
status=0
wait "$server_pid" || status=$?
server_pid=""
[ "$status" -eq 0 ] || fail "the server exited with $status after SIGTERM"
[ -s "$root/var/lib/vallorin/vallorin.db" ] || fail "no database backup on flash after the stop"
echo "package check passed"
