#!/usr/bin/env bash
# Board test, amd64: the robot-client package installed with dpkg on a
# Debian 12 PC in a virtual machine (scripts/lib/board.sh), its usb0 a USB
# network adapter (QEMU's usb-net): started and stopped by systemd (the
# cable watch, the usb0 device), logging to journald, copying with the
# shipped ssh policy under the shipped units' sandboxing, against the
# simulated manager and a real sshd. Its gadget twin is gadget_test.sh, on
# arm64, the architecture the product ships for; the two share
# tests/board/lib.sh.
#
# What runs here, and why here: what a USB NIC shows and a gadget does not
# (the device itself comes and goes), and the package's life with dpkg.
#   1. booted without a NIC: install and pair (the units as shipped, the ssh
#      policy, the exposure scores); hot plug (attaching the NIC starts the
#      client, detaching it mid-deployment stops it whole, nothing left);
#      a stop during a slowed copy (the copy ends, then the client, in
#      order). The gadget board's cable keeps usb0: neither a hot plug nor
#      unplug of the device happens there.
#   2. booted with the NIC attached, and able to be a gadget board
#      (dummy_hcd, as the upgrade test's): cold plug (usb0 there before the
#      cable watch: one whole deployment); pairing again over usb0; the
#      pre-flight check on the deployed board (all OK, nothing left, nothing
#      started); then, the NIC gone and the shipped gadget set-up enabled,
#      the package removed during a slowed copy (the copy ends whole before
#      usb0 goes) and installed again (usb0 and the watch back, nothing
#      started); removed and installed again with the host enumerating the
#      gadget late (its carrier up after the watch: nothing started, the
#      watch says to plug in again; the next plug-in deploys, once). Its
#      purge and its upgrades are the upgrade test's
#      (upgrade_test.sh, beside this one on amd64: the maintainer scripts
#      are shell, the same on every architecture).
# Each is checked from the manager's record, the copied files and the
# guest's journal, which holds no seccomp or sandbox denial at each
# power-off (from install on, the client and the cable watch are
# killed by a filtered system call rather than given EPERM, so that one
# would show: loud_filter). Run as root; BOARD_KEEP=1 keeps the run directory.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
BOARD_ARCH=amd64 BOARD_TEST="board test (amd64, USB NIC)"
source tests/board/lib.sh

prepare
board_up || die "manager side"
board_boot || die "boot"
timed "boot without a NIC"
board_install || die "install and pair"
installed_checks
loud_filter on || die "the filtered calls made to kill"
timed install

# Hot plug: attaching the NIC starts the client; detaching it mid-deployment
# stops the unit, nothing of it left.
manager --run-time -1
board_plug || die "device_add usb-net"
check "hot plug: the client runs the deployment" sent sys_runing 120
check "hot plug: copies whole" copies_whole
pid=$(unit MainPID)
check "the sandbox holds: only CAP_NET_ADMIN, no new privileges, /run/robot-client" \
  board_sh "[ -d /run/robot-client ] && grep -q '^CapBnd:.*0000000000001000' /proc/$pid/status && grep -q '^NoNewPrivs:.*1' /proc/$pid/status"
board_unplug || die "device_del usb-net"
check "unplug: the unit stops with status 0" stops_clean 60
check "unplug: nothing of it left, the lock free" \
  board_sh "! kill -0 $pid 2>/dev/null && [ ! -e /sys/fs/cgroup/system.slice/robot-client.service ] && flock -n /run/robot-client/lock true"
timed "hot plug"

# Stop during a copy: the copy finishes, sys_mount_finish follows it, the
# client ends in order. The copies are slowed by a qdisc set as usb0 appears.
board_sh 'mkdir -p /run/udev/rules.d && echo "ACTION==\"add\", KERNEL==\"usb0\", RUN+=\"/sbin/tc qdisc add dev usb0 root tbf rate 512kbit burst 16kb latency 30s\"" >/run/udev/rules.d/90-slow.rules && udevadm control --reload' ||
  die "slow-link rule"
manager --run-time 1
board_plug || die "device_add usb-net again"
# As soon as a copy runs, the stop is queued; scp must still be there after.
pid=$(board_sh "timeout 120 sh -c 'until pgrep -x scp >/dev/null; do sleep 0.2; done' &&
  systemctl stop --no-block robot-client && pgrep -x scp >/dev/null && systemctl show -p MainPID --value robot-client" 130)
check "re-plug: the client starts again; stop requested during its copy" [ -n "$pid" ]
check "stop: the unit stops with status 0" stops_clean 300
check "stop: sys_mount_finish after a whole copy" [ "$(received sys_mount_finish)" = 1 ]
check "stop: copies whole" copies_whole
run_log=$(board_sh "journalctl -o cat --no-pager _PID=$pid")
check "stop: the exit lines, the last one last" [ "$(tail -n 2 <<<"$run_log" | sed 's/^\[[^]]*\] //')" = \
  $'WARN: SIGINT exit...\nERR: robot client exit!' ]
check "journalctl -p err lists the ERR lines" only_err_lines
no_denials "boot without a NIC"
timed "stop during a copy"

# Cold plug: power on with the USB NIC attached. The board can be a gadget
# board too (dummy_hcd loaded, the manager's PC on its host side), for the
# package's removal below.
board_halt || die "power off"
manager --run-time 1
board_boot --usb --gadget in || die "boot with the NIC"
timed "boot with the NIC"
whole "cold plug"
check "cold plug: sys_run_finish reported once" [ "$(received sys_run_finish)" = 1 ]
check "cold plug: not restarted" [ "$(unit NRestarts)" = 0 ]
check "cold plug: the page cache was dropped" board_sh "journalctl -k -b -o cat | grep -q 'drop_caches: 1'"
check "cold plug: journalctl -p err lists the ERR lines" only_err_lines
# Pairing again, now fetching the manager's host key over the link (the
# operator guide's second way), keeps the pin and prints the same line for
# the manager's authorized_keys.
check "pairing again over usb0: the same pin and authorized_keys line" board_sh "p=\$(md5sum </etc/ssh/robot-manager_known_hosts)
  robot-client-pair </dev/null | grep -qxF '$(cat "$SB_DIR/sshd/authorized_keys")' && [ \"\$(md5sum </etc/ssh/robot-manager_known_hosts)\" = \"\$p\" ]"
# The pre-flight check on this deployed board, against real systemd and sshd:
# every line OK, nothing left in /userdata, nothing sent to port 7901.
n="$(starts) $(manager_query --event accept --count)"
check "robot-client-check: all OK on a deployed board, nothing left, nothing started" board_sh \
  'robot-client-check >/tmp/check.log 2>&1 && [ "$(grep -c ^OK: /tmp/check.log)" = 10 ] || ! cat /tmp/check.log'
check "robot-client-check: /userdata as the copies left it, no connection to 7901" \
  [ "$(ls -A "$SB_USERDATA" | paste -sd' ') $(starts) $(manager_query --event accept --count)" = "AI app $n" ]
timed "cold plug"

# The package removed during a copy and installed again, on a gadget board:
# with the NIC gone, the shipped gadget set-up, enabled, makes usb0 (the
# cable in: the host side takes it at once) and the watch starts a client,
# which deploys, slowed, once a manager answers. dpkg -r comes during its
# copy: the copy ends whole before usb0 goes (the units' order). Installed
# again, usb0 and the watch come back and no deployment starts.
board_unplug || die "device_del usb-net"
board_sh 'systemctl enable --now robot-client-gadget' >/dev/null 2>&1 || die "enable the gadget set-up"
slow on || die "slow usb0"
manager --run-time 1
board_sh 'mount -o ro /dev/vdb /mnt && timeout 120 sh -c "until pgrep -x scp >/dev/null; do sleep 0.2; done" &&
  dpkg -r robot-client >/tmp/dpkg.log 2>&1' 400 || die "dpkg -r during a copy"
check "removed during a copy: sys_mount_finish after a whole copy" [ "$(received sys_mount_finish)" = 1 ]
check "removed during a copy: copies whole" copies_whole
check "remove: nothing runs, usb0 gone" board_sh '! pgrep -x robot-client && ! pgrep -x robot-client-ca && [ ! -e /sys/class/net/usb0 ]'
n=$(starts)
board_sh 'dpkg -i /mnt/robot-client_*.deb >/tmp/dpkg.log 2>&1 || ! cat /tmp/dpkg.log' 180 || die "install again"
check "installed again: usb0 back, enabled, the cable watch runs" \
  [ "$(board_sh 'ls -d /sys/class/net/usb0; systemctl is-enabled robot-client; systemctl is-active robot-client-cable')" = \
  $'/sys/class/net/usb0\nenabled\nactive' ]
check "installed again with the cable in: nothing started" nothing_started "$n"
# Removed and installed again, the host now enumerating the gadget late (its
# root hub, dummy_hcd's, authorizes no new device): the watch is up before
# usb0's carrier, and the carrier-up that comes then, within 10 s of the
# gadget's making, is no plug-in. The cable out and in after it deploys, once.
a=$(manager_query --event accept --count) hub='$(grep -l dummy_hcd /sys/bus/usb/devices/usb*/serial | xargs dirname)/authorized_default'
board_sh "dpkg -r robot-client >/tmp/dpkg.log 2>&1 && echo 0 >$hub && { dpkg -i /mnt/robot-client_*.deb >/tmp/dpkg.log 2>&1 & p=\$!; } &&
  timeout 240 sh -c 'until systemctl is-active -q robot-client-cable; do sleep 0.2; done' && echo 1 >\$(grep -l 0104 /sys/bus/usb/devices/*/idProduct | xargs dirname)/authorized && wait \$p || ! cat /tmp/dpkg.log" 300 || die "removed, installed again, the gadget enumerated late"
check "enumerated late: the watch's line and status tell why it started nothing, and to plug in again" until_guest "journalctl -b -u robot-client-cable -o cat | grep -Eq \
  'usb0 carrier up \((the package is being installed|usb0 was made by the package.s installation)\): no deployment started' && systemctl show -p StatusText --value robot-client-cable | grep -q 'plug in again to deploy\$'" 30
check "enumerated late: no client started, no connection to port 7901" nothing_started "$n" "$a"
board_sh "echo 1 >$hub" && manager --run-time 1 && replug || die "authorized_default 1, the cable out and in"
whole "enumerated late, then plugged in again"
check "enumerated late, then plugged in again: one client started, one connection" nothing_started $((n + 1)) 1
loud_filter off || die "the filtered calls as shipped"
no_denials "boot with the NIC"
timed "remove during a copy, install again"

finish
