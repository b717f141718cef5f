#!/usr/bin/env bash
# Board test: the robot-client package installed with dpkg on a Debian 12
# system in a virtual machine (scripts/lib/board.sh), started and stopped by
# systemd through the usb0 device, logging to journald, copying with the
# shipped ssh policy under the shipped unit's sandboxing, against the
# simulated manager and a real sshd. Two boots:
#   1. without the NIC: install and pair; hot plug (the USB NIC attached starts
#      the client, detached mid-deployment stops it whole); a stop during a
#      slowed copy; carrier down and up on a virtio NIC named usb0.
#   2. with the USB NIC attached from power-on: cold plug, a whole deployment.
# Each is checked from the manager's log, the copied files and the guest's
# journal. Run as root; BOARD_KEEP=1 keeps the run directory.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
if [ "$(id -u)" -ne 0 ] || [ ! -c /dev/net/tun ]; then
  echo "board test: SKIPPED: needs root and /dev/net/tun (it runs a virtual machine on a tap)"
  exit 0
fi
scripts/setup.sh || exit 1
source scripts/lib/board.sh

passed=0 failed=0 times=() t0=$SECONDS
die() { echo "board test: FAIL: $*" >&2 && exit 1; }
check() {
  local what=$1
  shift
  if "$@"; then passed=$((passed + 1)); else echo "board test: FAIL: $what" >&2 && failed=$((failed + 1)); fi
}
timed() { times+=("$1 $((SECONDS - t0)) s") && echo "board test: $1 done ($((SECONDS - t0)) s)" && t0=$SECONDS; }
# until CONDITION SECS: waits in the guest for a shell condition.
until_guest() { board_sh "timeout $2 sh -c 'until $1; do sleep 0.2; done'" $(($2 + 10)) >/dev/null; }
unit() { board_sh "systemctl show -p $1 --value robot-client"; }
# shellcheck disable=SC2016 # expanded in the guest
stopped='[ "$(systemctl show -p ActiveState --value robot-client)" = inactive ]'
ended_clean() {
  [ "$(board_sh 'systemctl show -p ActiveState -p Result -p ExecMainStatus robot-client' | sort)" = \
    $'ActiveState=inactive\nExecMainStatus=0\nResult=success' ]
}
journal() { board_sh "journalctl -u robot-client -o cat --no-pager ${1:-}"; }
# The lines of the client process $pid.
run_log() { board_sh "journalctl -o cat --no-pager _PID=$pid"; }
only_err_lines() { [ "$(journal "-p err $1")" = "$(journal "$1" | grep 'ERR:')" ] && journal "-p err $1" | grep -q .; }
received() { sandbox_received | grep -c "\"$1\""; }
manager() { sandbox_stop_manager && : >"$SB_MANAGER_LOG" && rm -rf "${SB_USERDATA:?}"/* && sandbox_start_manager "$@"; }
copies_whole() { diff -r "$SB_ROBOT" "$SB_USERDATA"; }

board_image || die "guest image"
timed "image (cached after the first run)"
board_deb || die "package build"
timed "package build"
board_up || die "manager side"
board_boot || die "boot"
timed "boot without the NIC"
board_install || die "install and pair"
check "installed, enabled for usb0, not running" \
  [ "$(board_sh 'systemctl is-enabled robot-client; systemctl is-active robot-client')" = $'enabled\ninactive' ]
check "the shipped ssh policy is the package's" board_sh 'dpkg -S /etc/ssh/ssh_config.d/robot-client.conf >/dev/null'
score=$(board_sh 'systemd-analyze security robot-client' | sed -n 's/.*exposure level for robot-client.service: \([0-9.]*\).*/\1/p')
echo "board test: systemd-analyze security robot-client on the board: $score"
check "the installed unit rates 4.0 or less" awk -v s="$score" 'BEGIN { exit !(s != "" && s <= 4.0) }'
timed install

# Hot plug: attaching the NIC starts the client; detaching it mid-deployment
# stops the unit, nothing of it left.
manager --run-time -1
board_plug usb || die "device_add usb-net"
check "hot plug: the client runs the deployment" sandbox_wait_for "$SB_MANAGER_LOG" 'send \{"cmd":"sys_runing"\}' 120
check "hot plug: copies whole" copies_whole
pid=$(unit MainPID)
check "the sandbox holds: only CAP_NET_ADMIN, no new privileges, /run/robot-client" \
  board_sh "[ -d /run/robot-client ] && grep -q '^CapBnd:.*0000000000001000' /proc/$pid/status && grep -q '^NoNewPrivs:.*1' /proc/$pid/status"
board_unplug usb || die "device_del usb-net"
check "unplug: the unit stops" until_guest "$stopped" 60
check "unplug: ended with status 0" ended_clean
check "unplug: nothing of it left" board_sh "! kill -0 $pid 2>/dev/null && [ ! -e /sys/fs/cgroup/system.slice/robot-client.service ] && [ ! -e /run/robot-client ]"
timed "hot plug"

# Stop during a copy: the copy finishes, sys_mount_finish follows it, the
# client ends in order. The copies are slowed by a qdisc set as usb0 appears.
board_sh 'mkdir -p /run/udev/rules.d && echo "ACTION==\"add\", KERNEL==\"usb0\", RUN+=\"/sbin/tc qdisc add dev usb0 root tbf rate 512kbit burst 16kb latency 30s\"" >/run/udev/rules.d/90-slow.rules && udevadm control --reload' ||
  die "slow-link rule"
manager --run-time 1
board_plug usb || die "device_add usb-net again"
# As soon as a copy runs, the stop is queued; scp must still be there after.
pid=$(board_sh "timeout 120 sh -c 'until pgrep -x scp >/dev/null; do sleep 0.2; done' &&
  systemctl stop --no-block robot-client && pgrep -x scp >/dev/null && systemctl show -p MainPID --value robot-client" 130)
check "re-plug: the client starts again; stop requested during its copy" [ -n "$pid" ]
check "stop: the unit stops" until_guest "$stopped" 300
check "stop: sys_mount_finish after a whole copy" [ "$(received sys_mount_finish)" = 1 ]
check "stop: copies whole" copies_whole
check "stop: ended with status 0" ended_clean
check "stop: the exit lines" grep -q 'SIGINT exit' <(run_log)
check "stop: the last line" grep -q 'robot client exit!' <(run_log | tail -n 1)
check "journalctl -p err lists the ERR lines" only_err_lines -b
{ board_unplug usb && board_sh 'rm /run/udev/rules.d/90-slow.rules && udevadm control --reload'; } || die "unplug"
timed "stop during a copy"

# Carrier: link down and up on a virtio NIC named usb0; the same process
# starts the handshake again.
manager --run-time -1
board_plug virtio || die "device_add virtio-net"
check "carrier: the client runs the deployment" sandbox_wait_for "$SB_MANAGER_LOG" 'send \{"cmd":"sys_runing"\}' 120
pid=$(unit MainPID) n=$(received connected)
{ board_link virtio off && until_guest 'ip link show usb0 | grep -q NO-CARRIER' 30; } || die "carrier down"
board_link virtio on || die "carrier up"
check "carrier up: connected again" sandbox_wait_for "$SB_MANAGER_LOG" 'recv \{"cmd":"connected"\}' 60 $((n + 1))
check "carrier up: the same process" [ "$(unit MainPID)" = "$pid" ]
{ board_sh 'systemctl stop robot-client' 60 && board_unplug virtio; } || die "stop after the carrier test"
check "carrier: ended with status 0" ended_clean
timed "carrier down and up"

# Cold plug: power on with the USB NIC attached.
board_halt || die "power off"
manager --run-time 1
board_boot usb || die "boot with the NIC"
timed "boot with the NIC"
check "cold plug: the deployment ends" sandbox_wait_manager 180
check "cold plug: copies whole" copies_whole
check "cold plug: sys_run_finish reported" [ "$(received sys_run_finish)" = 1 ]
check "cold plug: the unit stops" until_guest "$stopped" 30
check "cold plug: ended with status 0" ended_clean
check "cold plug: not restarted" [ "$(unit NRestarts)" = 0 ]
check "cold plug: the page cache was dropped" board_sh "journalctl -k -b -o cat | grep -q 'drop_caches: 1'"
check "cold plug: journalctl -p err lists the ERR lines" only_err_lines -b
timed "cold plug"

printf 'board test: %s\n' "${times[@]}"
echo "board test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
