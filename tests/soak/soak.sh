#!/usr/bin/env bash
# Fault soak of the client in the whole-system sandbox, bounded to under 5
# minutes. The client deploys once, meets the manager going down and coming
# back, then a scripted manager drops the connection 80 times, sending 10
# malformed or oversized texts on each connection (800 in all) and flapping
# usb0's carrier twice (160 flaps); finally a fresh manager takes the client
# to running again and SIGINT ends it. The client must stay up throughout,
# print every link notification, and hold the same number of descriptors and
# the same resident memory at the end as after the first minute.
#
#   sudo tests/soak/soak.sh     (BUILD_DIR=... picks the build directory)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
# Each connection takes a tick (2 s) and a little: 80 leave a minute's
# margin for a machine busy with the virtual machines beside.
disconnects=80 limit=290
source scripts/lib/sandbox.sh
source tests/lib/check.sh
sandbox_build_client "${BUILD_DIR:-build}" || exit 1
elapsed() { echo $(($(date +%s) - started)); }
alive() { kill -0 "$SB_CLIENT_PID" 2>/dev/null || fail "the client is gone after $(elapsed) s"; }

# sample: "FDS TCP RSS": the client's open descriptors, how many of them
# are TCP sockets, and its VmRSS in KiB.
sample() {
  local pid=$SB_CLIENT_PID
  echo "$(find "/proc/$pid/fd" -mindepth 1 | wc -l) $(comm -12 <(find "/proc/$pid/fd" -mindepth 1 -printf '%l\n' |
    sed -n 's/^socket:\[\([0-9]*\)\]$/\1/p' | sort) <(awk 'NR > 1 { print $10 }' "/proc/$pid/net/tcp" | sort) | wc -l)" \
    "$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")"
}
# steady_sample: a sample taken while the client holds one manager
# connection and runs no command, equal to a second one 0.3 s later (tries
# for about 12 s; fails when there is none).
steady_sample() {
  local i a
  for ((i = 0; i < 40; i++)); do
    a=$(sample) && sleep 0.3
    [ "$a" = "$(sample)" ] && [ "$(cut -d' ' -f2 <<<"$a")" = 1 ] && ! check_client_busy && echo "$a" && return 0
  done
  return 1
}

# The ten texts of one connection (sim_manager escapes): not JSON, cut short,
# cmd not a string, 1024 bytes and more (nested past cJSON's limit), binary.
# None holds a command the client acts on, however they run together.
texts=('hello manager' '{"cmd":"sys_mou' '{"cmd":42}' '{"cmd":null,"respone":[1,2]}'
  '{"cmd":{"cmd":"bogus"}}' "{\"cmd\":\"$(printf 'x%.0s' {1..1500})\"}" '\x00\x01\xff\xfe{"cmd":"x"}\x80'
  '{"cmd":"bogus\xff\xfe","respone":"\xc3\x28"}' "$(printf '[%.0s' {1..1100})" '{"CMD":"CONNECTED"}')

must sandbox_up
started=$(date +%s)
# 1. One deployment up to running, then the manager goes down and comes back.
must manager_start --run-time -1 --timeout 60
must sandbox_start_client
must_see_manager sys_runing 40 1 send
manager_stop
must_see_client 'robotManager connect failed' 30 2

# 2. The scripted manager: each connection gets the ten texts, a carrier
# flap, its close and a second flap. The flaps come right after the texts,
# which the client has by then read one by one, and well before the next
# tick's connect, so that no SYN is lost to a flap and each tick reconnects.
flap="shell ip link set $SB_PEER down && ip link set $SB_PEER up"
for ((c = 1; c <= disconnects; c++)); do
  [ $c -gt 1 ] && echo 'accept 60'
  echo 'expect connected 60'
  printf 'send %s\nsleep 0.02\n' "${texts[@]}"
  printf '%s\nsleep 0.1\nclose\n%s\n' "$flap" "$flap"
done >"$SB_DIR/steps"
# What the kernel sent: the client must print a line for every usb0 record.
sandbox_board ip monitor link >"$SB_DIR/monitor" &
SB_PIDS+=($!)
mark=$(check_client_lines)
must manager_start --script "$SB_DIR/steps" --timeout $((limit - 40 - $(elapsed)))
first=""
while kill -0 "$MANAGER_PID" 2>/dev/null; do
  alive
  read -r _ tcp _ <<<"$(sample)"
  [ "$tcp" -le 1 ] || fail "$tcp manager connections open"
  if [ -z "$first" ] && [ "$(elapsed)" -ge 60 ]; then
    first_at=$(elapsed) && first=$(steady_sample) || fail "no steady sample at $first_at s"
  fi
  [ "$(elapsed)" -lt $((limit - 40)) ] || fail "the soak overran"
  sleep 2
done
# Status 0: every step ran (each text sent, each close and flap made).
manager_wait 5 || fail "scripted manager status $?"
[ -n "$first" ] || fail "ended before the first minute"
flaps=$((2 * disconnects))

# 3. A fresh manager: the client deploys up to running again.
must manager_start --run-time -1 --timeout 60
must_see_manager sys_runing 40 2 send
sleep 2.5
last=$(steady_sample) || fail "no steady sample at the end"

ups=$(check_client_count "^$SB_USB_INDEX: up usb0$" "$mark") downs=$(check_client_count "^$SB_USB_INDEX: down usb0$" "$mark")
kernel_ups=$(grep -cE "^$SB_USB_INDEX: usb0.*[<,]LOWER_UP[,>]" "$SB_DIR/monitor")
kernel_downs=$(($(grep -c "^$SB_USB_INDEX: usb0" "$SB_DIR/monitor") - kernel_ups))
read -r fds1 _ rss1 <<<"$first"
read -r fds2 _ rss2 <<<"$last"
printf '\n== soak: %s s\n' "$(elapsed)"
printf '%-28s %s\n' "carrier flaps" "$flaps (usb0 up/down: kernel $kernel_ups/$kernel_downs, client $ups/$downs)" \
  "manager disconnects" "$disconnects" "malformed texts sent" "$((disconnects * ${#texts[@]})) (client reads: $(check_client_count 'recv msg:' "$mark"))" \
  "descriptors at ${first_at} s / end" "$fds1 / $fds2" "VmRSS KiB at ${first_at} s / end" "$rss1 / $rss2"
must_stop_on_sigint
[ "$ups" -eq "$kernel_ups" ] && [ "$downs" -eq "$kernel_downs" ] || fail "link notifications lost"
# A down at once followed by the up may reach user space folded into the up.
[ "$kernel_ups" -ge "$flaps" ] || fail "$kernel_ups carrier-up notifications for $flaps flaps"
[ "$fds2" -eq "$fds1" ] || fail "descriptors: $fds1 after the first minute, $fds2 at the end"
[ "$rss2" -eq "$rss1" ] || fail "resident memory: $rss1 KiB after the first minute, $rss2 KiB at the end"
echo "soak: passed"
