# shellcheck shell=bash
# What the board tests share: counting checks, timing the scenarios, and
# questions about the guest and the manager. Sourced after cd to the
# checkout; sources the board library. BOARD_TEST_NAME names the test in
# its lines.
source scripts/lib/board.sh

BOARD_TEST_NAME=${BOARD_TEST_NAME:-board test}
passed=0 failed=0 times=() t0=$SECONDS
die() { echo "$BOARD_TEST_NAME: FAIL: $*" >&2 && exit 1; }
# check WHAT COMMAND...: counts COMMAND's success, or says WHAT failed.
check() { if "${@:2}"; then passed=$((passed + 1)); else echo "$BOARD_TEST_NAME: FAIL: $1" >&2 && failed=$((failed + 1)); fi; }
timed() { times+=("$1 $((SECONDS - t0)) s") && echo "$BOARD_TEST_NAME: $1 done ($((SECONDS - t0)) s)" && t0=$SECONDS; }
# board_summary: the times and counts; fails when a check did.
board_summary() {
  printf '%s: %s\n' "$BOARD_TEST_NAME" "${times[@]}"
  echo "$BOARD_TEST_NAME: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
# until_guest CONDITION SECS: waits in the guest for a shell condition.
until_guest() { board_sh "timeout $2 sh -c $(printf %q "until $1; do sleep 0.2; done")" $(($2 + 10)) >/dev/null; }
unit() { board_sh "systemctl show -p $1 --value robot-client"; }
# shellcheck disable=SC2016 # expanded in the guest
stopped='[ "$(systemctl show -p ActiveState --value robot-client)" = inactive ]'
journal() { board_sh "journalctl -u robot-client -o cat --no-pager $*"; }
# How many clients this boot started.
starts() { journal -b | grep -c 'NOTICE: ev_run\.\.\.'; }
received() { manager_query --cmd "$1" --count; }
# sent CMD SECS: waits until the manager has sent CMD.
sent() { proc_until "$2" manager_query --event send --text "{\"cmd\":\"$1\"}" --at-least 1; }
# manager OPTION...: a fresh simulated manager and an empty /userdata.
manager() { manager_stop && : >"$SB_DIR/manager.jsonl" && rm -rf "${SB_USERDATA:?}"/* && manager_start "$@"; }
deployed() { manager_wait "$1" && [ "$(received sys_run_finish)" -ge 1 ]; }
copies_whole() { diff -r "$SB_ROBOT" "$SB_USERDATA"; }
# stops_clean [SECS]: the unit stops within SECS (30) and ended with status 0.
stops_clean() {
  until_guest "$stopped" "${1:-30}" && [ "$(board_sh 'systemctl show -p ActiveState -p Result -p ExecMainStatus robot-client' |
    sort)" = $'ActiveState=inactive\nExecMainStatus=0\nResult=success' ]
}
# whole WHAT: a whole deployment: the manager saw it to its end, the copies
# are whole, the unit ended with status 0.
whole() {
  check "$1: a whole deployment" deployed 180
  check "$1: copies whole" copies_whole
  check "$1: the unit stops with status 0" stops_clean
}
# The gadget's cable, as the host side sees it: its USB device authorized.
cable() { board_sh "echo $([ "$1" = in ] && echo 1 || echo 0) >\$(grep -l 0104 /sys/bus/usb/devices/*/idProduct | xargs dirname)/authorized"; }
replug() { cable out && sleep 0.5 && cable in; }
