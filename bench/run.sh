#!/usr/bin/env bash
# Footprint and latency benchmark of robot-client. Every figure is printed
# beside a floor measured in the same run and the target for their ratio:
#   1 resident memory after 30 RUNNING ticks, against bench/floor.cpp (the
#     smallest libev program with a 2 s timer and a SIGINT watcher, built and
#     linked the same way, run in the same kind of sandbox beside it);
#   2 stripped binary size, amd64 and arm64 (arm64 when the cross tools of
#     scripts/setup-arm64.sh are installed), and no libstdc++ NEEDED entry;
#   3 system calls (strace) and heap allocations (valgrind --trace-malloc)
#     per idle RUNNING tick;
#   4 CPU time per hour of idle RUNNING, from BENCH_TICKS (100) ticks;
#   5 carrier up (the timed `ip link set mgr0 up`) to the client's
#     "onNetlinkSock_cb... SYS_STATE_IDLE" line, against the 0.6 s bring-up;
#   6 a whole deployment with a manager that answers at once, against the
#     protocol's timeline (2 s ticks, 0.6 s bring-ups) with a plain scp of
#     the same trees in the same sandbox; and the copy phase against that scp.
#   7 the cable watch, on a stand-in for systemd's private socket, while
#     the board waits for the cable: resident memory, system calls and CPU
#     time over a minute; carrier up to the start job queued (StartUnit
#     received); and its wakes while it follows a deployment, against the
#     messages the stand-in sent. Beside each, the figure of the watch that
#     ran systemctl.
# Everything runs in the whole-system sandbox (scripts/lib/sandbox.sh), the
# long idle run in the background while the trace, heap, link and cable runs go one
# after another, then the deployments alone: about 5 minutes. Figures never
# fail the run: the exit status is non-zero only when the build or a sandbox
# broke. The phases leave their measurements and logs in a work directory;
# bench/report.py turns them into the report. Run as root; BENCH_KEEP=1
# keeps the work directory; BENCH_PHASES="cable trace heap" runs only the
# phases named (idle trace heap link cable deploy; the sizes always), and
# the report shows "?" for the others.
#
#   sudo bench/run.sh        (BENCH_TICKS=N, BENCH_ROUNDS=N: carrier cycles and deployments)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
ticks=${BENCH_TICKS:-100}
rounds=${BENCH_ROUNDS:-5}
traced=16 # ticks in the strace and valgrind windows: one holds a reminder
tick7='updateInfo_onTimer status =7 '

say() { printf 'bench: %s\n' "$*" >&2; }
# wait_count FILE REGEX N SECS: until FILE has N lines matching REGEX.
wait_count() { sandbox_wait_log "$1" "$2" "$4" "$3"; }
count() { grep -cE -- "$2" "$1" 2>/dev/null; }
# The monotonic clock, as the stamper in the sandbox reads it.
mono() { python3 -c 'import time; print("%.6f" % time.monotonic())'; }
# timed CMD...: runs CMD; prints its monotonic start and end.
timed() {
  python3 -c 'import subprocess, sys, time
t = time.monotonic(); subprocess.run(sys.argv[1:], check=True)
print("%.6f %.6f" % (t, time.monotonic()))' "$@"
}
put() { echo "$1=$2" >>"$res"; }
status_kib() { sed -n "s/^$2:[[:space:]]*\([0-9]*\) kB$/\1/p" "/proc/$1/status"; }
cpu_ns() { cut -d' ' -f1 "/proc/$1/schedstat"; }

# start_running [UP-OPTION] [WRAPPER]: a fresh sandbox whose manager keeps the
# run going, then the floor program and the client, both under WRAPPER, with
# a NOTIFY_SOCKET as under systemd.
start_running() {
  sandbox_up ${1:+"$1"} || return 1
  manager_start --run-time -1 || return 1
  sandbox_notify_start || return 1
  sandbox_start_client --bin "$bin/rc-floor" --log "$SB_DIR/floor.log" --wrapper "${2:-}" \
    --notify "$SB_DIR/notify" || return 1
  floor_pid=$SB_CLIENT_PID
  sandbox_start_client --bin "$bin/robot-client" --wrapper "${2:-}" --notify "$SB_DIR/notify"
}

# 1 and 4: the client in RUNNING beside the floor program; memory at tick
# 30, CPU time from tick 10 to tick 10 + BENCH_TICKS.
phase_idle() {
  start_running || return 1
  local c=$SB_CLIENT_PID log=$SB_CLIENT_LOG c0 f0 w0 c1 f1 w1 k
  wait_count "$log" "$tick7" 10 90 || return 1
  c0=$(cpu_ns "$c") f0=$(cpu_ns "$floor_pid") w0=$(mono)
  wait_count "$log" "$tick7" 30 90 || return 1
  for k in VmRSS VmHWM RssAnon RssFile; do
    put "${k}_client" "$(status_kib "$c" $k)"
    put "${k}_floor" "$(status_kib "$floor_pid" $k)"
  done
  wait_count "$log" "$tick7" $((10 + ticks)) $((2 * ticks + 60)) || return 1
  c1=$(cpu_ns "$c") f1=$(cpu_ns "$floor_pid") w1=$(mono)
  put cpu_client_ns "$c0 $c1"
  put cpu_floor_ns "$f0 $f1"
  put cpu_wall "$w0 $w1"
  put cpu_ticks "$ticks"
}

# 3: system calls per RUNNING tick under strace, the floor's per timer expiry.
phase_trace() {
  start_running --no-sshd "strace -f -ttt -s 300" || return 1
  local marker="^[0-9.]+ write[(]1, .*$tick7"
  wait_count "$SB_CLIENT_LOG" "$marker" $((traced + 3)) 90 || return 1
  cp "$SB_CLIENT_LOG" "$work/trace.client.log" && cp "$SB_DIR/floor.log" "$work/trace.floor.log"
  put trace_status "$(count "$SB_DIR/notify.log" '^STATUS=')"
}

# 3: heap allocations per RUNNING tick under valgrind --trace-malloc; the
# floor's allocations over the same time.
phase_heap() {
  start_running --no-sshd "valgrind -q --trace-malloc=yes" || return 1
  local alloc='^--[0-9]+-- [a-z_A-Z0-9]*(alloc|_Znw|_Zna)[a-z_A-Z0-9]*\(' f0 f1
  wait_count "$SB_CLIENT_LOG" "$tick7" 2 120 || return 1
  f0=$(grep -cE "$alloc" "$SB_DIR/floor.log")
  wait_count "$SB_CLIENT_LOG" "$tick7" $((traced + 2)) 90 || return 1
  f1=$(grep -cE "$alloc" "$SB_DIR/floor.log")
  put heap_floor "$((f1 - f0)) in $traced ticks"
  cp "$SB_CLIENT_LOG" "$work/heap.client.log"
}

# 5: carrier cycles while the client waits between ticks (silent manager).
phase_link() {
  sandbox_up --no-sshd || return 1
  manager_start --silent || return 1
  sandbox_start_client --bin "$bin/robot-client" --wrapper "python3 -u $bin/stamp.py" || return 1
  local log=$SB_CLIENT_LOG tick0='updateInfo_onTimer status =0 ' r n times=$SB_DIR/up.times
  wait_count "$log" "$tick0" 2 60 || return 1
  for ((r = 0; r < rounds; r++)); do
    n=$(count "$log" "$tick0")
    wait_count "$log" "$tick0" $((n + 1)) 10 || return 1
    sleep 0.4
    sandbox_carrier down
    sleep 0.3
    timed ip -n "$SB_MANAGER_NS" link set "$SB_PEER" up >>"$times" || return 1
    n=$(count "$log" 'SYS_STATE_IDLE')
    wait_count "$log" 'SYS_STATE_IDLE' $((n + 1)) 10 || return 1
  done
  cp "$log" "$work/link.log" && cp "$times" "$work/link.times"
}

# 7: the cable watch with a stand-in for systemd (rc-systemd-peer) bound
# over /run/systemd/private, so the watch's own binary talks to it. While
# the board waits for the cable (usb0's carrier down): its resident memory,
# its system calls (strace) and CPU time over a minute. Then, for
# BENCH_ROUNDS plug-ins, the time from the timed carrier up to the
# stand-in's receipt of StartUnit (the start job queued). Last, a followed
# deployment: the target's start brings a client unit that runs, whose
# change the stand-in then signals every half second, ten times, while
# strace records the watch's wakes.
phase_cable() {
  sandbox_up --no-sshd || return 1
  sandbox_carrier down
  local sock=$SB_DIR/systemd-private peer=$work/cable.peer pid c0 w0 r tracer to_peer
  mkfifo "$SB_DIR/peer.in" || return 1
  # It ends when its commands end: with this shell at the latest.
  "$bin/rc-systemd-peer" "$sock" <"$SB_DIR/peer.in" >"$peer" 2>&1 &
  SB_PIDS+=("$!")
  exec {to_peer}>"$SB_DIR/peer.in"
  # Disabled: a plug-in's start brings no client, so the watch stops following.
  echo "file disabled" >&"$to_peer"
  proc_until 10 test -S "$sock" || return 1
  sandbox_start_client --bin "$bin/robot-client-cable" --systemd "$sock" || return 1
  pid=$SB_CLIENT_PID
  # With the cable out at its start it stops the target, then disconnects.
  wait_count "$SB_CLIENT_LOG" 'waiting for the cable' 1 30 || return 1
  wait_count "$peer" ' StopUnit ' 1 10 || return 1
  # strace attaches from outside for the minute, so memory and CPU time
  # stay the watch's own.
  strace -ttt -p "$pid" -o "$work/cable.trace" 2>/dev/null &
  tracer=$!
  SB_PIDS+=("$tracer")
  sleep 1
  c0=$(cpu_ns "$pid") w0=$(mono)
  sleep 60
  put cable_rss "$(status_kib "$pid" VmRSS)"
  put cable_rss_anon "$(status_kib "$pid" RssAnon)"
  put cable_rss_file "$(status_kib "$pid" RssFile)"
  put cable_cpu_ns "$c0 $(cpu_ns "$pid")"
  put cable_wall "$w0 $(mono)"
  kill -INT "$tracer" && wait "$tracer"
  # Lines of system calls made during the minute; the one it waits in
  # when strace attaches is no call of its own.
  put cable_calls "$(grep -cvE 'resumed>|unfinished|detached|^[0-9.]+ [+][+][+]|--- SIG' "$work/cable.trace")"
  for ((r = 1; r <= rounds; r++)); do
    timed ip -n "$SB_MANAGER_NS" link set "$SB_PEER" up >>"$work/cable.times" || return 1
    wait_count "$peer" ' StartUnit ' "$r" 10 || return 1
    # No client comes (the stand-in's stays inactive): it stops following.
    wait_count "$SB_CLIENT_LOG" 'nothing started' "$r" 10 || return 1
    sandbox_carrier down
    wait_count "$peer" ' StopUnit ' $((r + 1)) 10 || return 1
    sleep 0.3
  done
  echo "file enabled" >&"$to_peer" # the next start brings client 100
  sandbox_carrier up
  wait_count "$SB_CLIENT_LOG" 'robot-client.service started' 1 10 || return 1
  sleep 0.5
  put cable_follow_from "$(mono)"
  strace -ttt -p "$pid" -o "$work/cable.follow.trace" 2>/dev/null &
  tracer=$!
  SB_PIDS+=("$tracer")
  sleep 1
  for ((r = 0; r < 10; r++)); do
    echo "client active running 100" >&"$to_peer"
    sleep 0.5
  done
  sleep 1
  kill -INT "$tracer" && wait "$tracer"
  put cable_follow_to "$(mono)"
  put cable_follow_rss "$(status_kib "$pid" VmRSS)"
  exec {to_peer}>&-
}

# 6: BENCH_ROUNDS rounds of a plain scp of both trees, then a whole
# deployment from a fresh board (usb0 down, no address).
phase_deploy() {
  sandbox_up || return 1
  sandbox_add_file app/share/assets/video.bin 16384
  local r log copy="scp -r /robot/app root@10.10.10.2:/userdata/|scp -r /robot/AI root@10.10.10.2:/userdata/"
  for ((r = 1; r <= rounds; r++)); do
    sandbox_board ifconfig usb0 10.10.10.1 up
    sandbox_view --board
    # shellcheck disable=SC2016 # the program is Python
    sandbox_board bwrap "${SB_VIEW[@]}" --ro-bind "$SB_ROBOT" /robot -- \
      python3 -c 'import subprocess, sys, time
t = time.monotonic()
for cmd in sys.argv[1].split("|"): subprocess.run(cmd.split(), check=True)
print("%.6f" % (time.monotonic() - t))' "$copy" >>"$work/plain" || return 1
    ip -n "$SB_CLIENT_NS" link set usb0 down && ip -n "$SB_CLIENT_NS" addr flush dev usb0 || return 1
    manager_start --name "manager$r" --run-time 0.2 --timeout 60 || return 1
    log=$SB_DIR/deploy$r.log
    # A plain wait, bounded by timeout(1): no polling beside the copy.
    sandbox_start_client --bin "$bin/robot-client" --log "$log" --wrapper "timeout 60 python3 -u $bin/stamp.py" ||
      return 1
    wait "$SB_BWRAP_PID" || return 1
    manager_query --name "manager$r" --cmd sys_run_finish --at-least 1 || return 1
    cp "$log" "$work/deploy$r.log"
  done
  sandbox_same_tree "$SB_ROBOT/app" "$SB_USERDATA/app"
}

if [ "${1:-}" = --phase ]; then
  work=$3 bin=$3/bin res=$3/$2.res
  source "$root/scripts/lib/sandbox.sh"
  "phase_$2"
  exit
fi

[ "$(id -u)" -eq 0 ] || {
  say "run as root (it makes network namespaces)"
  exit 1
}
scripts/setup.sh || exit 1
say "building (build-bench)"
{ cmake -S . -B build-bench -DRC_BENCH=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
  cmake --build build-bench --target robot-client robot-client-cable rc-floor rc-systemd-peer -j"$(nproc)"; } >/dev/null ||
  exit 1
arm=
if command -v aarch64-linux-gnu-g++ qemu-aarch64 >/dev/null && dpkg -s libev-dev:arm64 libcjson-dev:arm64 >/dev/null 2>&1; then
  say "building (build-bench-arm64)"
  { cmake -S . -B build-bench-arm64 -DCMAKE_TOOLCHAIN_FILE="$root/packaging/toolchain-aarch64.cmake" \
    -DRC_BENCH=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build build-bench-arm64 --target robot-client robot-client-cable rc-floor -j"$(nproc)"; } >/dev/null && arm=1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/rc-bench.XXXXXX")
idle_pid=
finish() {
  [ -n "$idle_pid" ] && kill -TERM "$idle_pid" 2>/dev/null && wait "$idle_pid"
  if [ -n "${BENCH_KEEP:-}" ]; then say "kept $work"; else rm -rf "$work"; fi
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir "$work/bin"
cp build-bench/client/robot-client build-bench/cable/robot-client-cable build-bench/bench/rc-floor \
  build-bench/tests/support/rc-systemd-peer bench/stamp.py "$work/bin/"

# chosen PHASE: whether BENCH_PHASES names it (all phases when it is empty).
chosen() { [[ " ${BENCH_PHASES:-idle trace heap link cable deploy} " == *" $1 "* ]]; }
say "running: ${BENCH_PHASES:-idle ($((2 * ticks + 30)) s) with trace, heap, link and cable beside it, then deploy}"
broken=()
if chosen idle; then
  bash "$0" --phase idle "$work" >"$work/idle.out" 2>&1 &
  idle_pid=$!
fi
for phase in trace heap link cable; do
  chosen $phase || continue
  bash "$0" --phase $phase "$work" >"$work/$phase.out" 2>&1 || broken+=("$phase")
done
if [ -n "$idle_pid" ]; then
  wait "$idle_pid" || broken+=(idle)
  idle_pid=
fi
# Alone: the copies' time depends on the CPU the rest would take.
if chosen deploy; then
  bash "$0" --phase deploy "$work" >"$work/deploy.out" 2>&1 || broken+=(deploy)
fi

python3 bench/report.py "$work" --ticks "$ticks" --rounds "$rounds" --traced "$traced" ${arm:+--arm64}
if [ ${#broken[@]} -gt 0 ]; then
  say "the sandbox broke in: ${broken[*]} (rerun with BENCH_KEEP=1 and see $work/*.out)"
  exit 1
fi
exit 0
