#!/usr/bin/env bash
# The Debian package as a device gets it: built by CPack, lintian-clean, its name, control fields,
# dependencies, file list and debug-symbol package checked; its maintainer scripts run by dpkg
# through install, upgrade, removal and purge, live and into images built from outside (dpkg
# --root), with systemd and without; unpacked into a throw-away root (dpkg -x), its binary
# hardened as Debian's are (hardening-check), and the installed service started there by its init
# script with the simulated device library: it must answer a request, report its status, and stop
# on SIGTERM.
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
dbgsym=$work/out/korva-server-dbgsym_${version}_${arch}.ddeb

# lintian, Debian's own check of packages: no error and no warning on either, and among all its
# tags none of a binary built without Debian's hardening flags.
lint=$(lintian --allow-root -EI --pedantic "$deb" "$dbgsym" 2>&1)
echo "lintian: ${lint:-nothing to report}"
grep -qE '^[EW]: ' <<<"$lint" && fail "lintian reports errors or warnings"
grep -q ' hardening-' <<<"$lint" && fail "lintian finds the binary built without hardening"

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
./usr/lib/systemd/system/korva-server.socket
./usr/share/doc/korva-server/README.deploy.md
./usr/share/doc/korva-server/changelog.gz
./usr/share/doc/korva-server/copyright
./usr/share/doc/korva-server/examples/nginx/korva-console.conf
./usr/share/korva/console/console.css
./usr/share/korva/console/console.js
./usr/share/korva/console/example.html
./usr/share/korva/console/index.html
./usr/share/korva/console/korva-client.js
./usr/share/man/man8/korva-server.8.gz'
contents=$(dpkg-deb --contents "$deb")
files=$(awk '$1 !~ /^d/ { print $6 }' <<<"$contents" | sort)
[[ "$files" == "$expected" ]] || fail "file list:
$files
expected:
$expected"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles 2>/dev/null | grep -qx /etc/init.d/korva-server ||
  fail "the init script is not a conffile"

dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - >"$work/control.list"
for script in postinst prerm postrm; do
  grep -qE "^-rwxr-xr-x .* \./$script\$" "$work/control.list" || fail "no executable maintainer script $script"
done
[[ $(dpkg-deb -f "$deb" Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] ||
  fail "the Maintainer field is not 'name <address>': $(dpkg-deb -f "$deb" Maintainer)"

# The systemd units of the package: the maintainer scripts must look after every one of them.
units=$(awk '$1 !~ /^d/ { print $6 }' <<<"$contents" | sed -n 's|^\./usr/lib/systemd/system/\(korva-server\..*\)|\1|p' |
        sort -r | paste -sd ' ')
[[ -n $units ]] || fail "no systemd unit in the package"
for unit in $units; do
  for script in postinst prerm postrm; do
    dpkg-deb --ctrl-tarfile "$deb" | tar -xO "./$script" | grep -qF "$unit" || fail "$script does not know $unit"
  done
done

# The maintainer scripts, run by dpkg itself on throw-away roots (dpkg --root: the scripts run
# chrooted into the root), which hold a shell, rm, grep and stand-ins for the helpers that record
# how they were called (a start fails when KORVA_START_FAILS is set). Install, upgrade to a later
# version, remove and purge, with systemd running (/run/systemd/system) and without; and an
# install whose start fails.
next=$work/next.deb
dpkg-deb -R "$deb" "$work/next"
sed -i "s/^Version: .*/Version: ${version}+1/" "$work/next/DEBIAN/control"
dpkg-deb -b "$work/next" "$next" >/dev/null || fail "could not make the next version's package"
copy_program() {
  local root=$1 file
  for file in "$2" $(ldd "$2" | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$file")"
    cp -L "$file" "$root$file"
  done
}
make_root() {
  local root=$1 tool
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/bin" "$root/usr/sbin" "$root/etc" "$root/dev"
  touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
  mknod -m 666 "$root/dev/null" c 1 3
  copy_program "$root" "$(readlink -f /bin/sh)"
  cp -L "$(readlink -f /bin/sh)" "$root/bin/sh"
  copy_program "$root" "$(command -v rm)"
  copy_program "$root" "$(command -v grep)"
  for tool in systemctl update-rc.d invoke-rc.d deb-systemd-helper deb-systemd-invoke; do
    printf '#!/bin/sh\necho "%s $*" >>/calls\ncase "$*" in *start*) [ -z "$KORVA_START_FAILS" ] ;; esac\n' "$tool" \
      >"$root/usr/sbin/$tool"
    chmod 755 "$root/usr/sbin/$tool"
  done
}
# step ROOT NAME DPKG_ARGUMENTS...: runs dpkg and sets calls to the calls the scripts made, joined
# by "|".
step() {
  local root=$1 name=$2
  shift 2
  rm -f "$root/calls"
  dpkg --root="$root" --force-depends "$@" >"$work/dpkg-$name.log" 2>&1 || {
    cat "$work/dpkg-$name.log"
    fail "dpkg $* ($name)"
  }
  calls=""
  [[ -f $root/calls ]] && calls=$(paste -sd '|' "$root/calls")
  return 0
}
status_of() { dpkg --root="$1" -s korva-server 2>/dev/null | sed -n 's/^\(Status\|Version\): //p' | paste -sd ' '; }
enable_calls=""
for unit in $units; do
  enable_calls+="deb-systemd-helper --quiet was-enabled $unit|deb-systemd-helper enable $unit|"
done
while read -r init action expected; do
  root=$work/root-$init
  case "$action" in
    install|failing-start)
      make_root "$root"
      [[ $init == systemd* ]] && mkdir -p "$root/run/systemd/system"
      chroot "$root" /bin/sh -c : || fail "cannot chroot into $root: maintainer scripts not checked"
      if [[ $action == install ]]; then
        step "$root" "$init-$action" -i "$deb"
      else
        KORVA_START_FAILS=1 step "$root" "$init-$action" -i "$deb"
        grep -q '^korva-server: the service did not start' "$work/dpkg-$init-$action.log" ||
          fail "$init: a failed start is not reported"
      fi
      [[ $(status_of "$root") == "install ok installed $version" ]] || fail "$init: not installed: $(status_of "$root")"
      ;;
    upgrade)
      step "$root" "$init-$action" -i "$next"
      [[ $(status_of "$root") == "install ok installed $version+1" ]] || fail "$init: not upgraded: $(status_of "$root")"
      ;;
    remove)
      step "$root" "$init-$action" -r korva-server
      [[ -x $root/etc/init.d/korva-server ]] || fail "$init: a removal took the init script away"
      [[ -e $root/usr/bin/korva-server ]] && fail "$init: the binary is still there after a removal"
      ;;
    purge)
      step "$root" "$init-$action" -P korva-server
      [[ -e $root/etc/init.d/korva-server ]] && fail "$init: the purge left the init script"
      ;;
  esac
  echo "$init $action: $calls"
  [[ "$calls" == "$expected" ]] || fail "$init $action: the scripts called '$calls', expected '$expected'"
done <<STEPS
systemd install ${enable_calls}update-rc.d korva-server defaults|systemctl --system daemon-reload|deb-systemd-invoke start $units
systemd upgrade ${enable_calls}update-rc.d korva-server defaults|systemctl --system daemon-reload|deb-systemd-invoke restart $units
systemd remove  deb-systemd-invoke stop $units|systemctl --system daemon-reload
systemd purge   deb-systemd-helper purge korva-server.socket korva-server.service|update-rc.d korva-server remove
sysv    install ${enable_calls}update-rc.d korva-server defaults|invoke-rc.d korva-server start
sysv    upgrade ${enable_calls}update-rc.d korva-server defaults|invoke-rc.d korva-server restart
sysv    remove  invoke-rc.d korva-server stop
sysv    purge   deb-systemd-helper purge korva-server.socket korva-server.service|update-rc.d korva-server remove
systemd-failing failing-start ${enable_calls}update-rc.d korva-server defaults|systemctl --system daemon-reload|deb-systemd-invoke start $units
sysv-failing    failing-start ${enable_calls}update-rc.d korva-server defaults|invoke-rc.d korva-server start
STEPS

# Images built from outside (dpkg --root with --force-script-chrootless: DPKG_ROOT set, the
# scripts run by this machine's shell with its helpers): an image with systemd and one without get
# what a live install sets up, the service set to start at boot: each unit's links as its
# [Install] section says, with deb-systemd-helper's record of them, and the init script's boot
# links. An administrator's disable in the image outlasts an upgrade, and a purge takes it all
# away. Nothing touches the running system: systemctl (unless told --root), invoke-rc.d and
# deb-systemd-invoke are stand-ins on the PATH that record any call.
mkdir -p "$work/host-tools"
for tool in systemctl invoke-rc.d deb-systemd-invoke; do
  printf '#!/bin/sh\ncase "$*" in *--root=*) [ %s = systemctl ] && exec /usr/bin/systemctl "$@" ;; esac\necho "%s $*" >>"%s"\n' \
    "$tool" "$tool" "$work/host-calls" >"$work/host-tools/$tool"
  chmod 755 "$work/host-tools/$tool"
done
# offline ROOT DPKG_ARGUMENTS...
offline() {
  local root=$1
  shift
  PATH=$work/host-tools:$PATH dpkg --root="$root" --force-script-chrootless "$@" \
    >"$work/dpkg-offline.log" 2>&1 || { cat "$work/dpkg-offline.log"; fail "dpkg --root $root $*"; }
}
# The boot setup of ROOT, one line per link or record, sorted.
boot_setup() {
  (cd "$1" && find etc/systemd etc/rc?.d var/lib/systemd -name '*korva-server*' -printf '%p -> %l\n' 2>/dev/null | sort)
}
rc_links='etc/rc0.d/K01korva-server -> ../init.d/korva-server
etc/rc1.d/K01korva-server -> ../init.d/korva-server
etc/rc2.d/S01korva-server -> ../init.d/korva-server
etc/rc3.d/S01korva-server -> ../init.d/korva-server
etc/rc4.d/S01korva-server -> ../init.d/korva-server
etc/rc5.d/S01korva-server -> ../init.d/korva-server
etc/rc6.d/K01korva-server -> ../init.d/korva-server'
for image in systemd sysv; do
  root=$work/image-$image
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
  touch "$root/var/lib/dpkg/available"
  # An image's database holds what deploy/README.md says it must, nothing more: the package's
  # dependencies with theirs, as this machine has them.
  dpkg-query -s libc6:"$arch" libstdc++6:"$arch" libgcc-s1:"$arch" gcc-12-base:"$arch" zlib1g:"$arch" \
    >"$root/var/lib/dpkg/status" ||
    fail "this machine lacks a package an image must hold"
  if [[ $image == systemd ]]; then
    mkdir -p "$root/usr/bin" "$root/etc/systemd/system"
    printf '#!/bin/sh\necho "the image'"'"'s own systemctl ran" >>"%s"\n' "$work/host-calls" >"$root/usr/bin/systemctl"
    chmod 755 "$root/usr/bin/systemctl"
  fi
  offline "$root" -i "$deb"
  expected_links=""
  for unit in $units; do
    for target in $(sed -n 's/^WantedBy=//p' "$root/usr/lib/systemd/system/$unit"); do
      expected_links+="etc/systemd/system/$target.wants/$unit -> /usr/lib/systemd/system/$unit"$'\n'
    done
    expected_links+="var/lib/systemd/deb-systemd-helper-enabled/$unit.dsh-also -> "$'\n'
    for target in $(sed -n 's/^WantedBy=//p' "$root/usr/lib/systemd/system/$unit"); do
      expected_links+="var/lib/systemd/deb-systemd-helper-enabled/$target.wants/$unit -> "$'\n'
    done
  done
  expected=$(printf '%s%s\n' "$expected_links" "$rc_links" | grep . | sort)
  installed=$(boot_setup "$root")
  echo "image with $image, installed:"$'\n'"$installed"
  [[ $installed == "$expected" ]] || fail "image with $image: the boot setup after the install is not
$expected"
  # The administrator disables the service in the image: systemctl's disable (leaving the init
  # script alone), and the init script's start links turned into stop links, as `update-rc.d
  # korva-server disable` does on a running system.
  for unit in $units; do
    SYSTEMCTL_SKIP_SYSV=1 /usr/bin/systemctl --root="$root" --quiet disable "$unit" || fail "systemctl --root disable $unit"
  done
  for link in "$root"/etc/rc?.d/S01korva-server; do
    mv "$link" "${link%/S01korva-server}/K01korva-server"
  done
  disabled=$(boot_setup "$root")
  offline "$root" -i "$next"
  [[ $(boot_setup "$root") == "$disabled" ]] || fail "image with $image: the upgrade undid the disable:
$(boot_setup "$root")"
  grep -q '^etc/systemd/.*wants/korva-server' <<<"$disabled" && fail "image with $image: systemctl disable left a link"
  offline "$root" -P korva-server
  [[ -z $(boot_setup "$root") ]] || fail "image with $image: the purge left $(boot_setup "$root")"
done
[[ -s $work/host-calls ]] && fail "installing into an image touched the running system: $(cat "$work/host-calls")"

root=$work/root
dpkg -x "$deb" "$root"
binary=$root/usr/bin/korva-server
readelf -S "$binary" | grep -q '\.symtab' && fail "the binary is not stripped"
readelf -d "$binary" | grep -qE 'R(UN)?PATH' && fail "the binary carries a run path"
# Control flow integrity is not asked for: Debian 12's C library start files lack the marking, so
# no program of Debian 12 has it.
hardening-check --nocfprotection "$binary" || fail "hardening-check: the binary lacks a hardening feature"
# Its debug information, in a package of its own: the file gdb finds from the binary's build id,
# with the symbols and line tables the binary no longer carries.
build_id=$(readelf -n "$binary" | sed -n 's/^ *Build ID: *//p')
if [[ -f $dbgsym && -n $build_id ]]; then
  [[ $(dpkg-deb -f "$dbgsym" Package) == korva-server-dbgsym ]] || fail "dbgsym: package name"
  [[ $(dpkg-deb -f "$dbgsym" Depends) == "korva-server (= $version)" ]] || fail "dbgsym: Depends"
  dpkg -x "$dbgsym" "$work/dbgsym"
  debug_file=$work/dbgsym/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug
  sections=$(readelf -S -W "$debug_file" 2>&1)
  for section in .debug_info .debug_line .symtab; do
    grep -qF " $section " <<<"$sections" || fail "dbgsym: $debug_file has no $section"
  done
else
  fail "no $(basename "$dbgsym"), or a binary without a build id ('$build_id')"
fi
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
stopped=$(sh "$init" stop) || fail "init script stop"
echo "$stopped"
grep -qx 'korva-server stopped' <<<"$stopped" || fail "the service did not end on SIGTERM"
sh "$init" status >/dev/null && fail "still running after stop"
[[ -e $pidfile ]] && fail "the pid file is left behind"

[[ $failed -eq 0 ]] && echo "package_test: passed"
exit $failed
