#!/usr/bin/env bash
# Upgrade test: a gadget board in the field is upgraded to this checkout's
# package, from each earlier release (packaging/releases; built from its own
# commit by scripts/build-release.sh), with dpkg as an integrator does it.
# One boot of the amd64 board (scripts/lib/board.sh) whose image makes usb0
# as a USB gadget of its own, as a vendor's image does (the shipped gadget
# script, run by hand, stands for it: 1.1.0 shipped none); the cable is the
# host side's hold on the gadget.
#   1. 1.1.0, the cable in, its client in the middle of a deployment: the
#      upgrade leaves that client to finish, runs the cable watch, starts
#      nothing, and leaves this version's unit links alone (none of
#      1.1.0's); the next plug-in deploys whole.
#   2. removed (nothing runs), installed again (the cable watch runs again;
#      no deployment starts), purged (nothing left).
#   3. 1.2.0, disabled by the administrator, the cable out: the upgrade
#      keeps it disabled and a plug-in starts nothing; enabled again, the
#      next plug-in deploys whole.
#   4. the package installed over itself with the cable out: the watch runs
#      the new program and waits for the cable; nothing starts until it comes.
# Run as root; BOARD_KEEP=1 keeps the run directory.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
BOARD_ARCH=amd64 BOARD_TEST="upgrade test"
source tests/board/lib.sh

# links: the client's and the cable watch's enablement links, as "DIR/UNIT"
# lines (none when disabled).
links() {
  board_sh 'cd /etc/systemd/system && ls -d */robot-client*.service 2>/dev/null | sort | paste -sd" "'
}
current_links='robot-client-plugged.target.wants/robot-client.service sys-subsystem-net-devices-usb0.device.wants/robot-client-cable.service'
# upgrade DEB: installs DEB over what is there.
upgrade() { board_sh "dpkg -i /mnt/$1 >/tmp/dpkg.log 2>&1 || ! cat /tmp/dpkg.log" 180; }
# pair: pins the manager's host key and lets the manager's sshd take root's key.
pair() {
  local line
  line=$(board_sh 'robot-client-pair /mnt/ssh_host_ed25519_key.pub' | grep '^from=') &&
    echo "$line" >"$SB_DIR/sshd/authorized_keys"
}
watch_pid() { board_sh 'systemctl show -p MainPID --value robot-client-cable'; }
# nothing_started N: after a few of the client's ticks, still N clients
# started this boot.
nothing_started() { sleep 5 && [ "$(starts)" = "$1" ]; }

prepare
deb=$(basename "$BOARD_DEB")
carry=$(mktemp -d) && mkdir -p "$carry/releases"
for v in $(awk '!/^#/ && NF { print $1 }' packaging/releases); do
  old=$(scripts/build-release.sh "$v" amd64 | tail -n 1) && cp "$old" "$carry/releases/" || die "release $v"
done
cp packaging/robot-client-gadget "$carry/vendor-gadget"
BOARD_CARRY=$carry
timed "the releases (cached after the first run)"
board_up || die "manager side"
rm -rf "$carry"
manager --run-time 40
board_boot --gadget in || die "boot as a gadget board"
timed "boot"

# 1. From 1.1.0 while its client deploys. 1.1.0 starts the client as usb0
# appears; the vendor's gadget makes usb0 after the package is in.
board_sh 'mount -o ro /dev/vdb /mnt && cp -a /mnt/robot / && dpkg -i /mnt/releases/robot-client_1.1.0_*.deb >/tmp/dpkg.log 2>&1' 120 ||
  die "install 1.1.0"
pair || die "pair 1.1.0"
board_sh 'modprobe libcomposite && /mnt/vendor-gadget start' >/dev/null || die "the vendor's gadget"
check "1.1.0: its client runs a deployment" sent sys_runing 120
upgrade "$deb" || die "upgrade from 1.1.0"
check "upgrade from 1.1.0: the cable watch runs" board_sh 'systemctl is-active -q robot-client-cable'
check "upgrade from 1.1.0: the units' links are this version's" [ "$(links)" = "$current_links" ]
# The client that ran at the upgrade, neither stopped nor started again: it
# finishes its deployment on its one connection, and no other comes.
whole "upgrade from 1.1.0: the running client's deployment"
check "upgrade from 1.1.0: the upgrade started no deployment" nothing_started 1
check "upgrade from 1.1.0: one connection to the manager" [ "$(manager_query --event accept --count)" = 1 ]
manager --run-time 1
replug || die "cable out and in"
whole "upgrade from 1.1.0: the next plug-in"
timed "upgrade from 1.1.0 during a deployment"

# 2. Removed, installed again, purged.
board_sh 'dpkg -r robot-client >/tmp/dpkg.log 2>&1' 120 || die "dpkg -r"
check "remove: nothing runs" board_sh '! pgrep -x robot-client && ! pgrep -x robot-client-ca'
n=$(starts)
upgrade "$deb" || die "install again"
check "installed again: enabled, the cable watch runs" \
  [ "$(board_sh 'systemctl is-enabled robot-client; systemctl is-active robot-client-cable')" = $'enabled\nactive' ]
check "installed again with the cable in: nothing started" [ "$(starts)" = "$n" ]
board_sh 'dpkg -P robot-client >/tmp/dpkg.log 2>&1' 120 || die "dpkg -P"
check "purge: nothing of it left" board_sh '[ -z "$(find /etc /lib/systemd /usr /var/lib/systemd /var/lib/robot-client -name "*robot-*" 2>/dev/null)" ]'
timed "remove, install again, purge"

# 3. From 1.2.0, disabled, the cable out.
board_sh 'dpkg -i /mnt/releases/robot-client_1.2.0_*.deb >/tmp/dpkg.log 2>&1' 120 || die "install 1.2.0"
pair || die "pair 1.2.0"
board_sh 'systemctl start robot-client-cable && systemctl disable robot-client' >/dev/null 2>&1 || die "disable 1.2.0"
cable out || die "cable out"
n=$(starts)
upgrade "$deb" || die "upgrade from 1.2.0"
check "upgrade from 1.2.0: disabled stays disabled" [ "$(board_sh 'systemctl is-enabled robot-client robot-client-cable')" = $'disabled\ndisabled' ]
cable in || die "cable in"
check "upgrade from 1.2.0, disabled: a plug-in starts nothing" nothing_started "$n"
board_sh 'systemctl enable robot-client && systemctl start robot-client-cable' >/dev/null 2>&1 || die "enable"
manager --run-time 1
replug || die "cable out and in"
whole "upgrade from 1.2.0: enabled again, the next plug-in"
timed "upgrade from 1.2.0, disabled"

# 4. Over itself with the cable out: the watch restarted, waiting.
cable out || die "cable out"
before=$(watch_pid) n=$(starts)
upgrade "$deb" || die "reinstall"
check "reinstalled with the cable out: the cable watch runs again and waits" \
  board_sh "[ \"\$(systemctl show -p MainPID --value robot-client-cable)\" != $before ] &&
    systemctl show -p StatusText --value robot-client-cable | grep -q waiting.for.the.cable"
manager --run-time 1
cable in || die "cable in"
whole "reinstalled: the next plug-in"
check "reinstalled: one deployment for the plug-in" [ "$(starts)" = $((n + 1)) ]
timed "installed over itself, the cable out"

finish
