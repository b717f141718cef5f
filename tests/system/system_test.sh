#!/usr/bin/env bash
# System tests: the built client, in a fresh sandbox of its own (board and
# manager namespaces joined by usb0, sshd, simulated manager), driven
# through one situation each.   system_test.sh CASE CLIENT-BINARY
set -uo pipefail
[ "$(id -u)" -eq 0 ] || { echo "system tests need root"; exit 77; }
case_name=$1
SB_CLIENT_BIN=$(realpath "$2")
# shellcheck source=scripts/lib/sandbox.sh
. "$(dirname "$0")/../../scripts/lib/sandbox.sh"

fail() {
  echo "FAIL ($case_name): $*"
  echo "--- client log"; sandbox_client_log | tail -80
  echo "--- manager log"; cat "$SB_MANAGER_LOG" 2>/dev/null
  exit 1
}
must() { "$@" || fail "$*"; }
wait_c() { sandbox_wait_for "$SB_CLIENT_LOG" "$@" || fail "client log: no /$1/"; }
wait_m() { sandbox_wait_for "$SB_MANAGER_LOG" "$@" || fail "manager log: no /$1/"; }
msgs() { for m; do printf '{"cmd":"%s"}\n' "$m"; done; }
# received CONN CMD...: the manager got exactly these texts on connection CONN.
received() { [ "$(sandbox_received "$1")" = "$(shift; msgs "$@")" ] || fail "manager got on #$1: $(sandbox_received "$1")"; }
count_c() { sandbox_client_log | grep -cF -- "$1"; }
accepts() { grep -c ' accept ' "$SB_MANAGER_LOG"; }
# SIGINT to the client alone; it ends in order with status 0.
interrupt() {
  sandbox_interrupt_client
  sandbox_wait_client 30
  local status=$?
  [ $status -eq 0 ] || fail "exit status $status after SIGINT"
  [ "$(sandbox_client_log | tail -2 | sed 's/^\[[^]]*\] //')" = "$(printf 'WARN: SIGINT exit...\nERR: robot client exit!')" ] ||
    fail "last lines after SIGINT"
}
# up_to_running [SANDBOX-OPTIONS]: sandbox, manager, client; returns once running.
up_to_running() {
  must sandbox_up "$@"
  must sandbox_start_manager --run-time -1 --timeout 100
  must sandbox_start_client
  wait_m 'send \{"cmd":"sys_runing"\}' 40
}

# The whole deployment: the manager's side sees each text once, in order;
# the copies match their sources; the page cache is dropped; status 0.
case_deploy() {
  must sandbox_up
  must sandbox_start_manager --run-time 1 --timeout 60
  must sandbox_start_client
  sandbox_wait_client 60 || fail "exit status $?"
  sandbox_wait_manager 5 || fail "manager status $?"
  received 1 connected sys_mount sys_mount_finish sys_run sys_run_finish
  [ "$(accepts)" -eq 1 ] || fail "more than one connection"
  [ "$(ls "$SB_USERDATA" | paste -sd' ')" = "AI app" ] || fail "/userdata holds $(ls "$SB_USERDATA")"
  must sandbox_copies_match
  [ "$(cat "$SB_DROP_CACHES")" = 1 ] || fail "page-cache file holds '$(cat "$SB_DROP_CACHES")'"
  must sandbox_in_order 'status =0 ' 'status =1 ' 'status =4 ' 'status =5 ' \
    'recv msg:{"cmd":"sys_run_finish"}' 'status =8 ' 'tcp send: {"cmd":"sys_run_finish"}'
}

case_sigint_idle() {
  must sandbox_up --no-sshd
  must sandbox_start_client
  wait_c 'NOTICE: ev_run\.\.\.'
  interrupt
}

# SIGINT while a tick is blocked in a slow copy: the copy finishes, the
# finish report goes out, then the client ends in order.
case_sigint_copy() {
  must sandbox_up
  sandbox_add_file AI/models/large.bin 768
  must sandbox_rate_limit 1mbit
  must sandbox_start_manager --run-time -1 --timeout 100
  must sandbox_start_client
  wait_c 'status =4 '
  sleep 1
  must sandbox_client_in_command
  interrupt
  received 1 connected sys_mount sys_mount_finish
  must sandbox_copies_match
  [ "$(sandbox_client_log | tail -3 | head -1)" = "$(sandbox_client_log | grep -F 'tcp send: {"cmd":"sys_mount_finish"}')" ] ||
    fail "SIGINT not handled right after the copy's tick"
}

case_sys_exit() {
  must sandbox_up --no-sshd
  must sandbox_start_manager --exit-on connected --timeout 30
  must sandbox_start_client
  sandbox_wait_client 30 || fail "exit status $?"
  received 1 connected
  [ "$(sandbox_client_log | tail -1 | sed 's/^\[[^]]*\] //')" = "WARN: client socket close!" ] || fail "last line"
}

# The manager drops the connection while the application runs, ten times:
# each time a reconnect and a fresh start from "connected", and the client
# holds no more descriptors after the tenth than after the first.
case_reconnect() {
  local script k fds=()
  must sandbox_up
  script=$SB_DIR/steps
  msgs connected sys_mountimg sys_runing | paste -sd' ' | {
    read -r c m r
    printf 'expect connected\nsend %s\nexpect sys_mount\nsend %s\nexpect sys_run\nsend %s\nsleep 2.5\n' "$c" "$m" "$r"
    for k in 2 3 4 5 6 7 8 9 10; do printf 'accept\nexpect connected\nsend %s\nsleep 0.5\n' "$r"; done
    printf 'accept\nexpect connected\n'
  } >"$script"
  must sandbox_start_manager --script "$script" --timeout 100
  must sandbox_start_client
  for k in 1 2 3 4 5 6 7 8 9 10; do
    wait_m ' close$' 40 "$k"
    sleep 0.4
    fds+=("$(sandbox_client_fds)")
  done
  sandbox_wait_manager 20 || fail "manager status $?"
  must sandbox_in_order 'status =7 ' 'client socket close!' 'connect to 10.10.10.2:7901' 'status =0 ' 'tcp send: {"cmd":"connected"}'
  for k in 2 3 4 5 6 7 8 9 10 11; do
    [ "$(sandbox_received "$k" | head -1)" = '{"cmd":"connected"}' ] || fail "connection $k did not start with connected"
  done
  [ "${fds[9]}" -le "${fds[0]}" ] || fail "descriptors grew: ${fds[*]}"
  interrupt
}

# Manager absent, then present, then gone again, then back: refused
# connects never log "connect succeed.", and each new manager is reached.
case_manager_down_up() {
  must sandbox_up --no-sshd
  must sandbox_start_client
  wait_c 'robotManager connect failed' 20 2
  must sandbox_start_manager --run-time -1
  wait_m 'recv \{"cmd":"connected"\}' 20
  sandbox_stop_manager
  wait_c 'client socket close!' 10
  local failed=$(($(count_c 'robotManager connect failed') + 2))
  wait_c 'robotManager connect failed' 20 $failed
  must sandbox_start_manager --run-time -1
  wait_m 'recv \{"cmd":"connected"\}' 20 2
  [ "$(count_c 'connect error :Connection refused')" -ge 4 ] || fail "refusals not logged"
  [ "$(count_c 'connect succeed.')" -eq 2 ] && [ "$(count_c 'connected 10.10.10.2:7901')" -eq 2 ] ||
    fail "connect succeed. logged for a refused connect"
  interrupt
}

# usb0 unaddressed, or holding another address: the client's is re-applied.
case_address() {
  must sandbox_up --no-sshd
  if [ "$1" != none ]; then
    must sb_client ip addr add "$1/24" dev usb0
    must sb_client ip link set usb0 up
  fi
  must sandbox_start_manager --run-time -1
  must sandbox_start_client
  wait_m 'recv \{"cmd":"connected"\}' 20
  local first=('robotManager GetLocalIp failed')
  [ "$1" != none ] && first=("GetLocalIp ipaddr =$1 " "${first[@]}")
  must sandbox_in_order "${first[@]}" 'usb0 Networkinit...' 'GetLocalIp ipaddr =10.10.10.1 ' 'connected 10.10.10.2:7901'
  [ "$1" = none ] && [ "$(count_c 'GetLocalIp ipaddr =')" -ne "$(count_c 'GetLocalIp ipaddr =10.10.10.1 ')" ] &&
    fail "an address was logged for the unaddressed usb0"
  sb_client ip -4 -o addr show dev usb0 | grep -q ' 10\.10\.10\.1/' || fail "usb0 lacks 10.10.10.1"
  interrupt
}

# Carrier down and up while running: the plain link lines, the reset, and
# "connected" again on the same connection.
case_carrier() {
  up_to_running --no-sshd
  SB_LOG_FROM=$(sandbox_client_lines)
  must sandbox_carrier down
  sleep 0.5
  must sandbox_carrier up
  wait_m 'recv \{"cmd":"connected"\}' 20 2
  must sandbox_in_order "$SB_USB_INDEX: down usb0" "$SB_USB_INDEX: up usb0" 'usb0 Networkinit...' \
    'onNetlinkSock_cb... SYS_STATE_IDLE' 'status =0 ' 'tcp send: {"cmd":"connected"}'
  for l in down up; do sandbox_client_log | grep -qx "$SB_USB_INDEX: $l usb0" || fail "no plain '$l' line"; done
  received 1 connected sys_mount sys_mount_finish sys_run connected
  [ "$(accepts)" -eq 1 ] && [ "$(count_c 'client socket close!')" -eq 0 ] || fail "connection was not kept"
  interrupt
}

# An interface named usb01 coming up changes nothing.
case_usb01() {
  up_to_running --no-sshd
  local resets ticks
  resets=$(count_c 'SYS_STATE_IDLE')
  must sb_client ip link add usb01 type veth peer name usb01p
  must sb_client ip link set usb01p up
  must sb_client ip link set usb01 up
  wait_c '^[0-9]+: up usb01$' 10
  ticks=$(count_c 'status =7 ')
  wait_c 'status =7 ' 10 $((ticks + 2))
  [ "$(count_c 'SYS_STATE_IDLE')" -eq "$resets" ] || fail "usb01 reset the sequence"
  received 1 connected sys_mount sys_mount_finish sys_run
  interrupt
}

# A burst of link notifications (20 bridges) and a carrier down/up while
# the client is blocked in a slow copy: it still restarts afterwards. The
# manager leaves sys_run unanswered: an answer to a request sent before the
# restart would move the state on again.
case_link_burst() {
  must sandbox_up
  sandbox_add_file AI/models/large.bin 1024
  must sandbox_rate_limit 1mbit
  must sandbox_start_manager --reply sys_run= --timeout 100
  must sandbox_start_client
  wait_c 'status =4 '
  sleep 0.5
  SB_LOG_FROM=$(sandbox_client_lines)
  must sandbox_bridges 20
  must sandbox_carrier down
  sleep 0.3
  must sandbox_carrier up
  must sandbox_client_in_command
  wait_m 'recv \{"cmd":"connected"\}' 60 2
  [ "$(sandbox_received 1 | uniq | grep -v sys_run\" | paste -sd' ')" = "$(msgs connected sys_mount sys_mount_finish connected | paste -sd' ')" ] ||
    fail "manager got: $(sandbox_received 1)"
  must sandbox_in_order 'tcp send: {"cmd":"sys_mount_finish"}' ': down sbbr19' "$SB_USB_INDEX: up usb0" \
    'onNetlinkSock_cb... SYS_STATE_IDLE' 'status =0 '
  must sandbox_copies_match
  # The tick that blocked in the copy is followed by one late tick, not two.
  local runs
  runs=$(sed -nE 's/^[^ ]+ \+([0-9.]+) #1 recv \{"cmd":"sys_run"\}$/\1/p' "$SB_MANAGER_LOG" | head -2 | paste -sd' ')
  awk -v r="$runs" 'BEGIN { split(r, t, " "); exit !(t[2] == "" || t[2] - t[1] > 1) }' || fail "sys_run repeated at once: $runs"
  interrupt
}

# No secure-copy service on the manager: both failures are logged and the
# finish report still goes out; the deployment ends normally.
# With "other_key" the manager's sshd runs with another host key than the
# pinned one: both copies are refused and nothing arrives.
case_copy_fail() {
  must sandbox_up --no-sshd
  if [ "${1:-}" = other_key ]; then
    must ssh-keygen -q -t ed25519 -N '' -f "$SB_DIR/sshd/ssh_host_ed25519_key" <<<y >/dev/null
    must sb_start_sshd
  fi
  must sandbox_start_manager --run-time 1 --timeout 60
  must sandbox_start_client
  sandbox_wait_client 60 || fail "exit status $?"
  received 1 connected sys_mount sys_mount_finish sys_run sys_run_finish
  must sandbox_in_order 'ERR: copy failed with exit status 255: scp -r /robot/app  root@10.10.10.2:/userdata/' \
    'ERR: copy failed with exit status 255: scp -r /robot/AI root@10.10.10.2:/userdata/' \
    'tcp send: {"cmd":"sys_mount_finish"}'
  [ "${1:-}" != other_key ] || { [ "$(count_c 'Host key verification failed.')" -eq 2 ] && [ -z "$(ls "$SB_USERDATA")" ]; } ||
    fail "the changed host key was not refused"
}

# A listener on the manager's port 22 that accepts and never speaks: each
# copy gives up within the connect time-out, and the loop goes on (ticks,
# a carrier down/up restarting the sequence, SIGINT).
case_silent_ssh() {
  must sandbox_up --no-sshd
  SB_MANAGER_LOG=$SB_DIR/port22.log must sandbox_start_manager --port 22 --silent --timeout 100
  must sandbox_start_manager --run-time -1 --timeout 100
  must sandbox_start_client
  wait_c 'status =4 ' 30
  local t0=$SECONDS
  wait_c 'ERR: copy failed with exit status 255: scp -r /robot/AI ' 60
  echo "both copies failed after $((SECONDS - t0)) s"
  wait_m 'send \{"cmd":"sys_runing"\}' 20
  must sandbox_carrier down
  sleep 0.5
  must sandbox_carrier up
  wait_m 'recv \{"cmd":"connected"\}' 20 2
  received 1 connected sys_mount sys_mount_finish sys_run connected
  [ "$(grep -c ' accept ' "$SB_DIR/port22.log")" -eq 2 ] || fail "port 22 was not reached twice"
  interrupt
}

# The manager's sshd stops answering in the middle of a slow copy: that copy
# fails within the keep-alive window, the next one goes through and the
# sequence goes on.
case_copy_stall() {
  local i
  stopped=''
  must sandbox_up
  trap 'kill -CONT $stopped 2>/dev/null; sandbox_down' EXIT
  sandbox_add_file app/large.bin 2048
  must sandbox_rate_limit 1mbit
  must sandbox_start_manager --run-time -1 --timeout 140
  must sandbox_start_client
  for ((i = 0; i < 600; i++)); do [ -s "$SB_USERDATA/app/large.bin" ] && break || sleep 0.1; done
  # The sshd's session processes, not the listener (bwrap's child).
  # shellcheck disable=SC2046
  stopped=$(sb_descendants $(cat /proc/"$SB_SSHD_PID"/task/*/children))
  must kill -STOP $stopped
  local t0=$SECONDS
  wait_c 'ERR: copy failed with exit status [0-9]+: scp -r /robot/app ' 60
  echo "the stalled copy failed after $((SECONDS - t0)) s"
  kill -CONT $stopped
  wait_m 'send \{"cmd":"sys_runing"\}' 40
  received 1 connected sys_mount sys_mount_finish sys_run
  must sandbox_same_tree "$SB_ROBOT/AI" "$SB_USERDATA/AI"
  interrupt
}

# Pairing again (the sandbox paired once from the host-key file), now
# scanning the manager's sshd over usb0: root's key and the pin stay as they
# were, the fingerprint is shown, and the authorized_keys line is the same.
case_pair() {
  must sandbox_up
  local log=$SB_DIR/pair-again.log before
  before=$(cat "$SB_DIR/ssh/id_ed25519" "$SB_DIR/etc-ssh/robot-manager_known_hosts")
  must sb_client ip addr add 10.10.10.1/24 dev usb0
  must sb_client ip link set usb0 up
  sb_root_view
  sb_client bwrap "${SB_VIEW[@]}" --bind "$SB_DIR/ssh" /root/.ssh --bind "$SB_DIR/etc-ssh" /etc/ssh \
    -- sh "$SB_ROOT/packaging/robot-client-pair" </dev/null >"$log" 2>&1 || fail "pairing over usb0: $(cat "$log")"
  [ "$(cat "$SB_DIR/ssh/id_ed25519" "$SB_DIR/etc-ssh/robot-manager_known_hosts")" = "$before" ] || fail "key or pin changed"
  grep -qxF "$(cat "$SB_DIR/sshd/authorized_keys")" "$log" || fail "another authorized_keys line"
  grep -qF "$(ssh-keygen -lf "$SB_DIR/sshd/ssh_host_ed25519_key.pub" | cut -d' ' -f2)" "$log" || fail "no fingerprint shown"
}

# "sys_run_finish", then a carrier-up before the next tick: no exit, the
# client announces itself again instead.
case_run_finish_carrier() {
  must sandbox_up --no-sshd
  msgs connected sys_mountimg sys_runing sys_run_finish | paste -sd' ' | {
    read -r c m r f
    printf 'expect connected\nsend %s\nexpect sys_mount\nsend %s\nexpect sys_run\nsend %s\nsleep 0.2\nsend %s\n' "$c" "$m" "$r" "$f"
    printf 'sleep 0.3\nshell ip link set %s down && ip link set %s up\nexpect connected 10\n' "$SB_PEER" "$SB_PEER"
  } >"$SB_DIR/steps"
  must sandbox_start_manager --script "$SB_DIR/steps" --timeout 60
  must sandbox_start_client
  sandbox_wait_manager 60 || fail "manager status $?"
  kill -0 "$SB_CLIENT_PID" 2>/dev/null || fail "the client exited"
  must sandbox_in_order 'recv msg:{"cmd":"sys_run_finish"}' "$SB_USB_INDEX: up usb0" 'SYS_STATE_IDLE' 'status =0 ' \
    'tcp send: {"cmd":"connected"}'
  [ "$(count_c 'status =8 ')" -eq 0 ] || fail "a tick ran in RUN_FINISH"
  interrupt
}

case $case_name in
  address_none) case_address none ;;
  address_other) case_address 10.10.10.15 ;;
  host_key_changed) case_copy_fail other_key ;;
  *) "case_$case_name" ;;
esac
echo "PASS ($case_name)"
