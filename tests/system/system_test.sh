#!/usr/bin/env bash
# System tests: the built client, in a fresh sandbox of its own (board and
# manager namespaces joined by usb0, sshd, simulated manager), driven
# through one situation each.
#   system_test.sh CASE CLIENT-BINARY [WRAPPER...]
# The WRAPPER words run the client: the emulator of a cross build
# (qemu-aarch64 -L /), or valgrind's memcheck.
set -uo pipefail
[ "$(id -u)" -eq 0 ] || { echo "system tests need root"; exit 77; }
case_name=$1 CHECK_NAME="system.$1"
client=$(realpath "$2")
emulator=${*:3}
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/lib/sandbox.sh"
source "$root/tests/lib/check.sh"
start() { manager_start "$@" && sandbox_start_client --bin "$client" --wrapper "$emulator"; }

# Refused: status 255, or 1 when ssh ends before scp's first write.
copy_failed='ERR: copy failed with exit status [0-9]+: scp -r /robot/'
no_restart='handshake restarts: 0 by carrier-up, 0 by dropped connection'
record() { echo "$SB_CLIENT_RUN/deployment"; }

# The whole deployment from an unaddressed usb0 (brought up first): the
# manager's side sees each text once (repeats in a row allowed: a slowed
# client, or the first text and the answer to "connected" read together,
# which leaves only the first), in order, on one connection; the copies
# match their sources and were whole (no file written after) when
# sys_mount_finish came; the page cache is dropped on sys_run_finish; status
# 0. A first text whose cmd is no string, with a respone, is discarded on
# the way. The summary line and the record (root's alone) tell the same,
# and the status told to the service manager went through each step.
case_deploy() {
  local steps
  must sandbox_up
  must sandbox_notify_start
  must manager_start --run-time 1 --timeout 100 --on-connect '{"cmd":7,"respone":"x"}'
  must sandbox_start_client --bin "$client" --wrapper "$emulator" --notify "$SB_DIR/notify"
  sandbox_wait_client 100 || fail "exit status $? (99: memcheck found errors or a leak)"
  manager_wait 5 || fail "manager status $?"
  must_receive -u 1 connected sys_mount sys_mount_finish sys_run sys_run_finish
  sandbox_client_log | grep -qF 'cmd->valuestring:(number) discard' || fail "the first text was not discarded"
  [ "$(manager_query --event accept --count)" -eq 1 ] || fail "more than one connection"
  must check_copies_match
  awk -v told="$(manager_query --cmd sys_mount_finish --wall)" '$1 > told { exit 1 }' \
    < <(find "$SB_USERDATA" -printf '%T@\n') || fail "a file was written after sys_mount_finish"
  [ "$(cat "$SB_DROP_CACHES")" = 1 ] || fail "page-cache file holds '$(cat "$SB_DROP_CACHES")'"
  [ "$(check_client_count "NOTICE: deployment ended: run finished after [0-9]+ s; copies ok; $no_restart$")" -eq 1 ] ||
    fail "no summary of a finished run"
  steps=$(sed -n 's/^STATUS=//p' "$SB_DIR/notify.log" | sed -E 's/[0-9]{2}:[0-9]{2}:[0-9]{2}/HH:MM:SS/; s/after [0-9]+ s/after N s/' |
    paste -sd'|')
  [ "$steps" = "announcing to the manager|waiting for the manager at 10.10.10.2:7901: usb0 has no address 10.10.10.1 \
yet|announcing to the manager|mount asked|copying /robot/app|copying /robot/AI|run asked|running since HH:MM:SS|\
final report|run finished after N s; copies ok; $no_restart" ] || fail "status told: $steps"
  [ "$(stat -c %a "$(record)") $(grep -E '^(state|copy_app|copy_ai)=' "$(record)" | paste -sd' ')" = \
    '600 state=finished copy_app=ok copy_ai=ok' ] || fail "record: $(paste -sd' ' "$(record)")"
}

# In RUNNING (the manager answers sys_runing at once), news of usb0 whose
# carrier stays up (promiscuous mode, a new MTU) is printed and restarts
# nothing: the next tick is still RUNNING's. A carrier down and up does
# restart: a second announcement, counted in the record. All the while
# another interface (a Wi-Fi on the manager's network) has a more specific
# route to 10.10.10.2: the handshake goes over usb0 all the same.
case_carrier_edge() {
  local n
  must sandbox_up
  must sandbox_board sh -c 'ip link add wlan0 type veth peer name wlan1 && ip link set wlan0 up &&
    ip link set wlan1 up && ip route add 10.10.10.2/32 dev wlan0'
  must start --on-connect '{"cmd":"sys_runing"}' --reply connected= --run-time -1 --timeout 60
  must_see_client 'recv msg:\{"cmd":"sys_runing"\}'
  n=$(check_client_count "^$SB_USB_INDEX: up usb0$")
  must sandbox_board ip link set usb0 promisc on
  must sandbox_board ip link set usb0 mtu 1400
  must_see_client "^$SB_USB_INDEX: up usb0$" 10 $((n + 2))
  n=$(check_client_count 'updateInfo_onTimer status =')
  must_see_client 'updateInfo_onTimer status =' 10 $((n + 1))
  [ "$(sandbox_client_log | grep -o 'updateInfo_onTimer status =[0-9]*' | tail -n 1)" = 'updateInfo_onTimer status =7' ] &&
    [ "$(manager_query --cmd connected --count)" -eq 1 ] || fail "usb0's news restarted the handshake"
  must fault_flap
  must_see_manager connected 30 2
  must_stop_on_sigint
  grep -qx carrier_ups=1 "$(record)" || fail "record: $(paste -sd' ' "$(record)")"
}
# The manager's sshd shows another host key than the pinned one: both
# copies are refused, nothing arrives, and the sequence goes on to its end.
case_host_key_changed() {
  must sandbox_up --new-host-key
  must start --run-time 1 --timeout 60
  sandbox_wait_client 60 || fail "exit status $?"
  manager_wait 5 || fail "manager status $?"
  must_receive 1 connected sys_mount sys_mount_finish sys_run sys_run_finish
  [ "$(check_client_count "${copy_failed}(app  |AI )root@10\.10\.10\.2:/userdata/$")" -eq 2 ] &&
    [ "$(check_client_count 'Host key verification failed')" -eq 2 ] || fail "the changed host key was not refused"
  [ "$(check_client_count "WARN: deployment ended: run finished after [0-9]+ s; copy of /robot/app failed \
\(exit status [0-9]+\), copy of /robot/AI failed \(exit status [0-9]+\); $no_restart$")" -eq 1 ] ||
    fail "no summary warning of both failed copies"
}

# A listener on the manager's port 22 that accepts and never speaks: each
# copy gives up within the connect time-out. SIGQUIT while the first copy
# waits (the quit key of a terminal) does not end the client; SIGINT while
# the second waits is held until it gives up, then stops the client before
# another tick acts: the manager saw sys_mount_finish last.
case_silent_ssh() {
  must sandbox_up --no-sshd
  must manager_start --name port22 --port 22 --silent --timeout 100
  must start --run-time -1 --timeout 100
  proc_until 30 manager_query --name port22 --event accept --at-least 1 || fail "no copy reached port 22"
  kill -QUIT "$SB_CLIENT_PID"
  proc_until 30 manager_query --name port22 --event accept --at-least 2 || fail "SIGQUIT ended the client"
  must_stop_on_sigint
  must_see_client "${copy_failed}AI " 1
  must_receive -u 1 connected sys_mount sys_mount_finish
}

# robot-client-check on a board before its first plug-in (cable in, usb0
# down and unaddressed; systemctl a stub that logs its questions):
# --no-configure only says how to give usb0 its address; by default it
# gives it and every check passes; with the board's key gone from the
# manager's authorized_keys the ssh line alone fails. Nothing is left in
# /userdata, systemd is only asked, port 7901 is never reached.
case_check() {
  local bin out run
  must sandbox_up
  must manager_start --timeout 100
  bin=$SB_DIR/bin && mkdir "$bin"
  printf '#!/bin/sh\necho "$*" >>%s/asked\n[ "$1" = is-enabled ] && echo enabled\nexit 0\n' "$bin" >"$bin/systemctl"
  chmod +x "$bin/systemctl"
  sandbox_view --board
  run=(sandbox_board bwrap "${SB_VIEW[@]}" --ro-bind "$SB_ROBOT" /robot --bind "$bin" "$bin" --setenv PATH "$bin:$PATH"
    -- sh "$root/packaging/robot-client-check")
  out=$("${run[@]}" --no-configure) && fail "passed on an unaddressed usb0: $out"
  grep -q '^FAIL: usb0 is not up at 10.10.10.1 — sudo ifconfig usb0 10.10.10.1 up' <<<"$out" || fail "no usb0 hint: $out"
  [ -z "$(sandbox_board ip -4 -o addr show dev usb0)" ] || fail "--no-configure gave usb0 an address"

  out=$("${run[@]}") || fail "exit status $?: $out"
  grep -q '^OK: usb0 is up at 10.10.10.1: given now' <<<"$out" && [ "$(grep -c '^OK: ' <<<"$out")" -eq 9 ] &&
    [ "$(wc -l <<<"$out")" -eq 9 ] || fail "not 9 checks passed: $out"

  : >"$SB_DIR/sshd/authorized_keys"
  out=$("${run[@]}") && fail "passed with the key refused: $out"
  [ "$(grep '^FAIL' <<<"$out")" = "FAIL: ssh to root@10.10.10.2: root's key refused — add the line \
robot-client-pair printed to the manager's /root/.ssh/authorized_keys" ] || fail "ssh refusal: $out"

  [ -z "$(ls -A "$SB_USERDATA")" ] || fail "left in /userdata: $(ls -A "$SB_USERDATA")"
  [ "$(grep -cv '^is-' "$bin/asked")" -eq 0 ] || fail "systemctl: $(cat "$bin/asked")"
  [ "$(manager_query --event accept --count)" -eq 0 ] || fail "port 7901 was reached"
}

"case_$case_name"
echo "PASS ($case_name)"
