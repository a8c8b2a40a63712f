#!/usr/bin/env bash
# scripts/check-device-library against our simulator (everything the service takes is there),
# against a copy without SystemAPI::readData (that one function is reported, and the check fails)
# and against files it cannot use, the service binary among them (a reason, status 2). With
# --headers: our own headers agree, a stand-in SDK whose SystemAPI has one more member fails,
# naming SystemAPI, and headers that do not compile fail with the verdict and the first errors; a
# build configured with that SDK folder (KORVA_DEVICE_INCLUDE_DIR) fails its check the same way.
#   device_library_test.sh CHECK SERVICE SIMULATOR COPY_WITHOUT_READDATA BUILD_DIR CMAKE [TOOLCHAIN_FILE
#                          [CMAKE_ARGUMENT...]]
# The CMAKE_ARGUMENTs configure the scratch build as the build under test is (where its target's
# libraries come from).
set -uo pipefail
export LC_ALL=C
check=$1 service=$2 simulator=$3 without=$4 build=$5 cmake=$6 toolchain=${7:-}
configuration=("${@:8}")
root=$(cd "$(dirname "$check")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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

# Files it cannot use: a reason on standard error and status 2, whatever readelf makes of them.
: >"$work/empty.so"
echo 'not a library' >"$work/text.so"
head -c 200 "$simulator" >"$work/cut.so"
cp "$service" "$work/program"
while read -r file reason; do
  output=$("$check" --service "$service" --reference "$simulator" "$work/$file" 2>&1 >/dev/null)
  status=$?
  echo "$file: status $status: $output"
  [[ $status -eq 2 ]] || fail "$file: status $status, expected 2"
  grep -qF "$work/$file $reason" <<<"$output" || fail "$file: the reason is not '$reason'"
done <<'CASES'
empty.so is empty
text.so is not an ELF file
cut.so is damaged or cut short
program is a program, not a shared library
CASES

# The headers. A stand-in SDK laid out as an SDK may be: one header, in a folder of its own,
# declaring the four classes as ours do, but with one more member in SystemAPI.
mkdir -p "$work/sdk/wsserver"
{
  echo '#pragma once'
  for header in system_api value_change_monitor local_push_notification_handler logger; do
    grep -v '^#pragma once' "$root/device/$header.hpp"
  done | awk '{ print } /^class SystemAPI / { in_api = 1 }
              in_api && /^private:/ { print "  void* device_handle_;"; in_api = 0 }'
} >"$work/sdk/wsserver/wsserver.h"
[[ $(grep -c device_handle_ "$work/sdk/wsserver/wsserver.h") -eq 1 ]] || fail "the stand-in SDK was not made"

output=$("$check" --build "$build" --service "$service" --reference "$simulator" --headers "$root/device" "$simulator")
status=$?
echo "$output"
[[ $status -eq 0 ]] || fail "our own headers: status $status, expected 0"
grep -q '^  ok       SystemAPI  ' <<<"$output" || fail "our own headers: SystemAPI not checked"
grep -q 'all agree' <<<"$output" || fail "our own headers: not all agree"

output=$("$check" --build "$build" --service "$service" --reference "$simulator" \
         --headers "$work/sdk" --header-file wsserver/wsserver.h "$simulator")
status=$?
echo "$output"
[[ $status -eq 1 ]] || fail "a larger SystemAPI: status $status, expected 1"
grep -qE '^  DIFFERS  SystemAPI +SDK: size [0-9]+ align [0-9]+; ours: size' <<<"$output" ||
  fail "a larger SystemAPI: no DIFFERS line for SystemAPI"
[[ $(grep -c DIFFERS <<<"$output") -eq 1 ]] || fail "a larger SystemAPI: more than SystemAPI reported"
grep -q ' 1 differ: SystemAPI$' <<<"$output" || fail "a larger SystemAPI: the summary does not name it"

# Headers that do not compile: the verdict, then only the compiler's first errors.
mkdir -p "$work/broken"
for i in $(seq 1 40); do echo "class Broken$i { int x }"; done >"$work/broken/wsserver.h"
output=$("$check" --build "$build" --service "$service" --reference "$simulator" \
         --headers "$work/broken" --header-file wsserver.h "$simulator")
status=$?
echo "$output"
[[ $status -eq 1 ]] || fail "headers that do not compile: status $status, expected 1"
grep -q '^check-device-headers: the probe does not compile against the headers' <<<"$output" ||
  fail "headers that do not compile: no verdict"
[[ $(grep -c 'error:' <<<"$output") -eq 5 ]] && grep -q 'more errors (--verbose' <<<"$output" ||
  fail "headers that do not compile: not the first five errors and a count of the rest"

# The build's own check, in a scratch build for the same target: with the stand-in SDK it fails
# naming SystemAPI; pointed at our own headers it passes.
scratch=$work/scratch
configure() {
  "$cmake" -S "$root" -B "$scratch" -DBUILD_TESTING=OFF ${toolchain:+"-DCMAKE_TOOLCHAIN_FILE=$toolchain"} \
    ${configuration[@]+"${configuration[@]}"} "$@" \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure $*"; }
}
configure "-DKORVA_DEVICE_INCLUDE_DIR=$work/sdk" -DKORVA_DEVICE_HEADERS=wsserver/wsserver.h
grep -qxF "#include \"$work/sdk/wsserver/wsserver.h\"" "$scratch/device/sdk/device/system_api.hpp" ||
  fail "the build does not lead device/system_api.hpp to the SDK's header"
output=$("$cmake" --build "$scratch" --target korva_device_headers_check 2>&1)
status=$?
echo "$output"
[[ $status -ne 0 ]] || fail "the build with a larger SystemAPI passed its check"
grep -qE '^  DIFFERS  SystemAPI ' <<<"$output" || fail "the build's check does not name SystemAPI"
configure "-DKORVA_DEVICE_INCLUDE_DIR=$root/device" \
  "-DKORVA_DEVICE_HEADERS=system_api.hpp;value_change_monitor.hpp;local_push_notification_handler.hpp;logger.hpp"
output=$("$cmake" --build "$scratch" --target korva_device_headers_check 2>&1)
status=$?
echo "$output"
[[ $status -eq 0 ]] || fail "the build against our own headers failed its check"

[[ $failed -eq 0 ]] && echo "device_library_test: passed"
exit $failed
