# shellcheck shell=bash
# What the board tests share (usb_nic_test.sh on amd64, gadget_test.sh on
# arm64): the set-up of a run, the checks and their count, and the helpers
# that read the guest and the manager's record. Sourced from the
# repository's root by a test that has set BOARD_ARCH and BOARD_TEST (its
# name in what it prints). Skips the test (exit 0) without root or
# /dev/net/tun: it runs a virtual machine on a tap.
if [ "$(id -u)" -ne 0 ] || [ ! -c /dev/net/tun ]; then
  echo "$BOARD_TEST: SKIPPED: needs root and /dev/net/tun (it runs a virtual machine on a tap)"
  exit 0
fi
scripts/setup.sh || exit 1
if [ "$BOARD_ARCH" = arm64 ]; then scripts/setup-arm64.sh || exit 1; fi
source scripts/lib/board.sh

passed=0 failed=0 times=() t0=$SECONDS
say() { echo "$BOARD_TEST: $*"; }
die() { say "FAIL: $*" >&2 && exit 1; }
# check WHAT COMMAND...: counts COMMAND's success, or says WHAT failed.
check() { if "${@:2}"; then passed=$((passed + 1)); else say "FAIL: $1" >&2 && failed=$((failed + 1)); fi; }
timed() { times+=("$1 $((SECONDS - t0)) s") && say "$1 done ($((SECONDS - t0)) s)" && t0=$SECONDS; }
# finish: the time of each step, the count, and the exit status.
finish() {
  local t
  for t in "${times[@]}"; do say "$t"; done
  say "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
# prepare [FUNCTION]: the cached guest image and this checkout's package for
# the board's architecture (the test command's deb and arm64 stages check the
# packages themselves). The package, and FUNCTION if given, are built while
# the image is.
prepare() {
  local out pkg more=
  out=$(mktemp) || die "mktemp"
  scripts/build-deb.sh "$BOARD_ARCH" >"$out" &
  pkg=$!
  if [ $# -gt 0 ]; then "$1" & more=$!; fi
  board_image || die "guest image"
  timed "image (cached after the first run)"
  wait "$pkg" && BOARD_DEB=$(tail -n 1 "$out") && [ -f "$BOARD_DEB" ] || die "package build"
  rm -f "$out"
  [ -z "$more" ] || wait "$more" || die "$1"
  timed "package build${1:+ and $1}, beyond the image's time"
}
# until_guest CONDITION SECS: waits in the guest for a shell condition.
until_guest() { board_sh "timeout $2 sh -c $(printf %q "until $1; do sleep 0.2; done")" $(($2 + 10)) >/dev/null; }
unit() { board_sh "systemctl show -p $1 --value robot-client"; }
# statuses_are TEXT: the client's status text, then the cable watch's, are
# TEXT, with each clock time written T, and N for the client's count of
# seconds and of handshake restarts.
statuses_are() {
  [ "$(board_sh 'for u in robot-client robot-client-cable; do systemctl show -p StatusText --value $u; done' |
    sed -E 's/[0-9]{2}:[0-9]{2}:[0-9]{2}/T/g; s/after [0-9]+ s/after N s/; s/[0-9]+ by /N by /g')" = "$1" ]
}
# shellcheck disable=SC2016 # expanded in the guest
stopped='systemctl show -p ActiveState --value robot-client | grep -qxE "inactive|failed"'
journal() { board_sh "journalctl -u robot-client -o cat --no-pager $*"; }
only_err_lines() { [ "$(journal -b -p err)" = "$(journal -b | grep 'ERR:')" ] && journal -b -p err | grep -q .; }
# How many clients this boot started.
starts() { journal -b | grep -c 'NOTICE: ev_run\.\.\.'; }
received() { manager_query --cmd "$1" --count; }
# nothing_started N [A]: after a few of the client's ticks, still N clients
# started this boot (and A connections to the manager).
nothing_started() { sleep 5 && [ "$(starts)" = "$1" ] && [ "${2:-$(manager_query --event accept --count)}" = "$(manager_query --event accept --count)" ]; }
# sent CMD SECS: waits until the manager has sent CMD.
sent() { proc_until "$2" manager_query --event send --text "{\"cmd\":\"$1\"}" --at-least 1; }
# manager OPTION...: a fresh simulated manager and an empty /userdata.
manager() { manager_stop && : >"$SB_DIR/manager.jsonl" && rm -rf "${SB_USERDATA:?}"/* && manager_start "$@"; }
deployed() { manager_wait "$1" && [ "$(received sys_run_finish)" -ge 1 ]; }
copies_whole() { diff -r "$SB_ROBOT" "$SB_USERDATA"; }
# whole WHAT [STATUS]: a whole deployment: the manager saw it to its end, the
# copies are whole, the unit ended with STATUS (default 0).
whole() {
  check "$1: a whole deployment" deployed 180
  check "$1: copies whole" copies_whole
  check "$1: the unit stops with status ${2:-0}" stops_clean 30 "${2:-0}"
}
# stops_clean [SECS] [STATUS]: the unit stops within SECS (30) and ended with
# STATUS: 0 (the default) inactive, any other (4: a copy failed) failed.
stops_clean() {
  local want=$'ActiveState=inactive\nExecMainStatus=0\nResult=success'
  [ "${2:-0}" -eq 0 ] || want=$'ActiveState=failed\nExecMainStatus='"$2"$'\nResult=exit-code'
  until_guest "$stopped" "${1:-30}" && [ "$(board_sh 'systemctl show -p ActiveState -p Result -p ExecMainStatus robot-client' |
    sort)" = "$want" ]
}
# The gadget's cable, as the host side sees it: its USB device authorized.
cable() { board_sh "echo $([ "$1" = in ] && echo 1 || echo 0) >\$(grep -l 0104 /sys/bus/usb/devices/*/idProduct | xargs dirname)/authorized"; }
replug() { cable out && sleep 0.5 && cable in; }
# slow on|off: the copies over usb0 slowed by a qdisc, or not.
slow() { board_sh "tc qdisc $([ "$1" = on ] && echo add || echo del) dev usb0 root tbf rate 512kbit burst 16kb latency 30s" >/dev/null; }

# installed_checks: after board_install, what dpkg and pairing left: the
# units enabled as shipped and nothing running yet, the ssh policy in force
# for the manager, and the units' exposure as systemd-analyze rates it (the
# same bounds on each architecture: the sandbox is the same units'; the
# client's unit rates 1.7 as shipped).
installed_checks() {
  local s
  check "installed: the client and its cable watch enabled, the gadget set-up not, nothing running" \
    [ "$(board_sh 'systemctl is-enabled robot-client robot-client-cable robot-client-gadget
      systemctl is-active robot-client robot-client-cable')" = $'enabled\nenabled\ndisabled\ninactive\ninactive' ]
  check "the shipped ssh policy is the package's, and in force for the manager" board_sh "dpkg -S /etc/ssh/ssh_config.d/robot-client.conf >/dev/null &&
    ssh -G 10.10.10.2 | grep -xc -e 'batchmode yes' -e 'connecttimeout 10' -e 'stricthostkeychecking true' \
    -e 'userknownhostsfile /etc/ssh/robot-manager_known_hosts' | grep -qx 4"
  read -ra s <<<"$(board_sh 'for u in robot-client robot-client-cable; do systemd-analyze security $u; done' |
    sed -n 's/.*exposure level for .*: \([0-9.]*\).*/\1/p' | paste -sd' ')"
  say "systemd-analyze security on the $BOARD_ARCH board: client ${s[0]:-?}, cable watch ${s[1]:-?}"
  check "the installed units' exposure: the client 1.8 or less, the cable watch 1.4 or less" \
    awk -v c="${s[0]:-9}" -v w="${s[1]:-9}" 'BEGIN { exit !(c <= 1.8 && w <= 1.4) }'
}

# loud_filter on|off: the client and the cable watch killed by a filtered
# system call, as the gadget set-up is, instead of getting EPERM as shipped:
# a drop-in of the test's own in /etc (it stays across boots). The filter is
# the same; a filtered call then leaves an audit record and a unit ended by
# SIGSYS, which no_denials finds, where EPERM would pass unseen.
loud_filter() {
  local u cmd=''
  for u in robot-client robot-client-cable; do
    if [ "$1" = on ]; then
      cmd+="mkdir -p /etc/systemd/system/$u.service.d && printf '[Service]\nSystemCallErrorNumber=kill\n' >/etc/systemd/system/$u.service.d/board-test.conf && "
    else
      cmd+="rm /etc/systemd/system/$u.service.d/board-test.conf && rmdir /etc/systemd/system/$u.service.d && "
    fi
  done
  board_sh "${cmd}systemctl daemon-reload" >/dev/null &&
    [ "$(board_sh 'systemctl cat robot-client robot-client-cable | grep -c "^SystemCallErrorNumber=kill"')" = "$([ "$1" = on ] && echo 2 || echo 0)" ]
}

# no_denials WHAT: nothing in this boot's journal says that a seccomp filter
# or another part of a sandbox stopped a program: no kernel audit record of
# a seccomp action (type=1326; journald names it SECCOMP, and systemd's own
# "+SECCOMP" feature line is not one), no process killed by SIGSYS ("Bad
# system call", status 31/SYS, or 159 from a shell), and none of the
# package's units ended by one. Called before each power-off, so that every
# boot is read. As shipped, the client and the cable watch get EPERM for a
# filtered call, which leaves no trace: loud_filter makes them killed.
no_denials() {
  local found
  found=$(board_sh "{ journalctl -b -k -o cat; journalctl -b -o cat; } |
    grep -E 'type=1326|(^|[^+])SECCOMP|Bad system call|SIGSYS|status=31/SYS|status=159'
    for u in robot-client robot-client-cable robot-client-gadget; do
      echo \"\$u ExecMainStatus=\$(systemctl show -p ExecMainStatus --value \$u)\"
    done | grep -E '=(31|159)\$'")
  [ -z "$found" ] || say "$1: denials in the journal:"$'\n'"$found" >&2
  check "$1: no seccomp or sandbox denial in the journal" [ -z "$found" ]
}
