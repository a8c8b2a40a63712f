#!/usr/bin/env bash
# The systemd units and the init script as `cmake --install --prefix /usr` installs them. The
# units (the service and its socket): checked by systemd-analyze verify (any message fails it),
# with the notification, watchdog, sandbox, stop and open-file settings the service is meant to
# run under, and the sandbox rated by systemd-analyze security, which fails above 3.0. The init
# script: run with a stand-in for the service that records its start, its open-file limits and its
# end.
#   unit_test.sh CMAKE BUILD_DIR
# Exits 77 (skipped) when systemd-analyze cannot run at all and nothing else failed.
set -uo pipefail
cmake=$1 build=$2
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

DESTDIR=$root "$cmake" --install "$build" --prefix /usr >/dev/null || { echo "FAILED: cmake --install"; exit 1; }
unit=$root/usr/lib/systemd/system/korva-server.service
socket=$root/usr/lib/systemd/system/korva-server.socket
[[ -f $unit && -f $socket ]] || { echo "FAILED: no $unit or no $socket"; exit 1; }
cat "$unit" "$socket"

for line in 'Type=notify' 'ExecStart=/usr/bin/korva-server' 'Restart=on-failure' 'WatchdogSec=30s' \
            'NoNewPrivileges=yes' 'CapabilityBoundingSet=' 'ProtectSystem=strict' 'ReadWritePaths=/var/log' \
            'ProtectHome=yes' 'PrivateTmp=yes' 'RestrictAddressFamilies=AF_INET AF_UNIX' 'IPAddressAllow=localhost' \
            'SystemCallFilter=@system-service' 'KillSignal=SIGTERM' 'TimeoutStopSec=10s' 'SendSIGKILL=yes' \
            'LimitNOFILE=2048' 'WantedBy=multi-user.target'; do
  grep -qxF "$line" "$unit" || fail "the unit lacks '$line'"
done
grep -qxF 'ListenStream=127.0.0.1:8888' "$socket" || fail "the socket unit does not listen on 127.0.0.1:8888"
# The address the service takes a handed socket for, and the one it listens on itself.
grep -q 'listen_address = "127.0.0.1"' "$(dirname "$0")/../../service/main.cpp" &&
  grep -q 'listen_port = 8888' "$(dirname "$0")/../../service/main.cpp" ||
  fail "the service's address moved: update ListenStream"
# The stop's bound (4 s, 1.5 s more for a device call that returns in time, 1 s for the last
# words) stays under the unit's time-out.
grep -q 'close_grace_ms = 1000' "$(dirname "$0")/../../service/stop.cpp" ||
  fail "the stop's time changed: check TimeoutStopSec"
grep -qE '^MemoryMax=[0-9]+[KMG]$' "$unit" || fail "the unit sets no memory limit"
# The request-time file is the one file the service writes, and /var/log its only writable folder.
grep -q '"/var/log/webserver-request-time"' "$(dirname "$0")/../../api/request_handler.hpp" ||
  fail "the request-time file moved: update ReadWritePaths"

verified=0
if systemd-analyze --version >/dev/null 2>&1; then
  # systemd-analyze checks that ExecStart names an executable file: point it at the installed one.
  mkdir -p "$root/verify"
  sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$unit" >"$root/verify/korva-server.service"
  cp "$socket" "$root/verify/"
  messages=$(systemd-analyze verify "$root/verify/korva-server.service" "$root/verify/korva-server.socket" 2>&1)
  status=$?
  [[ $status -eq 0 && -z $messages ]] || fail "systemd-analyze verify (status $status): $messages"
  # The sandbox's exposure, in tenths: above 3.0 fails.
  rating=$(systemd-analyze security --offline=true --threshold=30 "$root/verify/korva-server.service" 2>&1)
  status=$?
  echo "$rating" | tail -1
  [[ $status -eq 0 ]] || fail "systemd-analyze security rates the unit above 3.0: $(echo "$rating" | grep '✗')"
  verified=1
else
  echo "systemd-analyze cannot run here: the unit is not verified"
fi

# The init script. The stand-in ends 6 s after SIGTERM (about the longest the service takes to
# close its connections and write out its log): stop must wait for it rather than kill it, and
# restart must start the new process only once the old one has ended. One that ignores SIGTERM is
# killed once STOP_TIMEOUT has passed, and the stop says so.
init=$root/etc/init.d/korva-server
export DAEMON=$root/standin PIDFILE=$root/korva-server.pid EVENTS=$root/events
cat >"$DAEMON" <<'EOF'
#!/bin/sh
echo "started $$ $(ulimit -Sn) $(ulimit -Hn)" >>"$EVENTS"
case "$STANDIN_STOP" in
	ignore) trap '' TERM ;;
	slow) trap 'sleep 6; echo "ended $$" >>"$EVENTS"; exit 0' TERM ;;
esac
while :; do sleep 0.1; done
EOF
chmod 755 "$DAEMON"
pid_of() { sed -n "$1s/^started \\([0-9]*\\).*/\\1/p" "$EVENTS"; }

STANDIN_STOP=slow sh "$init" start || fail "init script start"
first=$(pid_of 1)
[[ $(sed -n 1p "$EVENTS") == "started $first 2048 2048" ]] ||
  fail "open-file limits (soft, hard) not 2048: $(sed -n 1p "$EVENTS")"
output=$(STANDIN_STOP=ignore sh "$init" restart) || fail "init script restart"
echo "$output"
grep -qx 'korva-server stopped' <<<"$output" || fail "restart did not wait for the old process to end"
grep -q 'SIGKILL\|killed' <<<"$output" && fail "restart killed a process that was ending"
second=$(pid_of 3)
[[ $(sed -n 2,3p "$EVENTS" | paste -sd ' ') == "ended $first started $second "* ]] ||
  fail "restart: not ended, then started: $(paste -sd ' ' "$EVENTS")"

output=$(STOP_TIMEOUT=1 sh "$init" stop) || fail "init script stop"
echo "$output"
grep -qx 'korva-server had not ended 1 s after SIGTERM: killing it (SIGKILL)' <<<"$output" &&
  grep -qx 'korva-server killed' <<<"$output" || fail "the stop did not report the SIGKILL"
[[ -n $second ]] && kill -0 "$second" 2>/dev/null && { kill -9 "$second"; fail "still running after stop"; }
[[ -e $PIDFILE ]] && fail "the pid file is left behind"
sh "$init" status >/dev/null && fail "status: running after stop"

[[ $failed -ne 0 ]] && exit 1
[[ $verified -eq 1 ]] || exit 77
echo "unit_test: passed"
exit 0
