#!/usr/bin/env bash
# The systemd unit as `cmake --install --prefix /usr` installs it: checked by systemd-analyze verify
# (any message fails it), with the sandbox settings the service is meant to run under.
#   unit_test.sh CMAKE BUILD_DIR
# Exits 77 (skipped) only when systemd-analyze cannot run at all.
set -uo pipefail
cmake=$1 build=$2
if ! systemd-analyze --version >/dev/null 2>&1; then
  echo "systemd-analyze cannot run here: the unit is not checked"
  exit 77
fi
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

DESTDIR=$root "$cmake" --install "$build" --prefix /usr >/dev/null || { echo "FAILED: cmake --install"; exit 1; }
unit=$root/usr/lib/systemd/system/korva-server.service
[[ -f $unit ]] || { echo "FAILED: no $unit"; exit 1; }
cat "$unit"

for line in 'ExecStart=/usr/bin/korva-server' 'Restart=on-failure' 'NoNewPrivileges=yes' 'ProtectSystem=strict' \
            'ReadWritePaths=/var/log' 'ProtectHome=yes' 'PrivateTmp=yes' 'RestrictAddressFamilies=AF_INET AF_UNIX' \
            'WantedBy=multi-user.target'; do
  grep -qxF "$line" "$unit" || fail "the unit lacks '$line'"
done
grep -qE '^MemoryMax=[0-9]+[KMG]$' "$unit" || fail "the unit sets no memory limit"
# The request-time file is the one file the service writes, and /var/log its only writable folder.
grep -q '"/var/log/webserver-request-time"' "$(dirname "$0")/../../api/request_handler.hpp" ||
  fail "the request-time file moved: update ReadWritePaths"

# systemd-analyze checks that ExecStart names an executable file: point it at the installed one.
mkdir -p "$root/verify"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$root/verify/korva-server.service"
messages=$(systemd-analyze verify "$root/verify/korva-server.service" 2>&1)
status=$?
[[ $status -eq 0 && -z $messages ]] || fail "systemd-analyze verify (status $status): $messages"

[[ $failed -eq 0 ]] && echo "unit_test: passed"
exit $failed
