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

tests/package/check-deb.sh "$deb" amd64

# Install, check, remove and purge on this machine (dpkg -i fails on a
# missing dependency: scripts/setup.sh installs them).
! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q installed || fail "$pkg is installed here; dpkg -P $pkg first"
[ ! -e "$pin" ] || fail "$pin exists here already"
snapshot() {
  find /etc/systemd /etc/ssh /var/lib/systemd /lib/systemd/system /usr/sbin /usr/share/doc \
    -xdev \( -name '*robot-*' -o -name '*usb0.device*' \) 2>/dev/null | sort
  dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null || true
}
before=$(snapshot)
trap 'dpkg -P "$pkg" >/dev/null 2>&1 || true; rm -f "$pin"' EXIT

dpkg -i "$deb"
[ "$(readlink "$wants")" = "$unit" ] || fail "unit not enabled for usb0 ($wants)"
verify=$(systemd-analyze verify "$unit" 2>&1) && [ -z "$verify" ] || fail "systemd-analyze verify: $verify"
exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 4.0) }' || fail "systemd-analyze security: exposure '$exposure' > 4.0"
# Debian's ssh_config reads the drop-in: the manager's policy is in force.
policy=$(ssh -T -F /etc/ssh/ssh_config -G 10.10.10.2)
for want in 'batchmode yes' 'connecttimeout 10' 'stricthostkeychecking true' "userknownhostsfile $pin"; do
  grep -qx "$want" <<<"$policy" || fail "ssh for 10.10.10.2 lacks '$want'"
done
grep -qx /usr/sbin/robot-client <<<"$(readlink /proc/[0-9]*/exe 2>/dev/null)" && fail "the client was started"
echo "check-package: installed and enabled, not started; ssh policy in force; unit exposure $exposure"

dpkg -r "$pkg"
# Removed but not purged: the leftover enablement link is masked off.
[ "$(readlink /etc/systemd/system/robot-client.service)" = /dev/null ] || fail "not masked after remove"
echo "10.10.10.2 ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIKc0TRuY8bL3mM5KQrLQ6+hl1zW9Mvf7C4bHm6YFYTJ1" >"$pin"
dpkg -P "$pkg"
trap - EXIT
after=$(snapshot)
[ "$before" = "$after" ] || fail "the machine differs after purge: $(diff <(echo "$before") <(echo "$after"))"
echo "check-package: removed and purged cleanly (the pinned host key too)"
