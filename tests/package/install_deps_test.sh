#!/usr/bin/env bash
# scripts/install-deps --cross armhf on a scratch package setup: a dpkg database and an apt
# configuration of its own (DPKG_ADMINDIR, APT_CONFIG), so the host's is never touched. Its one
# source is a mirror caught in the middle of a sync, whose armhf package list has another size than
# its Release file says, so apt-get update fails once armhf is added. The run must say what it
# changes before it does it, fail, and leave the setup's architectures as it found them; when dpkg
# cannot take the architecture away (a package of it is installed), it must print the command that
# does. Then --cross-sysroot armhf on a setup whose mirror has a second suite, whose armhf list
# loads: the libraries must come from it, with their dependencies but those the cross toolchain
# brings, unpacked into a sysroot, and the setup's architectures left alone. Last, the npm step
# against a registry that never answers.
#   install_deps_test.sh INSTALL_DEPS
set -uo pipefail
export LC_ALL=C
install_deps=$1
[[ $(id -u) -eq 0 ]] || { echo "install-deps changes nothing unless run as root: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }
native=$(dpkg --print-architecture)
host_architectures=$(dpkg --print-foreign-architectures)

# The mirror: an empty package list for the host, and an armhf one that is not what Release says.
repo=$work/repo/dists/bookworm
mkdir -p "$repo/main/binary-$native" "$repo/main/binary-armhf"
: >"$repo/main/binary-$native/Packages"
printf 'Package: half-synced\n' >"$repo/main/binary-armhf/Packages"
{
  printf 'Date: %s\nSuite: bookworm\nCodename: bookworm\nComponents: main\nArchitectures: %s armhf\nSHA256:\n' "$(date -Ru)" "$native"
  printf ' %s %s main/binary-%s/Packages\n' "$(sha256sum <"$repo/main/binary-$native/Packages" | cut -d' ' -f1)" 0 "$native"
  printf ' %s %s main/binary-armhf/Packages\n' "$(sha256sum <"$repo/main/binary-armhf/Packages" | cut -d' ' -f1)" 4096
} >"$repo/Release"
mkdir -p "$work/apt/state/lists/partial" "$work/apt/cache/archives/partial" "$work/apt/log" "$work/sources.list.d"
echo "deb [trusted=yes] copy:$work/repo bookworm main" >"$work/sources.list"

# scratch_setup NAME PACKAGE...: the database admin, the host's packages but none of armhf, the
# cross toolchain and the PACKAGEs marked installed if they are not (the libraries' step is under
# test), and the host's architectures less armhf; and the apt configuration of its own.
scratch_setup() {
  admin=$work/dpkg-$1
  shift
  mkdir -p "$admin/info" "$admin/updates"
  : >"$admin/available"
  awk -v RS= -v ORS='\n\n' '!/\nArchitecture: armhf\n/' /var/lib/dpkg/status >"$admin/status"
  for package in crossbuild-essential-armhf qemu-user "$@"; do
    [[ $package != - ]] || continue
    name=${package%:*} architecture=$native
    [[ $package == *:* ]] && architecture=${package#*:}
    grep -qx "Package: $name" "$admin/status" && continue
    printf 'Package: %s\nStatus: install ok installed\nMaintainer: %s\nArchitecture: %s\nVersion: 1\nDescription: stand-in\n\n' \
      "$name" 'nobody <nobody@example.invalid>' "$architecture" >>"$admin/status"
  done
  grep -vx armhf <<<"$host_architectures" | grep . >"$admin/arch.want"
  { echo "$native"; cat "$admin/arch.want"; } >"$admin/arch"
  cat >"$work/apt.conf" <<CONF
Dir::State "$work/apt/state";
Dir::State::status "$admin/status";
Dir::Cache "$work/apt/cache";
Dir::Log "$work/apt/log";
Dir::Etc::sourcelist "$work/sources.list";
Dir::Etc::sourceparts "$work/sources.list.d";
Acquire::Retries "0";
APT::Sandbox::User "root";
CONF
}

while read -r case armhf_package expected; do
  scratch_setup "$case" "$armhf_package"
  output=$(DPKG_ADMINDIR=$admin APT_CONFIG=$work/apt.conf "$install_deps" --cross armhf 2>&1)
  status=$?
  echo "$case: status $status"
  echo "$output"
  [[ $status -ne 0 ]] || fail "$case: install-deps succeeded"
  announced=$(grep -n 'adds the foreign architecture armhf' <<<"$output" | cut -d: -f1)
  [[ -n $announced ]] || fail "$case: the change is not announced"
  update_failed=$(grep -n 'apt-get update failed with the armhf architecture added' <<<"$output" | cut -d: -f1)
  [[ -n $update_failed && -n $announced && $announced -lt $update_failed ]] ||
    fail "$case: no report of the failed update after the announcement"
  grep -qF "$expected" <<<"$output" || fail "$case: no '$expected'"
  remaining=$(DPKG_ADMINDIR=$admin dpkg --print-foreign-architectures)
  if [[ $case == undone ]]; then
    [[ $remaining == "$(cat "$admin/arch.want")" ]] || fail "$case: foreign architectures now '$remaining'"
  fi
done <<'CASES'
undone  -                  the host's package setup is as it was before
printed libstandin:armhf   apt-get purge -y '?architecture(armhf)' && dpkg --remove-architecture armhf
CASES

# The suite that loads: stand-ins of the libraries and of what they depend on, one file each.
pool=$work/repo/pool
while read -r name depends; do
  mkdir -p "$work/deb/$name/DEBIAN" "$work/deb/$name/usr/lib/arm-linux-gnueabihf" "$pool"
  printf 'Package: %s\nVersion: 1\nArchitecture: armhf\nMaintainer: nobody <nobody@example.invalid>\nDescription: stand-in\n' \
    "$name" >"$work/deb/$name/DEBIAN/control"
  [[ $depends == - ]] || echo "Depends: $depends" >>"$work/deb/$name/DEBIAN/control"
  touch "$work/deb/$name/usr/lib/arm-linux-gnueabihf/$name"
  dpkg-deb --root-owner-group -b "$work/deb/$name" "$pool/${name}_1_armhf.deb" >/dev/null
done <<'PACKAGES'
libboost-system1.74-dev libboost1.74-dev, libc6-dev | libc-dev, libsystem-extra
libboost1.74-dev        libstdc++-12-dev
libsystem-extra         -
libgtest-dev            -
zlib1g-dev              zlib1g, libc6-dev | libc-dev
zlib1g                  -
libc6-dev               -
libstdc++-12-dev        -
PACKAGES
good=$work/repo/dists/good
mkdir -p "$good/main/binary-armhf"
(cd "$work/repo" && dpkg-scanpackages --arch armhf pool /dev/null 2>/dev/null) >"$good/main/binary-armhf/Packages"
{
  printf 'Date: %s\nSuite: good\nCodename: good\nComponents: main\nArchitectures: armhf\nSHA256:\n' "$(date -Ru)"
  printf ' %s %s main/binary-armhf/Packages\n' "$(sha256sum <"$good/main/binary-armhf/Packages" | cut -d' ' -f1)" \
    "$(stat -c %s "$good/main/binary-armhf/Packages")"
} >"$good/Release"
echo "deb [trusted=yes] copy:$work/repo good main" >>"$work/sources.list"
scratch_setup sysroot libc6-dev-armhf-cross libstdc++-12-dev-armhf-cross
output=$(KORVA_CROSS_DIR=$work/cross DPKG_ADMINDIR=$admin APT_CONFIG=$work/apt.conf "$install_deps" --cross-sysroot armhf 2>&1)
status=$?
echo "sysroot: status $status"
echo "$output"
[[ $status -eq 0 ]] || fail "sysroot: install-deps failed"
unpacked=$(ls "$work/cross/arm-linux-gnueabihf/usr/lib/arm-linux-gnueabihf" 2>/dev/null | paste -sd ' ')
[[ $unpacked == "libboost-system1.74-dev libboost1.74-dev libgtest-dev libsystem-extra zlib1g zlib1g-dev" ]] ||
  fail "sysroot: unpacked '$unpacked', not the libraries and their dependencies but the cross toolchain's"
[[ $(DPKG_ADMINDIR=$admin dpkg --print-foreign-architectures) == "$(cat "$admin/arch.want")" ]] ||
  fail "sysroot: the setup's architectures changed"

# The client tests' npm step against a registry that takes connections and never answers (npm's
# time-out per try shortened to 2 s; its tries and the waits between them are install-deps's):
# install-deps must say that it needs the registry before npm starts, then fail with its message
# within seconds instead of waiting. It runs on a copy of install-deps beside a copy of the lock
# file, after the host's packages are in (the suite runs after `make build`).
if command -v npm >/dev/null; then
  tree=$work/tree
  mkdir -p "$tree/scripts" "$tree/tests/clients"
  cp "$install_deps" "$tree/scripts/"
  cp "$(dirname "$install_deps")"/../tests/clients/package{,-lock}.json "$tree/tests/clients/"
  coproc silent { exec python3 -c 'import socket; s = socket.create_server(("127.0.0.1", 0)); print(s.getsockname()[1], flush=True)
held = []
while True: held.append(s.accept())'; }
  read -r port <&"${silent[0]}"
  output=$(npm_config_registry=http://127.0.0.1:$port/ npm_config_cache=$work/npm-cache npm_config_fetch_timeout=2000 \
           timeout -k 5 30 "$tree/scripts/install-deps" 2>&1)
  status=$?
  kill "$silent_PID"
  echo "npm: status $status"
  echo "$output"
  [[ $status -eq 1 ]] || fail "npm: status $status, not 1 (124: it waited)"
  grep -q "npm packages come from the npm registry (http://127.0.0.1:$port/)" <<<"${output%%npm error*}" ||
    fail "npm: the registry is not named before npm starts"
  grep -q 'npm ci failed (npm.s error above): the client tests need the npm registry' <<<"$output" ||
    fail "npm: no message of install-deps's own after npm's error"
fi

[[ $(dpkg --print-foreign-architectures) == "$host_architectures" ]] || fail "the host's own architectures changed"
[[ $failed -eq 0 ]] && echo "install_deps_test: passed"
exit $failed
