#!/usr/bin/env bash
# Fault soak of the client in the whole-system sandbox, bounded to under 5
# minutes. The client deploys once, meets the manager going down and coming
# back, then a scripted manager drops the connection 100 times, sending 10
# malformed or oversized texts on each connection (1000 in all) and flapping
# usb0's carrier twice (200 flaps); finally a fresh manager takes the client
# to running again and SIGINT ends it. The client must stay up throughout,
# print every link notification, and hold the same number of descriptors and
# the same resident memory at the end as after the first minute.
#
#   sudo scripts/soak.sh     (BUILD_DIR=... picks the build directory)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
disconnects=100 limit=290

# shellcheck source=scripts/lib/sandbox.sh
. scripts/lib/sandbox.sh
sandbox_build_client || exit 1

fail() {
  echo "soak: FAIL after $(elapsed) s: $*"
  echo "--- client log (last 40 lines)"; sandbox_client_log | tail -40
  echo "--- manager log (last 20 lines)"; tail -20 "$SB_MANAGER_LOG"
  exit 1
}
elapsed() { echo $(($(date +%s) - started)); }
# count REGEX: client log lines from the soak's start on that match.
count() { sandbox_client_log | tail -n +$((log_from + 1)) | grep -acE -- "$1"; }
alive() { kill -0 "$SB_CLIENT_PID" 2>/dev/null || fail "the client is gone"; }
wait_m() { sandbox_wait_for "$SB_MANAGER_LOG" "$@" || fail "manager log: no /$1/"; }

# The ten texts of one connection (sim_manager escapes): not JSON, cut short,
# cmd not a string, 1024 bytes and more (nested past cJSON's limit), binary.
# None holds a command the client acts on, however they run together.
texts=('hello manager' '{"cmd":"sys_mou' '{"cmd":42}' '{"cmd":null,"respone":[1,2]}'
  '{"cmd":{"cmd":"bogus"}}' "{\"cmd\":\"$(printf 'x%.0s' {1..1500})\"}" '\x00\x01\xff\xfe{"cmd":"x"}\x80'
  '{"cmd":"bogus\xff\xfe","respone":"\xc3\x28"}' "$(printf '[%.0s' {1..1100})" '{"CMD":"CONNECTED"}')

# sample: "FDS TCP RSS": open descriptors, how many of them are TCP sockets,
# VmRSS in KiB.
sample() {
  local pid=$SB_CLIENT_PID tcp
  tcp=$(comm -12 <(find "/proc/$pid/fd" -mindepth 1 -printf '%l\n' 2>/dev/null |
    sed -n 's/^socket:\[\([0-9]*\)\]$/\1/p' | sort) <(awk 'NR > 1 { print $10 }' "/proc/$pid/net/tcp" | sort) | wc -l)
  echo "$(sandbox_client_fds) $tcp $(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")"
}
# steady_sample VAR: sets VAR to a sample taken while the client holds one
# manager connection and runs no command, equal to a second one 0.3 s later.
steady_sample() {
  local i a b
  for ((i = 0; i < 40; i++)); do
    alive
    a=$(sample)
    sleep 0.3
    b=$(sample)
    [ "$a" = "$b" ] && [ "$(cut -d' ' -f2 <<<"$a")" = 1 ] && ! sandbox_client_in_command && {
      printf -v "$1" '%s' "$a"
      ls -l "/proc/$SB_CLIENT_PID/fd" >"$SB_DIR/fds.$1" && cp "/proc/$SB_CLIENT_PID/smaps" "$SB_DIR/smaps.$1"
      return 0
    }
  done
  fail "no steady sample with the manager connected"
}

sandbox_up || exit 1
started=$(date +%s)
# 1. One deployment up to running, then the manager goes down and comes back.
sandbox_start_manager --run-time -1 --timeout 60 || exit 1
sandbox_start_client || exit 1
wait_m 'send \{"cmd":"sys_runing"\}' 40
sandbox_stop_manager
sandbox_wait_for "$SB_CLIENT_LOG" 'robotManager connect failed' 30 2 || fail "no refused connect"

# 2. The scripted manager: each connection gets the ten texts, a carrier
# flap, its close and a second flap. The flaps come right after the texts,
# which the client has by then read one by one, and well before the next
# tick's connect, so that no SYN is lost to a flap and each tick reconnects.
steps=$SB_DIR/steps
flap="shell ip link set $SB_PEER down && ip link set $SB_PEER up"
for ((c = 1; c <= disconnects; c++)); do
  [ $c -gt 1 ] && echo 'accept 60'
  echo 'expect connected 60'
  for t in "${texts[@]}"; do printf 'send %s\nsleep 0.02\n' "$t"; done
  printf '%s\nsleep 0.1\nclose\n%s\n' "$flap" "$flap"
done >"$steps"
# What the kernel sent: the client must print a line for every usb0 record.
sb_client ip monitor link >"$SB_DIR/monitor" &
SB_PIDS+=($!)
log_from=$(sandbox_client_lines)
manager_from=$(wc -l <"$SB_MANAGER_LOG")
sandbox_start_manager --script "$steps" --timeout $((limit - 40 - $(elapsed))) || fail "scripted manager"

first="" first_at=0 max_fds=0
while kill -0 "$SB_MANAGER_PID" 2>/dev/null; do
  alive
  read -r fds tcp rss <<<"$(sample)"
  echo "$(elapsed) $fds $tcp $rss $(grep -E '^Rss(Anon|File)' /proc/$SB_CLIENT_PID/status | awk '{printf "%s ", $2}')" >>"$SB_DIR/samples"
  [ "$tcp" -le 1 ] || fail "$tcp manager connections open"
  [ "$fds" -gt "$max_fds" ] && max_fds=$fds
  [ -z "$first" ] && [ "$(elapsed)" -ge 60 ] && steady_sample first && first_at=$(elapsed)
  [ "$(elapsed)" -lt $((limit - 40)) ] || fail "the soak overran"
  sleep 2
done
sandbox_wait_manager 5 || fail "scripted manager status $?"
[ -n "$first" ] || fail "ended before the first minute"
closes=$(tail -n +$((manager_from + 1)) "$SB_MANAGER_LOG" | grep -c ' close$')
sent=$(tail -n +$((manager_from + 1)) "$SB_MANAGER_LOG" | grep -c ' send ')
flapped=$(tail -n +$((manager_from + 1)) "$SB_MANAGER_LOG" | grep -c ' shell ')

# 3. A fresh manager: the client deploys up to running again.
sandbox_start_manager --run-time -1 --timeout 60 || fail "last manager"
wait_m 'send \{"cmd":"sys_runing"\}' 40 2
sleep 2.5
last=""
steady_sample last

ups=$(count "^$SB_USB_INDEX: up usb0$")
downs=$(count "^$SB_USB_INDEX: down usb0$")
kernel_ups=$(grep -cE "^$SB_USB_INDEX: usb0.*[<,]LOWER_UP[,>]" "$SB_DIR/monitor")
kernel_downs=$(($(grep -c "^$SB_USB_INDEX: usb0" "$SB_DIR/monitor") - kernel_ups))
resets=$(count 'onNetlinkSock_cb\.\.\. SYS_STATE_IDLE')
reads=$(count 'recv msg:')
read -r fds1 _ rss1 <<<"$first"
read -r fds2 _ rss2 <<<"$last"

sandbox_interrupt_client
sandbox_wait_client 30
status=$?
printf '\n== soak: %s s\n' "$(elapsed)"
printf '%-28s %s\n' "carrier flaps" "$flapped (usb0 up/down: kernel $kernel_ups/$kernel_downs, client $ups/$downs; $resets restarts)" \
  "manager disconnects" "$closes" "malformed texts sent" "$sent (client reads: $reads)" \
  "descriptors at ${first_at} s / end" "$fds1 / $fds2 (most seen: $max_fds)" \
  "VmRSS KiB at ${first_at} s / end" "$rss1 / $rss2" "client exit after SIGINT" "$status"

[ "$status" -eq 0 ] || fail "exit status $status after SIGINT"
[ "$(sandbox_client_log | tail -2 | sed 's/^\[[^]]*\] //')" = "$(printf 'WARN: SIGINT exit...\nERR: robot client exit!')" ] ||
  fail "the last lines after SIGINT"
[ "$ups" -eq "$kernel_ups" ] && [ "$downs" -eq "$kernel_downs" ] || fail "link notifications lost"
# A down at once followed by the up may reach user space folded into the up.
[ "$flapped" -eq $((2 * disconnects)) ] && [ "$kernel_ups" -ge "$flapped" ] ||
  fail "$kernel_ups carrier-up notifications for $flapped flaps"
[ "$closes" -eq "$disconnects" ] || fail "$closes disconnects"
[ "$sent" -eq $((disconnects * ${#texts[@]})) ] || fail "$sent texts sent"
[ "$fds2" -eq "$fds1" ] || fail "descriptors: $fds1 after the first minute, $fds2 at the end"
[ "$rss2" -eq "$rss1" ] || fail "resident memory: $rss1 KiB after the first minute, $rss2 KiB at the end"
for line in 'cJSON_Parse failed' 'cmd->valuestring:(number) discard' "cmd '(null)' respone '(array)'" \
  'cmd->valuestring:(object) discard' 'cmd->valuestring:CONNECTED discard'; do
  sandbox_client_log | tail -n +$((log_from + 1)) | grep -acF -- "$line" >/dev/null || fail "never logged: $line"
done
echo "soak: passed"
