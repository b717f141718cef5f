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
# the way. The summary line and the record (readable by all, kept across
# reboots too) tell the same, and the status told to the service manager
# went through each step.
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
  [ "$(stat -c %a "$(record)" "$SB_CLIENT_STATE/last-deployment")" = $'644\n644' ] || fail "record not 0644"
  must_record "state=finished copy_app=ok copy_ai=ok last_step=run_finished manager_hung_up=no client_version=$(
    sandbox_board $emulator "$client" --version | cut -d' ' -f2) boot_id=$(cat /proc/sys/kernel/random/boot_id) \
handshake_started_utc=20[-0-9]{8}T[:0-9]{8}Z ended_utc=20[-0-9]{8}T[:0-9]{8}Z" state copy_app copy_ai last_step \
    manager_hung_up client_version boot_id handshake_started_utc ended_utc
}

# A manager that answers every request 2.5 s late (the repeats too) and
# hangs up 0.1 s after its sys_run_finish. A late answer never takes the
# handshake back: one copy, one sys_mount_finish, the texts in order. The
# lost connection ends the deployment: the final report goes out on a
# connection of its own, nothing is announced again, status 0, and the
# summary and the record say that the manager hung up.
case_late_manager() {
  must sandbox_up
  must start --delay 2.5 --run-time 0.5 --close-after-finish 0.1 --timeout 100
  sandbox_wait_client 100 || fail "exit status $?"
  manager_wait 5 || fail "manager status $?"
  [ "$(manager_query --cmd sys_mount_finish --count)" -eq 1 ] || fail "sys_mount_finish more than once"
  must_receive -u 1 connected sys_mount sys_mount_finish sys_run
  must_receive 2 sys_run_finish
  must_see_client 'NOTICE: late answer sys_mountimg ignored in state [0-9]+$' 1
  [ "$(check_client_count "NOTICE: deployment ended: run finished after [0-9]+ s; copies ok; $no_restart; \
the manager hung up before the final report$")" -eq 1 ] || fail "no summary of a hang-up"
  must_record "state=finished last_step=run_finished manager_hung_up=yes" state last_step manager_hung_up
}

# In RUNNING (the manager answers sys_runing at once), news of usb0 whose
# carrier stays up (promiscuous mode, a new MTU) is printed and restarts
# nothing: the next tick is still RUNNING's. A carrier down and up does
# restart: a second announcement, counted in the record, which shows
# nothing of the round before (its step). All the while another interface
# (a Wi-Fi on the manager's network) has a more specific route to
# 10.10.10.2: the handshake goes over usb0 all the same.
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
  must_record "carrier_ups=1 copy_app=none copy_ai=none last_step=announced" carrier_ups copy_app copy_ai last_step
}
# The manager's sshd shows another host key than the pinned one: both
# copies are refused, nothing arrives, and the sequence goes on until the
# manager answers sys_run with sys_exit. The failed deployment fails the
# unit (status 4); the summary (a WARN) and the record tell it.
case_host_key_changed() {
  must sandbox_up --new-host-key
  must start --exit-on sys_run --timeout 60
  sandbox_wait_client 60
  local status=$?
  [ $status -eq 4 ] || fail "exit status $status"
  manager_wait 5 || fail "manager status $?"
  must_receive 1 connected sys_mount sys_mount_finish sys_run
  [ "$(check_client_count "${copy_failed}(app  |AI )root@10\.10\.10\.2:/userdata/$")" -eq 2 ] &&
    [ "$(check_client_count 'Host key verification failed')" -eq 2 ] || fail "the changed host key was not refused"
  [ "$(check_client_count "WARN: deployment ended: exit ordered by the manager after [0-9]+ s; copy of /robot/app \
failed \(exit status [0-9]+\), copy of /robot/AI failed \(exit status [0-9]+\); $no_restart$")" -eq 1 ] ||
    fail "no summary warning of both failed copies"
  must_record "state=exited copy_app=exit [0-9]+ copy_ai=exit [0-9]+ last_step=exit_ordered" state copy_app copy_ai \
    last_step
}

# A listener on the manager's port 22 that accepts and never speaks: each
# copy gives up within the connect time-out. SIGQUIT while the first copy
# waits (the quit key of a terminal) does not end the client; SIGINT while
# the second waits is held until it gives up, then stops the client before
# another tick acts: the manager saw sys_mount_finish last; status 0 after
# failed copies, which the record tells. A second client killed during its
# first copy leaves a record of its own from its start, nothing of the one
# before.
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
  must_record "state=stopped copy_app=exit [0-9]+ copy_ai=exit [0-9]+ last_step=copied" state copy_app copy_ai last_step
  must sandbox_start_client --bin "$client" --wrapper "$emulator"
  proc_until 30 manager_query --name port22 --event accept --at-least 3 || fail "no copy of the second client"
  # The client first: its copy's end would be written down.
  # shellcheck disable=SC2046 # a list of pids
  set -- "$SB_CLIENT_PID" $(proc_tree "$SB_CLIENT_PID")
  kill -KILL "$@"
  must_record "state=running pid=$SB_CLIENT_PID copy_app=none copy_ai=none last_step=mount_answered" state pid \
    copy_app copy_ai last_step
}

# The manager's sshd confines the board's key as the operator guide's
# recipe does (sftp only, chrooted, /userdata alone writable): the client's
# copies arrive whole; a command, and a write outside /userdata, with the
# same key are refused.
case_confined() {
  local out ssh
  must sandbox_up --confined
  must start --run-time 1 --timeout 60
  sandbox_wait_client 60 || fail "exit status $?"
  must check_copies_match
  sandbox_view --board
  ssh=(sandbox_board bwrap "${SB_VIEW[@]}" --)
  out=$("${ssh[@]}" ssh root@10.10.10.2 id 2>&1)
  [ $? -ne 0 ] && grep -q 'allows sftp connections only' <<<"$out" || fail "a command: $out"
  out=$(echo 'put /etc/hostname /outside' | "${ssh[@]}" sftp -b - root@10.10.10.2 2>&1) && fail "wrote outside /userdata: $out"
  [ "$(ls -A "$SB_DIR/chroot")" = userdata ] || fail "written outside /userdata: $(ls -A "$SB_DIR/chroot")"
}

# robot-client-pair. From a key file: a .pub line and the known_hosts lines
# whose host is 10.10.10.2 (one hashed) are pinned and counted; lines for
# other hosts (a pattern, a hashed one), a CA's and a comment are not.
# Over usb0 with --fingerprint: a fetched key of another fingerprint is
# refused and the pin kept; the manager's is pinned.
case_pair() {
  local k pin
  must sandbox_up && k=$SB_DIR/sshd/keys pin=$SB_DIR/etc-ssh/robot-manager_known_hosts
  mkdir "$k" && for n in a b c d; do ssh-keygen -q -t ed25519 -N '' -C "$n" -f "$k/$n"; done
  key() { cut -d' ' -f1,2 "$k/$1.pub"; }
  fp() { ssh-keygen -lf "$1" | cut -d' ' -f2; }
  printf '10.10.10.2 %s\n10.10.10.9 %s\n' "$(key c)" "$(key d)" >"$k/hashed" && ssh-keygen -Hf "$k/hashed" >/dev/null 2>&1
  { echo '# the manager' && cat "$k/a.pub" "$k/hashed" && echo "manager,10.10.10.2 $(key b)" &&
    printf '%s %s\n' 10.10.10.22 "$(key d)" '10.10.10.*' "$(key d)" '@cert-authority 10.10.10.2' "$(key d)"; } >"$k/file"
  must sshd_pair "$SB_DIR/pair1.log" "$k/file"
  grep -qx "Pinned 3 host keys of the manager in /etc/ssh/robot-manager_known_hosts." "$SB_DIR/pair1.log" &&
    [ "$(sort "$pin")" = "$(for n in a b c; do echo "10.10.10.2 $(key "$n")"; done | sort)" ] ||
    fail "pinned from the file: $(cat "$SB_DIR/pair1.log" "$pin")"

  cp "$pin" "$pin.before" && must sandbox_board ip addr add 10.10.10.1/24 dev usb0 && must sandbox_board ip link set usb0 up
  sshd_pair "$SB_DIR/pair2.log" --fingerprint "$(fp "$k/a.pub")" && fail "pinned a key of another fingerprint"
  grep -q 'no key with the fingerprint' "$SB_DIR/pair2.log" && cmp -s "$pin" "$pin.before" || fail "$(cat "$SB_DIR/pair2.log")"
  must sshd_pair "$SB_DIR/pair3.log" --fingerprint "$(fp "$SB_DIR/sshd/ssh_host_ed25519_key.pub")"
  [ "$(cat "$pin")" = "10.10.10.2 $(cut -d' ' -f1,2 "$SB_DIR/sshd/ssh_host_ed25519_key.pub")" ] || fail "$(cat "$pin")"
}

# robot-client-check on a board before its first plug-in (cable in, usb0
# down and unaddressed; systemctl a stub that logs its questions and calls
# the cable watch active while $bin/active exists). --no-configure only
# says how to give usb0 its address. While the watch runs a down usb0 stays
# down (with the cable in, setting it up would be a plug-in); without the
# watch it is set up. An up usb0 is given its address with no carrier-up,
# and then every check passes (--json: one object a line, ids in order).
# The key refused and /robot/AI writable by others fail those two checks; a
# manager that refuses rmdir leaves the check's directory, which it names.
# Nothing else is left in /userdata, systemd is only asked, port 7901 is
# never reached; a run without root exits 2.
case_check() {
  local bin out run ups keys
  must sandbox_up && keys=$SB_DIR/sshd/authorized_keys
  must manager_start --timeout 100
  bin=$SB_DIR/bin && mkdir "$bin" && : >"$bin/active"
  printf '#!/bin/sh\necho "$*" >>%s/asked\n[ "$1" = is-enabled ] && echo enabled\n[ "$1" != is-active ] || [ -e %s/active ]\n' \
    "$bin" "$bin" >"$bin/systemctl"
  chmod +x "$bin/systemctl"
  sandbox_view --board
  run=(sandbox_board bwrap "${SB_VIEW[@]}" --ro-bind "$SB_ROBOT" /robot --bind "$bin" "$bin" --setenv PATH "$bin:$PATH"
    -- sh "$root/packaging/robot-client-check")
  ids() { python3 -c 'import json, sys; print(*(("" if o["ok"] else "!") + o["id"] for o in map(json.loads, sys.stdin)))'; }
  ups() { sandbox_board cat /sys/class/net/usb0/carrier_up_count; }
  all='usb0-address usb0-carrier client-enabled cable-enabled cable-active paired ssh robot-app robot-ai robot-owner'

  out=$("${run[@]}" --no-configure) && fail "passed on an unaddressed usb0: $out"
  grep -q '^FAIL: usb0 is not up at 10.10.10.1 — sudo ifconfig usb0 10.10.10.1 up' <<<"$out" || fail "no usb0 hint: $out"
  ups=$(ups) && out=$("${run[@]}")
  [ $? -eq 1 ] && grep -q '^FAIL: usb0 is down, and the cable watch runs' <<<"$out" || fail "usb0 down, watch running: $out"
  [ "$(ups)" = "$ups" ] || fail "usb0 set up while the watch ran"
  rm "$bin/active" && out=$("${run[@]}")
  [ $? -eq 1 ] && grep -q '^OK: usb0 is up at 10.10.10.1: set up now' <<<"$out" || fail "usb0 down, no watch: $out"

  : >"$bin/active" && sandbox_board ip addr flush dev usb0 && ups=$(ups)
  out=$("${run[@]}" --json) || fail "exit status $?: $out"
  [ "$(ids <<<"$out")" = "$all" ] && grep -q '"text":"usb0 is up at 10.10.10.1: given now' <<<"$out" ||
    fail "not every check passed: $out"
  [ "$(ups)" = "$ups" ] || fail "giving usb0 its address was a carrier-up"

  cp "$keys" "$keys.orig" && : >"$keys" && chmod o+w "$SB_ROBOT/AI" && all=${all/ssh/!ssh}
  out=$("${run[@]}" --json)
  [ $? -eq 1 ] && [ "$(ids <<<"$out")" = "${all/robot-owner/!robot-owner}" ] &&
    grep -qF "key refused\",\"do\":\"add the line robot-client-pair printed" <<<"$out" || fail "key refused, AI writable: $out"
  sed 's/^/command="internal-sftp -P rmdir",/' "$keys.orig" >"$keys" && chmod o-w "$SB_ROBOT/AI"
  out=$("${run[@]}") || fail "exit status $? with rmdir refused: $out"
  [ "$(sed -n 's|^OK: ssh .*, but /userdata/\(.*\) could not be removed there .* — on the manager: rmdir /userdata/\1$|\1|p' \
    <<<"$out")" = "$(ls -A "$SB_USERDATA")" ] || fail "the directory left is not named: $out"

  [ "$(grep -cv '^is-' "$bin/asked")" -eq 0 ] || fail "systemctl: $(cat "$bin/asked")"
  [ "$(manager_query --event accept --count)" -eq 0 ] || fail "port 7901 was reached"
  sandbox_board setpriv --reuid=65534 --regid=65534 --clear-groups sh -s <"$root/packaging/robot-client-check" 2>/dev/null
  [ $? -eq 2 ] || fail "not root is not status 2"
}

"case_$case_name"
echo "PASS ($case_name)"
