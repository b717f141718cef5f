#!/usr/bin/env bash
# Builds the amd64 Debian package, checks it (check-deb.sh), installs it on
# this machine with dpkg (enabled, not started: there is no running systemd
# on a CI machine, and the postinst never starts it), checks the installed
# files, the ssh policy in force for the manager and the unit, then removes
# and purges it and checks that the machine is as it was. Run as root.
set -euo pipefail
cd "$(dirname "$0")/../.."

scripts/setup.sh

pkg=robot-client
unit=/lib/systemd/system/robot-client.service
wants=/etc/systemd/system/sys-subsystem-net-devices-usb0.device.wants/robot-client.service
pin=/etc/ssh/robot-manager_known_hosts
fail() { echo "check-package: FAIL: $*" >&2; exit 1; }

# The package build needs only the daemon, not the tests.
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build-pkg -j"$(nproc)"
rm -f build-pkg/packages/*.deb
(cd build-pkg && cpack -G DEB >/dev/null)
deb=$(echo build-pkg/packages/${pkg}_*_amd64.deb)
[ -f "$deb" ] || fail "no amd64 package built"
echo "check-package: built $deb"

tests/package/check-deb.sh "$deb" amd64

# Install, check, remove and purge on this machine.
if dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'installed'; then
  fail "$pkg is already installed here; remove it first (dpkg -P $pkg)"
fi
[ ! -e "$pin" ] || fail "$pin exists here already"
# Every package it depends on (as the .deb names them) is installed.
for dep in $(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed -E 's/^ *([^ (]+).*/\1/'); do
  dpkg-query -W -f='${Status}' "$dep" 2>/dev/null | grep -q '^install ok installed' ||
    fail "dependency $dep is not installed (scripts/setup.sh installs it)"
done
snapshot() {
  find /etc/systemd /etc/ssh /var/lib/systemd /lib/systemd/system /usr/sbin /usr/share/doc \
    -xdev \( -name '*robot-*' -o -name '*usb0.device*' \) 2>/dev/null | sort
  dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null || true
}
before=$(snapshot)
trap 'dpkg -P "$pkg" >/dev/null 2>&1 || true; rm -f "$pin"' EXIT

dpkg -i "$deb"
[ "$(dpkg-query -W -f='${Status}' "$pkg")" = "install ok installed" ] || fail "not installed"
[ -x /usr/sbin/robot-client ] && [ -x /usr/sbin/robot-client-pair ] || fail "programs missing in /usr/sbin"
[ -f "$unit" ] || fail "$unit missing"
[ "$(readlink "$wants")" = "$unit" ] || fail "unit not enabled for usb0 ($wants)"
[ "$(systemctl is-enabled robot-client.service 2>/dev/null)" = enabled ] || fail "systemctl: not enabled"
verify=$(systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify: $verify"
exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 4.0) }' || fail "systemd-analyze security: exposure '$exposure' > 4.0"
# Debian's ssh_config reads the drop-in: the manager's policy is in force.
policy=$(ssh -T -F /etc/ssh/ssh_config -G 10.10.10.2)
for want in 'batchmode yes' 'connecttimeout 10' 'stricthostkeychecking true' "userknownhostsfile $pin"; do
  grep -qx "$want" <<<"$policy" || fail "ssh for 10.10.10.2 lacks '$want'"
done
for p in /proc/[0-9]*; do
  [ "$(readlink "$p/exe" 2>/dev/null)" != /usr/sbin/robot-client ] || fail "the client was started (${p#/proc/})"
done
echo "check-package: installed and enabled, not started; ssh policy in force; unit exposure $exposure"

dpkg -r "$pkg"
if [ -e /usr/sbin/robot-client ] || [ -e "$unit" ]; then fail "files left after remove"; fi
# Removed but not purged: the leftover enablement link is masked off.
[ "$(readlink /etc/systemd/system/robot-client.service)" = /dev/null ] || fail "not masked after remove"
echo "10.10.10.2 ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIKc0TRuY8bL3mM5KQrLQ6+hl1zW9Mvf7C4bHm6YFYTJ1" >"$pin"
dpkg -P "$pkg"
trap - EXIT
after=$(snapshot)
if [ "$before" != "$after" ]; then
  diff <(echo "$before") <(echo "$after") >&2 || true
  fail "the machine differs after purge"
fi
echo "check-package: removed and purged cleanly (the pinned host key too)"
