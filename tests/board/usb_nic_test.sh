#!/usr/bin/env bash
# Board test: the robot-client package installed with dpkg on a Debian 12
# system in a virtual machine (scripts/lib/board.sh), started and stopped by
# systemd (the cable watch, the usb0 device), logging to journald, copying
# with the shipped ssh policy under the shipped units' sandboxing, against
# the simulated manager and a real sshd. Four boots:
#   1. without a NIC: install and pair; hot plug (the USB NIC attached starts
#      the client, detached mid-deployment stops it whole); a stop during a
#      slowed copy; then the shipped gadget set-up is enabled.
#   2. with the USB NIC attached from power-on: cold plug.
#   3. a USB gadget board (dummy_hcd and the shipped set-up) with the cable
#      in: a cold boot deploys; each plug-in deploys again, and only once;
#      the cable out and in while the application runs; an unplug during the
#      copy; the client disabled; a client started by hand beside the unit.
#   4. the gadget board with the cable out: nothing until it is plugged in;
#      then the package removed and purged.
# Each is checked from the manager's record, the copied files and the
# guest's journal. Run as root; BOARD_KEEP=1 keeps the run directory.
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
# check WHAT COMMAND...: counts COMMAND's success, or says WHAT failed.
check() { if "${@:2}"; then passed=$((passed + 1)); else echo "board test: FAIL: $1" >&2 && failed=$((failed + 1)); fi; }
timed() { times+=("$1 $((SECONDS - t0)) s") && echo "board test: $1 done ($((SECONDS - t0)) s)" && t0=$SECONDS; }
# until_guest CONDITION SECS: waits in the guest for a shell condition.
until_guest() { board_sh "timeout $2 sh -c $(printf %q "until $1; do sleep 0.2; done")" $(($2 + 10)) >/dev/null; }
unit() { board_sh "systemctl show -p $1 --value robot-client"; }
# shellcheck disable=SC2016 # expanded in the guest
stopped='[ "$(systemctl show -p ActiveState --value robot-client)" = inactive ]'
journal() { board_sh "journalctl -u robot-client -o cat --no-pager $*"; }
only_err_lines() { [ "$(journal -b -p err)" = "$(journal -b | grep 'ERR:')" ] && journal -b -p err | grep -q .; }
# How many clients this boot started.
starts() { journal -b | grep -c 'NOTICE: ev_run\.\.\.'; }
received() { manager_query --cmd "$1" --count; }
# sent CMD SECS: waits until the manager has sent CMD.
sent() { proc_until "$2" manager_query --event send --text "{\"cmd\":\"$1\"}" --at-least 1; }
# manager OPTION...: a fresh simulated manager and an empty /userdata.
manager() { manager_stop && : >"$SB_DIR/manager.jsonl" && rm -rf "${SB_USERDATA:?}"/* && manager_start "$@"; }
deployed() { manager_wait "$1" && [ "$(received sys_run_finish)" -ge 1 ]; }
copies_whole() { diff -r "$SB_ROBOT" "$SB_USERDATA"; }
# whole WHAT: a whole deployment: the manager saw it to its end, the copies
# are whole, the unit ended with status 0.
whole() {
  check "$1: a whole deployment" deployed 180
  check "$1: copies whole" copies_whole
  check "$1: the unit stops with status 0" stops_clean
}
# stops_clean [SECS]: the unit stops within SECS (30) and ended with status 0.
stops_clean() {
  until_guest "$stopped" "${1:-30}" && [ "$(board_sh 'systemctl show -p ActiveState -p Result -p ExecMainStatus robot-client' |
    sort)" = $'ActiveState=inactive\nExecMainStatus=0\nResult=success' ]
}
# The gadget's cable, as the host side sees it: its USB device authorized.
cable() { board_sh "echo $([ "$1" = in ] && echo 1 || echo 0) >\$(grep -l 0104 /sys/bus/usb/devices/*/idProduct | xargs dirname)/authorized"; }
replug() { cable out && sleep 0.5 && cable in; }
# slow on|off: the copies over usb0 slowed by a qdisc, or not.
slow() { board_sh "tc qdisc $([ "$1" = on ] && echo add || echo del) dev usb0 root tbf rate 512kbit burst 16kb latency 30s" >/dev/null; }

board_image || die "guest image"
timed "image (cached after the first run)"
board_deb || die "package build"
tests/package/check-deb.sh "$BOARD_DEB" amd64 || die "the package"
timed "package build and checks"
board_up || die "manager side"
board_boot || die "boot"
timed "boot without a NIC"
board_install || die "install and pair"
check "installed: the client and its cable watch enabled, the gadget set-up not, nothing running" \
  [ "$(board_sh 'systemctl is-enabled robot-client robot-client-cable robot-client-gadget
    systemctl is-active robot-client robot-client-cable')" = $'enabled\nenabled\ndisabled\ninactive\ninactive' ]
check "the shipped ssh policy is the package's, and in force for the manager" board_sh "dpkg -S /etc/ssh/ssh_config.d/robot-client.conf >/dev/null &&
  ssh -G 10.10.10.2 | grep -xc -e 'batchmode yes' -e 'connecttimeout 10' -e 'stricthostkeychecking true' \
  -e 'userknownhostsfile /etc/ssh/robot-manager_known_hosts' | grep -qx 4"
scores=$(board_sh 'for u in robot-client robot-client-cable; do systemd-analyze security $u; done' |
  sed -n 's/.*exposure level for .*: \([0-9.]*\).*/\1/p' | paste -sd' ')
echo "board test: systemd-analyze security on the board: client and cable watch $scores"
check "the installed units rate 4.0 or less, the cable watch no worse than the client" \
  awk -v s="$scores" 'BEGIN { split(s, e, " "); exit !(e[1] != "" && e[1] <= 4.0 && e[2] != "" && e[2] <= e[1]) }'
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
# The integrator's one step for a gadget board; it acts from the next boot.
board_unplug && board_sh 'rm /run/udev/rules.d/90-slow.rules && systemctl enable robot-client-gadget' >/dev/null ||
  die "unplug, gadget set-up"
timed "stop during a copy"

# Cold plug: power on with the USB NIC attached.
board_halt || die "power off"
manager --run-time 1
board_boot --usb || die "boot with the NIC"
timed "boot with the NIC"
whole "cold plug"
check "cold plug: sys_run_finish reported once" [ "$(received sys_run_finish)" = 1 ]
check "cold plug: not restarted" [ "$(unit NRestarts)" = 0 ]
check "cold plug: the page cache was dropped" board_sh "journalctl -k -b -o cat | grep -q 'drop_caches: 1'"
check "cold plug: journalctl -p err lists the ERR lines" only_err_lines
timed "cold plug"

# A gadget board powered on with the cable in: usb0 is the shipped set-up's
# and a whole deployment runs. Plugging in again runs a second one: the
# cable out and in again while its application runs makes the same process
# start the handshake again, on the same connection; no third comes while
# the cable then stays in. (The run lasts long enough for the restart to
# reach the manager first.)
board_halt || die "power off"
manager --run-time 1
board_boot --gadget in || die "boot as a gadget"
timed "boot as a gadget, cable in"
check "gadget: usb0 is the shipped gadget set-up's" \
  board_sh 'systemctl is-active -q robot-client-gadget && grep -qx usb0 /sys/kernel/config/usb_gadget/robot-client/functions/ecm.usb0/ifname'
whole "gadget, cold boot"
manager --run-time 8
replug || die "cable out and in"
check "carrier: the client runs the deployment" sent sys_runing 120
pid=$(unit MainPID) n=$(received connected)
replug || die "cable out and in"
check "carrier up: connected again" proc_until 60 manager_query --conn 1 --cmd connected --at-least $((n + 1))
check "carrier up: the same process" [ "$(unit MainPID)" = "$pid" ]
whole "gadget, plugged in again"
sleep 3
check "gadget: two deployments, no third while the cable stays in" [ "$(starts)" = 2 ]
check "gadget: systemctl status shows the cable in" \
  board_sh "systemctl show -p StatusText --value robot-client-cable | grep -q '^cable in since'"
# Pairing again, now fetching the manager's host key over the link (the
# operator guide's second way), keeps the pin and prints the same line for
# the manager's authorized_keys.
check "pairing again over usb0: the same pin and authorized_keys line" board_sh "p=\$(md5sum </etc/ssh/robot-manager_known_hosts)
  robot-client-pair </dev/null | grep -qxF '$(cat "$SB_DIR/sshd/authorized_keys")' && [ \"\$(md5sum </etc/ssh/robot-manager_known_hosts)\" = \"\$p\" ]"
timed "plugged in again, the cable out and in while running"

# An unplug while the copy runs: the copy fails within ssh's keep-alive
# window and the client stays. The manager, whose end of the link went away
# with the cable, ends the session; plugged in again, the same client
# connects anew and the deployment completes.
manager --run-time 1
# A file that takes the copy half a minute at the slowed rate; the cable goes
# once its bytes arrive.
board_sh 'head -c 2M /dev/zero >/robot/app/large.bin' && head -c 2M /dev/zero >"$SB_ROBOT/app/large.bin" &&
  slow on && replug && proc_until 120 test -s "$SB_USERDATA/app/large.bin" || die "no copy started"
pid=$(unit MainPID) n=$(starts) t=$SECONDS
cable out && kill -USR1 "$MANAGER_PID" || die "cable out"
check "unplug during the copy: the copy fails within the keep-alive window" \
  until_guest "journalctl -b -u robot-client -o cat | grep -q ERR:.copy.failed" 45
echo "board test: the copy failed $((SECONDS - t)) s after the unplug"
check "unplug during the copy: the client stays" [ "$(unit MainPID)" = "$pid" ]
slow off && cable in || die "cable in"
whole "plugged in again after an unplug during the copy"
check "plugged in again: the same client, on a new connection" [ "$(starts) $(manager_query --event accept --count)" = "$n 2" ]
board_sh 'rm /robot/app/large.bin' && rm "$SB_ROBOT/app/large.bin" || die "large file"
timed "unplug during a copy"

# Disabled, a plug-in starts nothing; a client started by hand beside the
# unit stays the only one, however often the unit is started.
board_sh 'systemctl disable robot-client' >/dev/null 2>&1 || die "disable"
n=$(starts)
replug && sleep 3
check "disabled: a plug-in starts nothing" [ "$(starts)" = "$n" ]
board_sh 'systemctl enable robot-client' >/dev/null 2>&1 || die "enable"
manager --run-time -1
# Two starts: the first one's stop must not free the lock for the second.
hand=$(board_sh '(robot-client >/dev/null 2>&1 & echo $!); sleep 1; systemctl restart robot-client; sleep 1;
  systemctl restart robot-client; sleep 2' 60)
check "by hand: the client started by hand stays the only one" [ "$(board_sh 'pgrep -x robot-client')" = "$hand" ]
check "by hand: the unit is refused with status 1" [ "$(unit ExecMainStatus)" = 1 ]
check "by hand: it says why" grep -q 'ERR: another robot-client is running' <<<"$(journal -b)"
board_sh "kill -INT $hand; systemctl reset-failed robot-client" >/dev/null
timed "disabled, and a client by hand"

# A gadget board powered on with the cable out: nothing is started or sent
# until it is plugged in; then a whole deployment runs.
board_halt || die "power off"
manager --run-time 1
board_boot --gadget out || die "boot as a gadget, cable out"
timed "boot as a gadget, cable out"
check "cable out at boot: the cable watch waits for it" until_guest \
  "systemctl show -p StatusText --value robot-client-cable | grep -q waiting.for.the.cable" 60
check "cable out at boot: nothing started, nothing sent" [ "$(starts)$(manager_query --event accept --count)" = 00 ]
cable in || die "cable in"
whole "cable in after a boot without it"
timed "cable out at boot, then in"

# Removed, the units stop and are masked; purged, nothing of the package is
# left, the pinned host key included.
board_sh 'dpkg -r robot-client >/tmp/dpkg.log 2>&1' 60 || die "dpkg -r"
check "remove: nothing runs, the units masked" board_sh '! pgrep -x robot-client && ! pgrep -x robot-client-ca &&
  [ "$(readlink /etc/systemd/system/robot-client.service /etc/systemd/system/robot-client-cable.service)" = "$(printf "/dev/null\n/dev/null")" ]'
board_sh 'dpkg -P robot-client >/tmp/dpkg.log 2>&1' 60 || die "dpkg -P"
check "purge: nothing of it left" board_sh '[ -z "$(find /etc /lib/systemd /usr /var/lib/systemd -name "*robot-*")" ]'
timed "remove and purge"

printf 'board test: %s\n' "${times[@]}"
echo "board test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
