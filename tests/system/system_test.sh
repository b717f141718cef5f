#!/usr/bin/env bash
# System tests: the built client, in a fresh sandbox of its own (board and
# manager namespaces joined by usb0, sshd, simulated manager), driven
# through one situation each.   system_test.sh CASE CLIENT-BINARY
set -uo pipefail
[ "$(id -u)" -eq 0 ] || { echo "system tests need root"; exit 77; }
case_name=$1 SB_NAME="system.$1"
SB_CLIENT_BIN=$(realpath "$2")
# shellcheck source=scripts/lib/sandbox.sh
. "$(dirname "$0")/../../scripts/lib/sandbox.sh"

# Refused: status 255, or 1 when ssh ends before scp's first write.
copy_failed='ERR: copy failed with exit status [0-9]+: scp -r /robot/'

# The whole deployment from an unaddressed usb0 (brought up first): the
# manager's side sees each text once, in order, on one connection; the copies
# match their sources; the page cache is dropped on sys_run_finish; status 0.
case_deploy() {
  must sandbox_up
  must sandbox_start --run-time 1 --timeout 60
  sandbox_wait_client 60 || fail "exit status $?"
  sandbox_wait_manager 5 || fail "manager status $?"
  must_receive 1 connected sys_mount sys_mount_finish sys_run sys_run_finish
  [ "$(grep -c ' accept ' "$SB_MANAGER_LOG")" -eq 1 ] || fail "more than one connection"
  must sandbox_copies_match
  [ "$(cat "$SB_DROP_CACHES")" = 1 ] || fail "page-cache file holds '$(cat "$SB_DROP_CACHES")'"
  must sandbox_in_order 'ERR: robotManager GetLocalIp failed' 'GetLocalIp ipaddr =10.10.10.1 ' 'connected 10.10.10.2:7901' \
    'recv msg:{"cmd":"sys_run_finish"}' 'NOTICE: echo 1 > /proc/sys/vm/drop_caches' 'status =8 '
}

# SIGINT while a tick is blocked in a slow copy: the copy finishes, the
# finish report goes out, then the client ends in order, before any tick.
case_sigint_copy() {
  must sandbox_up
  sandbox_add_file AI/models/large.bin 768
  must sandbox_rate_limit 1mbit
  must sandbox_start --run-time -1 --timeout 100
  must_see_client 'status =4 '
  sb_wait_until 10 sandbox_client_in_command || fail "no copy running"
  must_stop_on_sigint
  # No sys_run: no tick ran between the copy and the exit.
  must_receive 1 connected sys_mount sys_mount_finish
  must sandbox_copies_match
}

case_sys_exit() {
  must sandbox_up --no-sshd
  must sandbox_start --exit-on connected --timeout 30
  sandbox_wait_client 30 || fail "exit status $?"
  must_receive 1 connected
  [ "$(sb_client_tail 1)" = "WARN: client socket close!" ] || fail "last line: $(sb_client_tail 1)"
}

# The manager drops the connection while the application runs, ten times:
# each time a reconnect and a fresh start from "connected". The client never
# holds two manager sockets, and no more other descriptors at the end.
case_reconnect() {
  local k fds tcp other=()
  must sandbox_up
  { sb_steps_handshake && echo 'sleep 2.5' && printf 'accept\nexpect connected\nsend {"cmd":"sys_runing"}\nsleep 0.5\n%.0s' {2..10}
    printf 'accept\nexpect connected\n'; } >"$SB_DIR/steps"
  must sandbox_start --script "$SB_DIR/steps" --timeout 100
  for k in {1..10}; do
    must_see_manager ' close$' 40 "$k" && sleep 0.4 && read -r fds tcp _ <<<"$(sandbox_client_sample)"
    [ "$tcp" -le 1 ] || fail "$tcp manager sockets after close $k"
    other+=($((fds - tcp)))
  done
  sandbox_wait_manager 20 || fail "manager status $?"
  for k in {2..11}; do [ "$(sandbox_received "$k" | head -1)" = '{"cmd":"connected"}' ] || fail "connection $k"; done
  [ "${other[9]}" -le "${other[0]}" ] || fail "descriptors grew: ${other[*]}"
  must_stop_on_sigint
}

# Manager absent, then present, then gone again, then back: refused
# connects never log "connect succeed.", and each new manager is reached.
case_manager_down_up() {
  must sandbox_up --no-sshd
  must sandbox_start_client
  must_see_client 'robotManager connect failed' 20 2
  must sandbox_start_manager --run-time -1
  must_see_manager 'recv \{"cmd":"connected"\}' 20
  sandbox_stop_manager
  must_see_client 'client socket close!' 10
  must_see_client 'robotManager connect failed' 20 $(($(sb_count_client 'robotManager connect failed') + 2))
  must sandbox_start_manager --run-time -1
  must_see_manager 'recv \{"cmd":"connected"\}' 20 2
  [ "$(sb_count_client 'ERR: connect error :Connection refused')" -ge 4 ] || fail "refusals not logged"
  # Each of the two connects logs both lines; a refused one neither.
  [ "$(sb_count_client 'connect succeed\.|connected 10\.10\.10\.2:7901')" -eq 4 ] || fail "a refused connect logged as made"
  must_stop_on_sigint
}

# usb0 holding another address that starts with the client's: the client's
# is applied before it connects. (An unaddressed usb0: case_deploy.)
case_address() {
  must sandbox_up --no-sshd
  must sandbox_usb0_address 10.10.10.15
  must sandbox_start --run-time -1
  must_see_manager 'recv \{"cmd":"connected"\}' 20
  must sandbox_in_order 'GetLocalIp ipaddr =10.10.10.15 ' 'ERR: robotManager GetLocalIp failed' \
    'GetLocalIp ipaddr =10.10.10.1 ' 'connected 10.10.10.2:7901'
  must_stop_on_sigint
}

# While running: an interface named usb01 coming up changes nothing; a
# carrier down and up of usb0 restarts the sequence with "connected" on the
# same connection.
case_carrier() {
  must sandbox_up --no-sshd
  must sandbox_start --run-time -1 --timeout 100
  must_see_manager 'send \{"cmd":"sys_runing"\}' 40
  SB_LOG_FROM=$(sandbox_client_lines)
  must sb_client sh -c 'ip link add usb01 type veth peer name usb01p && ip link set usb01p up && ip link set usb01 up'
  must_see_client '^[0-9]+: up usb01$' 10
  must_see_client 'status =' 10 $(($(SB_LOG_FROM=0 sb_count_client 'status =') + 1))
  [ "$(sb_count_client 'status =0 ')" -eq 0 ] || fail "usb01 restarted the sequence"
  SB_LOG_FROM=$(sandbox_client_lines)
  must sandbox_flap
  must_see_manager 'recv \{"cmd":"connected"\}' 20 2
  must sandbox_in_order "$SB_USB_INDEX: down usb0" "$SB_USB_INDEX: up usb0" 'status =0 '
  # The second "connected" on the first connection: it was kept.
  must_receive 1 connected sys_mount sys_mount_finish sys_run connected
  must_stop_on_sigint
}

# A burst of link notifications (20 bridges) and a carrier down/up while
# the client is blocked in a slow copy: it still restarts afterwards. The
# manager leaves sys_run unanswered: an answer to a request sent before the
# restart would move the state on again.
case_link_burst() {
  must sandbox_up
  sandbox_add_file AI/models/large.bin 1024
  must sandbox_rate_limit 1mbit
  must sandbox_start --reply sys_run= --timeout 100
  must_see_client 'status =4 '
  sleep 0.5
  SB_LOG_FROM=$(sandbox_client_lines)
  must sandbox_bridges 20
  must sandbox_flap 0.3
  must sandbox_client_in_command
  must_see_manager 'recv \{"cmd":"connected"\}' 60 2
  [ "$(sandbox_received 1 | grep -v '"sys_run"' | uniq | paste -sd' ')" = "$(sb_msgs connected sys_mount sys_mount_finish connected | paste -sd' ')" ] ||
    fail "manager got: $(sandbox_received 1 | paste -sd' ')"
  must sandbox_in_order ': down sbbr19' "$SB_USB_INDEX: up usb0" 'status =0 '
  must sandbox_copies_match
  # The tick that blocked in the copy is followed by one late tick, not two.
  read -r t1 t2 _ <<<"$(sandbox_recv_times 1 '{"cmd":"sys_run"}' | paste -sd' ')"
  [ -z "$t2" ] || awk "BEGIN { exit !($t2 - $t1 > 1) }" || fail "sys_run repeated at once: $t1 $t2"
  must_stop_on_sigint
}

# "sys_run_finish", then a carrier-up before any tick acts on it: no exit;
# the client announces itself again. While usb0 is renamed away, every tick
# stops at the address check, so no tick can act between the two whatever
# their timing. Without sshd both copies fail (case_host_key_changed pins
# what a failed copy logs) and the sequence goes on.
case_run_finish_carrier() {
  must sandbox_up --no-sshd
  local ip="ip -n $SB_CLIENT_NS link set"
  { sb_steps_handshake && echo "shell $ip usb0 down && $ip usb0 name usbx && $ip usbx up"
    printf 'send {"cmd":"sys_run_finish"}\nexpect connected 60\n'; } >"$SB_DIR/steps"
  must sandbox_start --script "$SB_DIR/steps" --timeout 90
  must_see_client 'recv msg:\{"cmd":"sys_run_finish"\}' 60
  # usb0 comes back without an address: a tick before the link callback
  # only brings it up.
  must sb_client sh -c 'ip link set usbx down && ip addr flush dev usbx && ip link set usbx name usb0 && ip link set usb0 up'
  sandbox_wait_manager 60 || fail "manager status $?"
  must sandbox_in_order 'recv msg:{"cmd":"sys_run_finish"}' "$SB_USB_INDEX: up usb0" 'status =0 '
  sandbox_client_log | tac | sed "/^$SB_USB_INDEX: up usb0\$/q" | grep -q 'GetLocalIp failed' && fail "no bring-up on the carrier-up"
  must_receive 1 connected sys_mount sys_mount_finish sys_run connected
  must_stop_on_sigint
}

# The manager's sshd shows another host key than the pinned one: both
# copies are refused, nothing arrives, and the sequence goes on to its end.
case_host_key_changed() {
  must sandbox_up --new-host-key
  must sandbox_start --run-time 1 --timeout 60
  sandbox_wait_client 60 || fail "exit status $?"
  sandbox_wait_manager 5 || fail "manager status $?"
  must_receive 1 connected sys_mount sys_mount_finish sys_run sys_run_finish
  [ "$(sb_count_client "${copy_failed}(app  |AI )root@10\.10\.10\.2:/userdata/$")" -eq 2 ] &&
    [ "$(sb_count_client 'Host key verification failed')" -eq 2 ] || fail "the changed host key was not refused"
}

# A listener on the manager's port 22 that accepts and never speaks: each
# copy gives up within the connect time-out, and the loop goes on (ticks,
# a carrier down/up restarting the sequence, SIGINT).
case_silent_ssh() {
  must sandbox_up --no-sshd
  SB_MANAGER_LOG=$SB_DIR/port22.log must sandbox_start_manager --port 22 --silent --timeout 100
  must sandbox_start --run-time -1 --timeout 100
  must_see_client "${copy_failed}AI " 80
  must_see_manager 'send \{"cmd":"sys_runing"\}' 20
  must sandbox_flap
  must_see_manager 'recv \{"cmd":"connected"\}' 20 2
  must_receive 1 connected sys_mount sys_mount_finish sys_run connected
  [ "$(grep -c ' accept ' "$SB_DIR/port22.log")" -eq 2 ] || fail "port 22 was not reached twice"
  must_stop_on_sigint
}

# The manager's sshd stops answering in the middle of a slow copy: that copy
# fails within the keep-alive window, the next one goes through and the
# sequence goes on.
case_copy_stall() {
  must sandbox_up
  sandbox_add_file app/large.bin 2048
  must sandbox_rate_limit 1mbit
  must sandbox_start --run-time -1 --timeout 140
  sb_wait_until 60 test -s "$SB_USERDATA/app/large.bin" || fail "the copy did not start"
  must sandbox_stall_sshd
  must_see_client "${copy_failed}app " 60
  sandbox_resume_sshd
  must_see_manager 'send \{"cmd":"sys_runing"\}' 40
  must_receive 1 connected sys_mount sys_mount_finish sys_run
  must sandbox_same_tree "$SB_ROBOT/AI" "$SB_USERDATA/AI"
  must_stop_on_sigint
}

# Pairing again (the sandbox paired once from the host-key file), now
# scanning the manager's sshd over usb0: root's key and the pin stay as they
# were, the fingerprint is shown, and the authorized_keys line is the same.
case_pair() {
  must sandbox_up
  local log=$SB_DIR/pair-again.log before
  before=$(cat "$SB_DIR/ssh/id_ed25519" "$SB_DIR/etc-ssh/robot-manager_known_hosts")
  must sandbox_usb0_address 10.10.10.1
  sb_pair "$log" || fail "pairing over usb0: $(cat "$log")"
  [ "$(cat "$SB_DIR/ssh/id_ed25519" "$SB_DIR/etc-ssh/robot-manager_known_hosts")" = "$before" ] || fail "key or pin changed"
  grep -qxF "$(cat "$SB_DIR/sshd/authorized_keys")" "$log" || fail "another authorized_keys line"
  grep -qF "$(ssh-keygen -lf "$SB_DIR/sshd/ssh_host_ed25519_key.pub" | cut -d' ' -f2)" "$log" || fail "no fingerprint shown"
}

"case_$case_name"
echo "PASS ($case_name)"
