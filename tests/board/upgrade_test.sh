#!/usr/bin/env bash
# Upgrade test: a gadget board in the field is upgraded to this checkout's
# package, from each earlier release (packaging/releases; built from its own
# commit by scripts/build-release.sh), with dpkg as an integrator does it.
# The amd64 board (scripts/lib/board.sh) whose image makes usb0 as a USB
# gadget of its own, as a vendor's image does (the shipped gadget script,
# run by hand, stands for it: 1.1.0 shipped none); the cable is the host
# side's hold on the gadget.
#   1. 1.1.0, the cable in, its client in the middle of a deployment: the
#      upgrade leaves that client to finish, runs the cable watch, starts
#      nothing, and leaves this version's unit links alone (none of
#      1.1.0's); the next plug-in deploys whole.
#   2. the shipped gadget set-up enabled (it takes the vendor's gadget
#      over); purged (nothing left). The removal during a slowed copy and
#      the install again are the USB NIC board's second boot, a gadget board
#      too (usb_nic_test.sh): this board's queue is the test command's
#      longest.
#   3. 1.2.0 with its gadget set-up enabled: the upgrade killed after the
#      migration's last deb-systemd-helper call (a diverted one kills the
#      postinst); the board powered off and on: the plug-in at power-on
#      deploys; `dpkg --configure -a`: enabled as before, this version's
#      links, the next plug-in deploys whole.
#   4. 1.3.0 installed over it, then 1.4.0 (the release most boards run)
#      over that, the cable in: the upgrade from 1.4.0 (its record of usb0
#      ifindex= alone) runs the new watch and starts nothing; the cable out,
#      the watch waits; the plug-in's deployment, slowed, is under way when
#      the board is powered off (systemctl poweroff, its last act): the copy
#      ends whole before usb0 goes.
# A disabled client's upgrade is tests/package/maintscripts_test.sh's (the
# links and records), its plug-in the arm64 board's.
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

carry=$(mktemp -d) && mkdir -p "$carry/releases"
# releases: each earlier release's package (cached after the first run),
# into the files the board gets.
releases() {
  local v old
  for v in $(awk '!/^#/ && NF { print $1 }' packaging/releases); do
    old=$(scripts/build-release.sh "$v" amd64 | tail -n 1) && cp "$old" "$carry/releases/" || return 1
  done
}
prepare releases
deb=$(basename "$BOARD_DEB")
cp packaging/robot-client-gadget "$carry/vendor-gadget"
# deb-systemd-helper that kills the postinst after the migration's last call.
# shellcheck disable=SC2016 # the wrapper's own variables
printf '%s\n' '#!/bin/sh' '/usr/bin/deb-systemd-helper.distrib "$@"; rc=$?' \
  '[ "$DPKG_MAINTSCRIPT_NAME $*" != "postinst update-state robot-client.service robot-client-cable.service" ] || kill -9 $PPID' \
  'exit $rc' >"$carry/deb-systemd-helper"
chmod 755 "$carry/deb-systemd-helper"
BOARD_CARRY=$carry
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

# 2. The shipped gadget set-up takes the vendor's gadget over (whole: "set
# up already"); purged, nothing of the package is left, and the set-up's
# stop took the gadget away. (A removal during a copy and the install
# again are the USB NIC board's, on its gadget.)
board_sh 'systemctl enable --now robot-client-gadget' >/dev/null 2>&1 || die "enable the gadget set-up"
board_sh 'dpkg -P robot-client >/tmp/dpkg.log 2>&1' 120 || die "dpkg -P"
check "purge: nothing of it left" board_sh '[ -z "$(find /etc /lib/systemd /usr /var/lib/systemd /var/lib/robot-client -name "*robot-*" 2>/dev/null)" ]'
timed "the gadget set-up over the vendor's gadget, purge"

# 3. From 1.2.0 (its gadget set-up enabled), interrupted: a diverted
# deb-systemd-helper kills the postinst after the migration's last call.
board_sh 'dpkg -i /mnt/releases/robot-client_1.2.0_*.deb >/tmp/dpkg.log 2>&1 && systemctl enable --now robot-client-gadget' 120 >/dev/null ||
  die "install 1.2.0"
pair || die "pair 1.2.0"
board_sh 'dpkg-divert --quiet --local --rename --add /usr/bin/deb-systemd-helper &&
  cp /mnt/deb-systemd-helper /usr/bin/deb-systemd-helper' >/dev/null || die "divert deb-systemd-helper"
board_sh "dpkg -i /mnt/$deb >/tmp/dpkg.log 2>&1; grep -q 'killed by signal' /tmp/dpkg.log" 180 || die "the killed upgrade"
board_sh 'rm /usr/bin/deb-systemd-helper && dpkg-divert --quiet --local --rename --remove /usr/bin/deb-systemd-helper' || die "undivert"
check "killed upgrade: half-configured" board_sh 'dpkg -s robot-client | grep -qx "Status: install ok half-configured"'
# No manager until the board is up again: the client that 1.2.0's watch
# started when its gadget set-up made usb0 finds none before the power-off.
board_halt || die "power off"
manager --run-time 1
board_boot --gadget in || die "boot after the killed upgrade"
board_sh 'mount -o ro /dev/vdb /mnt' || die "mount the carried files again"
timed "1.2.0, the upgrade killed, power off and on"
check "killed upgrade, rebooted: the plug-in at power-on deploys" deployed 180
check "killed upgrade, rebooted: copies whole" copies_whole
stops_clean || die "the deployment's end"
board_sh 'dpkg --configure -a >/tmp/dpkg.log 2>&1' 180 || die "dpkg --configure -a"
check "configure -a: enabled as before, this version's links, no decision left" \
  [ "$(board_sh 'systemctl is-enabled robot-client robot-client-cable; ls /var/lib/robot-client/enabled-* 2>/dev/null | grep -c /'; links)" = \
  $'enabled\nenabled\n0\n'"$current_links usb-gadget.target.wants/robot-client-gadget.service" ]
manager --run-time 1
replug || die "cable out and in"
whole "configure -a: the next plug-in"
timed "dpkg --configure -a"

# 4. 1.3.0, then 1.4.0 (the release most boards run) over it, with the cable
# in; /run/robot-client/cable as on a board that has run them since its
# boot (1.4.0's record of usb0: ifindex= alone). The upgrade from 1.4.0 with
# the cable in starts nothing; the next plug-in deploys, and is under way
# when the board is powered off.
board_sh 'rm /run/robot-client/cable' && upgrade releases/robot-client_1.3.0_amd64.deb && upgrade releases/robot-client_1.4.0_amd64.deb || die "1.3.0, then 1.4.0"
board_sh '[ "$(grep -cvx "ifindex=[0-9]*" /run/robot-client/cable) $(wc -l </run/robot-client/cable)" = "0 1" ]' || die "1.4.0's record of usb0 not ifindex= alone"
n=$(starts) a=$(manager_query --event accept --count) before=$(watch_pid)
upgrade "$deb" || die "upgrade from 1.4.0"
check "upgrade from 1.4.0 with the cable in: the cable watch runs again, starting nothing" board_sh "[ \"\$(systemctl show -p MainPID --value robot-client-cable)\" != $before ] &&
  systemctl show -p StatusText --value robot-client-cable | grep -q 'no deployment started (the package is being installed)'"
check "upgrade from 1.4.0 with the cable in: no client started, no connection" nothing_started "$n" "$a"
cable out || die "cable out"
check "upgraded from 1.4.0, the cable out: the cable watch waits" until_guest "systemctl show -p StatusText --value robot-client-cable | grep -q waiting.for.the.cable" 30
manager --run-time 1
slow on || die "slow usb0"
cable in || die "cable in"
board_sh 'timeout 120 sh -c "until pgrep -x scp >/dev/null; do sleep 0.2; done" && systemctl poweroff' 130 >/dev/null
check "poweroff during a copy: the board ends" proc_wait "$BOARD_QEMU_PID" 400
check "poweroff during a copy: one connection for the plug-in" [ "$(manager_query --event accept --count)" = 1 ]
check "poweroff during a copy: sys_mount_finish after a whole copy" [ "$(received sys_mount_finish)" = 1 ]
check "poweroff during a copy: copies whole" copies_whole
timed "1.3.0, 1.4.0, upgrade from 1.4.0, power off during a copy"

finish
