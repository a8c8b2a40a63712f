#!/usr/bin/env bash
# The Debian package as a device gets it: built by CPack, its name, control fields, dependencies
# and file list checked, unpacked into a throw-away root (dpkg -x), and the installed service
# started there by its init script with the simulated device library: it must answer a request,
# report its status, and stop.
#   package_test.sh CPACK BUILD_DIR VERSION DEBIAN_ARCH SIMULATOR_DIR
# Uses 127.0.0.1:8888 (the port8888 lock).
set -uo pipefail
export LC_ALL=C
cpack=$1 build=$2 version=$3 arch=$4 simulator_dir=$5
work=$(mktemp -d)
pidfile=$work/korva-server.pid
cleanup() {
  [[ -s $pidfile ]] && kill -9 "$(cat "$pidfile")" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

(cd "$build" && "$cpack" -G DEB -B "$work/out") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; echo "FAILED: cpack"; exit 1; }
deb=$work/out/korva-server_${version}_${arch}.deb
[[ -f $deb ]] || { ls "$work/out"; echo "FAILED: no $(basename "$deb")"; exit 1; }
dpkg-deb --info "$deb"

[[ $(dpkg-deb -f "$deb" Package) == korva-server ]] || fail "package name"
[[ $(dpkg-deb -f "$deb" Architecture) == "$arch" ]] || fail "architecture"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6; do
  tr ',' '\n' <<<"$depends" | awk '{ print $1 }' | grep -qxF "$library" || fail "Depends lacks $library: $depends"
done
grep -q wsserver <<<"$depends" && fail "Depends names the device library, which no package provides: $depends"
grep -q libssl <<<"$depends" && fail "Depends names OpenSSL, which the service does not use: $depends"

expected='./etc/init.d/korva-server
./usr/bin/korva-server
./usr/lib/systemd/system/korva-server.service
./usr/share/doc/korva-server/README.deploy.md
./usr/share/doc/korva-server/examples/nginx/korva-console.conf
./usr/share/korva/console/console.css
./usr/share/korva/console/console.js
./usr/share/korva/console/index.html'
files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
[[ "$files" == "$expected" ]] || fail "file list:
$files
expected:
$expected"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles 2>/dev/null | grep -qx /etc/init.d/korva-server ||
  fail "the init script is not a conffile"

root=$work/root
dpkg -x "$deb" "$root"
binary=$root/usr/bin/korva-server
readelf -S "$binary" | grep -q '\.symtab' && fail "the binary is not stripped"
readelf -d "$binary" | grep -qE 'R(UN)?PATH' && fail "the binary carries a run path"
grep -qx 'ExecStart=/usr/bin/korva-server' "$root/usr/lib/systemd/system/korva-server.service" ||
  fail "the unit does not start /usr/bin/korva-server"
init=$root/etc/init.d/korva-server
[[ -x $init ]] || fail "the init script is not executable"
grep -qx 'DAEMON=${DAEMON:-/usr/bin/korva-server}' "$init" || fail "the init script does not start /usr/bin/korva-server"

# The installed service, started by the installed init script, with the simulated device library.
export DAEMON=$binary PIDFILE=$pidfile LD_LIBRARY_PATH=$simulator_dir
sh "$init" start || fail "init script start"
answered=""
for _ in $(seq 1 50); do
  if exec 3<>/dev/tcp/127.0.0.1/8888; then
    printf 'GET /api HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n' >&3
    # The request {"command":"echo"} in one masked text frame (a zero mask leaves the bytes as they are).
    printf '\x81\x92\x00\x00\x00\x00{"command":"echo"}' >&3
    # The head of the answer up to its blank line, then the 20 bytes of the reply's frame.
    while IFS= read -r -t 5 line <&3 && [[ $line != $'\r' ]]; do
      answered+="${line%$'\r'}"$'\n'
    done
    IFS= read -r -N 20 -t 5 frame <&3 && answered+=$(printf '%s' "$frame" | tr '\201\022' '#%')
    exec 3<&-
    break
  fi
  sleep 0.1
done 2>/dev/null
echo "answer: $answered"
grep -q '^HTTP/1.1 101 ' <<<"$answered" || fail "no 101 answer to the upgrade"
grep -qF '#%{"command":"echo"}' <<<"$answered" || fail "the echo request was not answered"
sh "$init" status || fail "init script status: not running"
sh "$init" stop || fail "init script stop"
sh "$init" status >/dev/null && fail "still running after stop"
[[ -e $pidfile ]] && fail "the pid file is left behind"

[[ $failed -eq 0 ]] && echo "package_test: passed"
exit $failed
