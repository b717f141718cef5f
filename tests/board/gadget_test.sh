#!/usr/bin/env bash
# Board test, arm64: the robot-client package built for arm64, the
# architecture the product ships for, installed with dpkg on a Debian 12
# arm64 board in a virtual machine (scripts/lib/board.sh, BOARD_ARCH=arm64:
# QEMU's Arm "virt" machine under TCG). Its usb0 is a USB gadget made by the
# shipped set-up on dummy_hcd, as on the boards the product ships for; the
# cable is the host side's hold on the gadget's USB device, and the host
# side, standing for the manager's PC, is bridged to the manager. The client
# runs under the shipped units' sandboxing, whose system call filter is the
# arm64 one here. Its twin on amd64 with a USB NIC is usb_nic_test.sh; the
# two share tests/board/lib.sh.
#
# What runs here, and why here: everything that needs the cable (the
# carrier) to come and go while usb0 stays, which only the gadget shows, and
# the sandbox checks whose outcome depends on the architecture (the seccomp
# filter's system calls). Two boots, the fewest that give a cold boot with
# the package installed; each scenario once:
#   1. booted with the cable out: install and pair (the units as shipped,
#      the ssh policy, the exposure scores: the same bounds as on amd64);
#      the gadget set-up enabled: usb0 comes, and nothing is started or sent
#      until the cable is plugged in (the cable out at power-on but for the
#      order of the boot, which the cold boot below covers with the cable
#      in). Plugged in, the client starts (the client's status tells its
#      step, the watch's the plug-in); pulled during its slowed copy, the
#      copy fails within ssh's keep-alive window and the client stays;
#      killed by SIGSEGV, systemd starts it again and the watch says so
#      (NOTICE, status) with the failed copies; plugged in again with
#      /robot/AI gone, the new client deploys to the end, and the failed
#      copy shows in its status, its summary line (WARN), the watch's
#      status, the unit (failed, the board degraded) and the operator
#      guide's OnFailure= handler (one line). (One plug-in serves these: a
#      separate "cable in after waiting" deployment would repeat the cold
#      boot's.) Plugged in again, a good deployment: the cable out and in
#      while its application runs makes the same process announce again, no
#      other comes while the cable stays in, and the unit is no longer
#      failed, nor the board degraded. Last, a unit of the image's own that
#      gives usb0 its address at boot, before the watch starts.
#   2. booted with the cable in (usb0 given its address by that unit): a
#      cold boot deploys, files identical, and the client's and the watch's
#      status tell how it ended; the client disabled: a plug-in starts
#      nothing; a client started by hand beside the unit stays the
#      only one; journalctl -p err lists exactly the client's ERR lines;
#      last, since they take usb0 away, the gadget set-up's own checks
#      (gadget_setup_checks.sh: a whole gadget, a leftover, an unbound one,
#      an interface the kernel names otherwise).
# The USB NIC's hot and cold plug, a stop during a copy, pairing again over
# usb0, and remove and purge run on amd64 only (usb_nic_test.sh): none
# depends on the architecture or needs a gadget. At each power-off the
# journal holds no seccomp or sandbox denial (from install on, the client
# and the cable watch are killed by a filtered system call rather than given
# EPERM, so that one would show: loud_filter). A plug-in during the
# client's final report is the cable watch's CTest test's
# (cable_watch_test.cpp): its moment cannot be hit here without a wait of
# its own. Run as root; BOARD_KEEP=1 keeps the run directory.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
BOARD_ARCH=arm64 BOARD_TEST="board test (arm64, USB gadget)"
source tests/board/lib.sh

prepare
board_up || die "manager side"
manager --run-time 1
board_boot --gadget out || die "boot as a gadget, cable out"
timed "boot as a gadget, cable out"
board_install || die "install and pair"
installed_checks
loud_filter on || die "the filtered calls made to kill"
timed install

# The integrator's one step for a gadget board: usb0 comes with the gadget,
# the cable watch with usb0, and waits for the cable.
board_sh 'systemctl enable --now robot-client-gadget' >/dev/null 2>&1 || die "the gadget set-up"
check "cable out: the cable watch waits for it" until_guest \
  "systemctl show -p StatusText --value robot-client-cable | grep -q waiting.for.the.cable" 60
check "cable out: nothing started, nothing sent" [ "$(starts)$(manager_query --event accept --count)" = 00 ]
timed "gadget set-up, cable out"

# Plugged in, the client starts; an unplug while its copy runs: the copy
# fails within ssh's keep-alive window and the client stays. The manager,
# whose end of the link went away with the cable, ends the session. A file
# that takes the copy half a minute at the slowed rate; the cable goes once
# its bytes arrive. Meanwhile the client's status tells its step and the
# watch's the plug-in.
board_sh 'head -c 2M /dev/zero >/robot/app/large.bin' && head -c 2M /dev/zero >"$SB_ROBOT/app/large.bin" &&
  slow on && cable in && proc_until 120 test -s "$SB_USERDATA/app/large.bin" || die "no copy started"
pid=$(unit MainPID) t=$SECONDS
check "during the copy: the client's status tells its step, the watch's the plug-in" \
  statuses_are $'copying /robot/app\ncable in since T: robot-client.service started'
cable out && kill -USR1 "$MANAGER_PID" || die "cable out"
check "unplug during the copy: the copy fails within the keep-alive window" \
  until_guest "journalctl -b -u robot-client -o cat | grep -q ERR:.copy.failed" 45
say "the copy failed $((SECONDS - t)) s after the unplug"
check "unplug during the copy: the client stays" [ "$(unit MainPID)" = "$pid" ]
# Then the client crashes: systemd starts it again (Restart=on-failure), and
# the watch, which follows it through the unplug, tells so, with the failed
# copies of the one that ended, then the new one.
board_sh "kill -SEGV $pid" || die "kill -SEGV the client"
check "a client killed by SIGSEGV: the watch says systemd restarts it, and its copies failed" until_guest \
  "journalctl -b -u robot-client-cable -o cat | grep -Eq 'NOTICE: robot-client.service ended at .* \(killed by SIGSEGV\); restarting; copies: app exit [0-9]+, AI (exit [0-9]+|not run)\$'" 30
check "... then that systemd started it again" until_guest \
  "systemctl show -p StatusText --value robot-client-cable | grep -q 'last plug-in at .*: robot-client.service started again by systemd\$'" 30
# Plugged in again with /robot/AI gone: the new client deploys to the end,
# its copy of /robot/AI fails, the unit fails (status 4), and the client's
# status, its summary line (a WARN) and the watch's status say so, as does
# the operator guide's OnFailure= handler (its three files, as there).
# shellcheck disable=SC2016 # expanded by the handler
board_sh 'mv /robot/AI /robot/AI.off && printf "%s\n" '\''#!/bin/sh'\'' "logger -p user.err -t robot-client-failed \"robot-client \$MONITOR_SERVICE_RESULT, exit status \$MONITOR_EXIT_STATUS: \$(tr '\''\n'\'' '\'' '\'' </run/robot-client/deployment)\"" >/usr/local/sbin/robot-client-failed &&
  chmod 755 /usr/local/sbin/robot-client-failed && printf "[Unit]\nDescription=Tell that a robot-client deployment failed\n[Service]\nType=oneshot\nExecStart=/usr/local/sbin/robot-client-failed\n" >/etc/systemd/system/robot-client-failed.service &&
  printf "[Unit]\nOnFailure=robot-client-failed.service\n" >/etc/systemd/system/robot-client.service.d/on-failure.conf && systemctl daemon-reload' &&
  mv "$SB_ROBOT/AI" "$BOARD_DIR/AI.off" && slow off && cable in || die "OnFailure= handler, cable in"
whole "plugged in again after an unplug during the copy" 4
check "a failed copy: is-failed says failed, is-system-running degraded" [ "$(board_sh 'systemctl is-failed robot-client; systemctl is-system-running')" = $'failed\ndegraded' ]
check "a failed copy: the OnFailure= handler logs it, once" until_guest '[ "$(journalctl -b -t robot-client-failed -o cat | cut -c1-62)" = "robot-client exit-code, exit status 4: format=1 state=finished" ]' 30
check "plugged in again: the client systemd restarted, on a new connection" [ "$(starts) $(manager_query --event accept --count)" = "2 2" ]
check "a failed copy: the watch's status tells it" until_guest "systemctl show -p StatusText --value robot-client-cable |
  grep -Eq '^cable in since .*: robot-client.service failed at .* \(exit status 4[^)]*\); copies: app ok, AI exit [0-9]+\$'" 30
check "a failed copy: the client's status tells it" grep -Eqx \
  'run finished after [0-9]+ s; copy of /robot/app ok, copy of /robot/AI failed \(exit status [0-9]+\); handshake restarts: [0-9]+ by carrier-up, 0 by dropped connection' \
  <<<"$(unit StatusText)"
check "a failed copy: the client's summary line is a WARN" grep -q \
  'WARN: deployment ended: run finished after [0-9]* s; copy of /robot/app ok, copy of /robot/AI failed' <<<"$(journal -b)"
board_sh 'rm /robot/app/large.bin && mv /robot/AI.off /robot/AI' && rm "$SB_ROBOT/app/large.bin" &&
  mv "$BOARD_DIR/AI.off" "$SB_ROBOT/AI" || die "large file, /robot/AI"
timed "cable in, an unplug during the copy, a crash, in again"

# Plugging in again after the failed copy runs a good deployment (the
# failed unit's start resets it: the board is no longer degraded): the
# cable out and in again while its application runs makes the same process
# start the handshake again, on the same connection; no other comes while
# the cable then stays in. (The run lasts long enough for the restart to
# reach the manager first, also when a busy machine takes seconds over the
# cable out and in: a run that ended first would make the restart a new
# client.)
manager --run-time 20
replug || die "cable out and in"
check "carrier: the client runs the deployment" sent sys_runing 120
pid=$(unit MainPID) n=$(received connected)
replug || die "cable out and in"
check "carrier up: connected again" proc_until 60 manager_query --conn 1 --cmd connected --at-least $((n + 1))
check "carrier up: the same process" [ "$(unit MainPID)" = "$pid" ]
whole "plugged in again"
sleep 3
check "three clients this boot, no other while the cable stays in" [ "$(starts)" = 3 ]
check "a good deployment after the failed one: not failed, the board running, not degraded" [ "$(board_sh 'systemctl is-failed robot-client; systemctl is-system-running')" = $'inactive\nrunning' ]
check "systemctl status shows the cable in" \
  board_sh "systemctl show -p StatusText --value robot-client-cable | grep -q '^cable in since'"
# The image gives usb0 its address at boot, before the watch starts, as a
# vendor's network set-up may: the power-on below deploys all the same.
board_sh "printf '%s\n' '[Unit]' 'BindsTo=sys-subsystem-net-devices-usb0.device' \
  'After=sys-subsystem-net-devices-usb0.device' 'Before=robot-client-cable.service' '[Service]' 'Type=oneshot' \
  'RemainAfterExit=yes' 'ExecStart=ip address add 10.10.10.1/24 dev usb0' 'ExecStart=ip link set usb0 up' \
  '[Install]' 'WantedBy=sys-subsystem-net-devices-usb0.device' >/etc/systemd/system/board-usb0-address.service &&
  systemctl enable board-usb0-address" >/dev/null 2>&1 || die "usb0's address at boot"
no_denials "boot with the cable out"
timed "plugged in again, the cable out and in while running"

# A gadget board powered on with the cable in: usb0 is the shipped set-up's
# and a whole deployment runs.
board_halt || die "power off"
manager --run-time 1
board_boot --gadget in || die "boot as a gadget, cable in"
timed "boot as a gadget, cable in"
check "gadget: usb0 is the shipped gadget set-up's" \
  board_sh 'systemctl is-active -q robot-client-gadget && grep -qx usb0 /sys/kernel/config/usb_gadget/robot-client/functions/ecm.usb0/ifname'
check "cold boot: usb0 had its address from the image before the watch started" \
  board_sh 'systemctl is-active -q board-usb0-address && systemctl disable -q board-usb0-address'
whole "cold boot"
check "cold boot: the client's status and the watch's tell how it ended" proc_until 30 statuses_are \
  $'run finished after N s; copies ok; handshake restarts: N by carrier-up, N by dropped connection
cable in since T: robot-client.service ended at T (exit status 0); copies: both ok'
timed "cold boot"

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
check "journalctl -p err lists the ERR lines" only_err_lines
timed "disabled, and a client by hand"

# Last, since it takes usb0 away: the gadget set-up's own checks.
source tests/board/gadget_setup_checks.sh
gadget_setup_checks
no_denials "boot with the cable in"
timed "the gadget set-up's checks"
finish
