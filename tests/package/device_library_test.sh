#!/usr/bin/env bash
# scripts/check-device-library against our simulator (everything the service takes is there) and
# against a copy without SystemAPI::readData (that one function is reported, and the check fails).
#   device_library_test.sh CHECK SERVICE SIMULATOR COPY_WITHOUT_READDATA
set -uo pipefail
check=$1 service=$2 simulator=$3 without=$4
failed=0
fail() { echo "FAILED: $*"; failed=1; }

output=$("$check" --service "$service" --reference "$simulator" "$simulator")
status=$?
echo "$output"
[[ $status -eq 0 ]] || fail "the simulator itself was not accepted (status $status)"
grep -q ' 0 missing, 0 differ' <<<"$output" || fail "the simulator: something missing or different"
for name in 'SystemAPI::SystemAPI(bool)' 'SystemAPI::readData' 'ValueChangeMonitor::getValueDiff()' \
            'LocalPushNotificationHandler::run()' 'Logger::operator<<(unsigned long)'; do
  grep -qF "$name" <<<"$output" || fail "'$name' is not among the symbols the service takes"
done

output=$("$check" --service "$service" --reference "$simulator" "$without")
status=$?
echo "$output"
[[ $status -eq 1 ]] || fail "a library without readData: status $status, expected 1"
grep -qE '^  MISSING  _ZN9SystemAPI8readData' <<<"$output" || fail "the mangled name of the missing function is not reported"
grep -qE '^ +SystemAPI::readData(\[abi:cxx11\])?\(int, int, int\)' <<<"$output" ||
  fail "the demangled name of the missing function is not reported"
[[ $(grep -c 'MISSING\|DIFFERS' <<<"$output") -eq 1 ]] || fail "more than the one function reported"
grep -q ' 1 missing, 0 differ' <<<"$output" || fail "the summary does not count one missing symbol"

[[ $failed -eq 0 ]] && echo "device_library_test: passed"
exit $failed
