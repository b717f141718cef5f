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
# Everything runs in the whole-system sandbox (scripts/lib/sandbox.sh), the
# long idle run in the background while the trace, heap and link runs go one
# after another, then the deployments alone: about 5 minutes. Figures never
# fail the run: the exit status is non-zero only when the build or a sandbox
# broke. Run as root; BENCH_KEEP=1 keeps the logs.
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
count() { grep -cE -- "$2" "$1" 2>/dev/null; }
# wait_count FILE REGEX N SECS: until FILE has N lines matching REGEX.
wait_count() {
  local i
  for ((i = 0; i < $4 * 4; i++)); do
    [ "$(count "$1" "$2")" -ge "$3" ] && return 0
    sleep 0.25
  done
  say "timed out waiting for $3 x /$2/ in $1"
  return 1
}
# The monotonic clock, as the stamper in the sandbox reads it.
mono() { python3 -c 'import time; print("%.6f" % time.monotonic())'; }
# timed CMD...: runs CMD; prints its monotonic start and end.
timed() {
  python3 -c 'import subprocess, sys, time
t = time.monotonic(); subprocess.run(sys.argv[1:], check=True)
print("%.6f %.6f" % (t, time.monotonic()))' "$@"
}
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
put() { echo "$1=$2" >>"$res"; }
status_kib() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
cpu_ns() { awk '{ print $1 }' "/proc/$1/schedstat"; }
# per_hour NS0 NS1 T0 T1: CPU seconds per hour of wall time.
per_hour() { awk -v a="$1" -v b="$2" -v s="$3" -v e="$4" 'BEGIN { printf "%.4f", (b - a) / 1e9 * 3600 / (e - s) }'; }

start_floor() {
  SB_CLIENT_BIN=$bin/rc-floor SB_CLIENT_LOG=$SB_DIR/floor.log sandbox_start_client || return 1
  floor_pid=$SB_CLIENT_PID
}

# start_running [UP-OPTION] [WRAPPER]: a fresh sandbox whose manager keeps the
# run going, then the floor program and the client, both under WRAPPER.
start_running() {
  sandbox_up ${1:+"$1"} || return 1
  sandbox_start_manager --run-time -1 || return 1
  # shellcheck disable=SC2034 # read by scripts/lib/sandbox.sh
  SB_CLIENT_WRAPPER=${2:-}
  start_floor || return 1
  sandbox_start_client
}

# windows LOG MARKER FIRST N: the system calls of strace -ttt lines and the
# allocation calls of valgrind --trace-malloc lines between the FIRST-th and
# the (FIRST+N)-th line matching MARKER, one tick's sequence a line.
windows() {
  awk -v m="$2" -v first="$3" -v n="$4" '
    { line = $0; sub(/^\[pid +[0-9]+\] /, "", line) }
    line ~ /^[0-9]+\.[0-9]+ [a-z_0-9]+\(/ { name = line; sub(/^[^ ]+ /, "", name); sub(/\(.*/, "", name) }
    line ~ /^--[0-9]+-- [A-Za-z_0-9]+\(/ && line !~ /-- free\(|-- _ZdlPv|-- _ZdaPv/ {
      name = line; sub(/^--[0-9]+-- /, "", name); sub(/\).*/, ")", name) }
    k >= first && k < first + n && name != "" { seq = seq " " name }
    line ~ m { if (k >= first && k < first + n) print (seq == "" ? " (none)" : seq); seq = ""; k++ }
    { name = "" }' "$1"
}
# The distinct tick sequences of windows' output, most common first.
sequences() { sort | uniq -c | sort -rn | awk '{ n = $1; $1 = ""; printf "%s%d x%s", (NR > 1 ? "; " : ""), n, $0 }'; }

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
  put cpu_client "$(per_hour "$c0" "$c1" "$w0" "$w1")"
  put cpu_floor "$(per_hour "$f0" "$f1" "$w0" "$w1")"
  put cpu_ticks "$ticks"
}

# 3: system calls per RUNNING tick under strace, the floor's per timer expiry.
phase_trace() {
  start_running --no-sshd "strace -f -ttt -s 300" || return 1
  local marker="^[0-9.]+ write[(]1, .*$tick7"
  wait_count "$SB_CLIENT_LOG" "$marker" $((traced + 3)) 90 || return 1
  put sys_client "$(windows "$SB_CLIENT_LOG" "$marker" 2 "$traced" | sequences)"
  put sys_floor "$(windows "$SB_DIR/floor.log" 'epoll_wait[(]' 2 "$traced" | sequences)"
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
  put heap_client "$(windows "$SB_CLIENT_LOG" "$tick7" 2 "$traced" | sequences)"
  put heap_floor "$((f1 - f0)) in $traced ticks"
  put heap_start "$(sed -n '/ev_run\.\.\./q;p' "$SB_CLIENT_LOG" | grep -cE "$alloc")"
}

# 5: carrier cycles while the client waits between ticks (silent manager).
phase_link() {
  sandbox_up --no-sshd || return 1
  sandbox_start_manager --silent || return 1
  # shellcheck disable=SC2034
  SB_CLIENT_WRAPPER="python3 -u $bin/stamp.py"
  sandbox_start_client || return 1
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
  # For each carrier-up: its start, the ip command's end, the "up usb0"
  # line (the notification read) and the SYS_STATE_IDLE line.
  awk 'NR == FNR { s[NR] = $1; e[NR] = $2; n = NR; next }
       / up usb0$/ { up[++u] = $1 } /SYS_STATE_IDLE/ { idle[++i] = $1 }
       END { for (r = 1; r <= n; r++) {
               for (j = 1; j <= u && up[j] <= s[r]; j++);
               for (k = 1; k <= i && idle[k] <= s[r]; k++);
               printf "%.6f %.6f %.6f\n", idle[k] - s[r], up[j] - s[r], e[r] - s[r] } }' \
    "$times" "$log" >"$SB_DIR/reaction"
  put react "$(awk '{ print $1 }' "$SB_DIR/reaction" | median)"
  put react_max "$(awk '{ print $1 }' "$SB_DIR/reaction" | sort -g | tail -1)"
  put react_note "$(awk '{ print $2 }' "$SB_DIR/reaction" | median)"
  put react_ip "$(awk '{ print $3 }' "$SB_DIR/reaction" | median)"
}

# 6: BENCH_ROUNDS rounds of a plain scp of both trees, then a whole
# deployment from a fresh board (usb0 down, no address).
phase_deploy() {
  sandbox_up || return 1
  sandbox_add_file app/share/assets/video.bin 16384
  local r log copy="scp -r /robot/app root@10.10.10.2:/userdata/|scp -r /robot/AI root@10.10.10.2:/userdata/"
  for ((r = 1; r <= rounds; r++)); do
    sb_client ifconfig usb0 10.10.10.1 up
    sb_root_view
    sb_board_ssh_view
    # shellcheck disable=SC2016 # the program is Python
    sb_client bwrap "${SB_VIEW[@]}" --ro-bind "$SB_ROBOT" /robot -- \
      python3 -c 'import subprocess, sys, time
t = time.monotonic()
for cmd in sys.argv[1].split("|"): subprocess.run(cmd.split(), check=True)
print("%.6f" % (time.monotonic() - t))' "$copy" >>"$SB_DIR/plain" || return 1
    ip -n "$SB_CLIENT_NS" link set usb0 down && ip -n "$SB_CLIENT_NS" addr flush dev usb0 || return 1
    SB_MANAGER_LOG=$SB_DIR/manager$r.log sandbox_start_manager --run-time 0.2 --timeout 60 || return 1
    log=$SB_DIR/deploy$r.log
    # A plain wait, bounded by timeout(1): no polling beside the copy.
    SB_CLIENT_WRAPPER="timeout 60 python3 -u $bin/stamp.py" SB_CLIENT_LOG=$log sandbox_start_client || return 1
    wait "$SB_BWRAP_PID" || return 1
    sandbox_wait_manager 10 || return 1
    grep -q 'sys_run_finish' "$SB_DIR/manager$r.log" || return 1
    awk '/stamp: start/ { s = $1 } /stamp: exit/ { e = $1 } /status =4 / { c = $1 }
         /tcp send: .*sys_mount_finish/ { f = $1 } END { printf "%.6f %.6f\n", e - s, f - c }' \
      "$log" >>"$SB_DIR/deploys"
  done
  sandbox_same_tree "$SB_ROBOT/app" "$SB_USERDATA/app" || return 1
  put plain "$(median <"$SB_DIR/plain")"
  put deploy "$(awk '{ print $1 }' "$SB_DIR/deploys" | median)"
  put copy "$(awk '{ print $2 }' "$SB_DIR/deploys" | median)"
  put copy_all "$(awk '{ printf "%s%.3f", (NR > 1 ? " " : ""), $2 }' "$SB_DIR/deploys")"
  put plain_all "$(awk '{ printf "%s%.3f", (NR > 1 ? " " : ""), $1 }' "$SB_DIR/plain")"
}

if [ "${1:-}" = --phase ]; then
  work=$3 bin=$3/bin res=$3/$2.res
  # shellcheck disable=SC2034
  SB_CLIENT_BIN=$bin/robot-client
  # shellcheck source=scripts/lib/sandbox.sh
  . "$root/scripts/lib/sandbox.sh"
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
  cmake --build build-bench --target robot-client rc-floor -j"$(nproc)"; } >/dev/null || exit 1
arm=0
if command -v aarch64-linux-gnu-g++ qemu-aarch64 >/dev/null && dpkg -s libev-dev:arm64 libcjson-dev:arm64 >/dev/null 2>&1; then
  say "building (build-bench-arm64)"
  { cmake -S . -B build-bench-arm64 -DCMAKE_TOOLCHAIN_FILE="$root/packaging/toolchain-aarch64.cmake" \
    -DRC_BENCH=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build build-bench-arm64 --target robot-client rc-floor -j"$(nproc)"; } >/dev/null && arm=1
fi

work=$(mktemp -d /tmp/rc-bench.XXXXXX)
idle_pid=
finish() {
  [ -n "$idle_pid" ] && kill -TERM "$idle_pid" 2>/dev/null && wait "$idle_pid"
  if [ -n "${BENCH_KEEP:-}" ]; then say "kept $work"; else rm -rf "$work"; fi
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mkdir "$work/bin"
cp build-bench/client/robot-client build-bench/bench/rc-floor bench/stamp.py "$work/bin/"

say "running: idle ($((2 * ticks + 30)) s) with trace, heap and link beside it, then deploy"
broken=()
bash "$0" --phase idle "$work" >"$work/idle.out" 2>&1 &
idle_pid=$!
for phase in trace heap link; do
  bash "$0" --phase $phase "$work" >"$work/$phase.out" 2>&1 || broken+=("$phase")
done
wait "$idle_pid" || broken+=(idle)
idle_pid=
# Alone: the copies' time depends on the CPU the rest would take.
bash "$0" --phase deploy "$work" >"$work/deploy.out" 2>&1 || broken+=(deploy)

declare -A R
for phase in idle trace heap link deploy; do
  [ -f "$work/$phase.res" ] || continue
  while IFS='=' read -r key value; do R[$key]=$value; done <"$work/$phase.res"
done
v() { echo "${R[$1]:-?}"; }

# Stripped sizes, the bytes the loadable segments hold (the rest is
# alignment padding) and libstdc++ NEEDED entries.
strip_size() {
  local t
  t=$(mktemp)
  "$1" -o "$t" "$2" && stat -c %s "$t"
  rm -f "$t"
}
segments() {
  readelf -lW "$1" | awk '$1 == "LOAD" { h = $5; for (i = 3; i <= length(h); i++) v = v * 16 + index("0123456789abcdef", substr(h, i, 1)) - 1
    n += v; v = 0 } END { print n }'
}
cxx() { readelf -d "$1" | grep -c 'NEEDED.*libstdc++'; }
for a in amd64 arm64; do
  dir=build-bench strip=strip
  [ $a = arm64 ] && dir=build-bench-arm64 strip=aarch64-linux-gnu-strip
  [ $a = arm64 ] && [ $arm -eq 0 ] && continue
  R[size_$a]=$(strip_size $strip $dir/client/robot-client)
  R[size_${a}_floor]=$(strip_size $strip $dir/bench/rc-floor)
  R[seg_$a]=$(segments $dir/client/robot-client)
  R[cxx_$a]=$(cxx $dir/client/robot-client)
done

# The deployment's floor: the client's timeline with its 2 s ticks, 0.6 s
# bring-ups, an instant connect and manager, and the plain copy time. A
# tick that ran longer than 2 s is followed at once by one late tick, then
# every 2 s from there; a shorter one delays only a tick that was due.
# Tick 1 brings up the unaddressed usb0, tick 2 brings it up again and
# connects, 3 asks for the mount, 4 copies, 5 asks to run, 6 ends the run.
R[deploy_floor]=$(awk -v c="$(v plain)" 'BEGIN { split("0.6 0.6 0 " c " 0", d, " "); at = 2; e = 0
  for (i = 1; i <= 5; i++) { s = (at > e ? at : e); e = s + d[i]; at = (d[i] > 2 ? e : at + 2) }
  print (at > e ? at : e) }')

# fig LABEL FIGURE FLOOR UNIT FORMAT TARGET CONDITION: one row; CONDITION is
# an awk expression of x (the figure) and r (its ratio to the floor).
fig() {
  awk -v l="$1" -v x="$2" -v f="$3" -v u="$4" -v p="$5" -v t="$6" "BEGIN {
    nx = x != \"\" && x + 0 == x; nf = f != \"\" && f + 0 == f; r = (nx && nf && f > 0) ? x / f : 0
    printf \"%-34s %12s %12s %7s  %-27s %s\n\", l, nx ? sprintf(p, x) u : x, nf ? sprintf(p, f) u : f,
      (nx && nf && f > 0) ? sprintf(\"%.3f\", r) : \"-\", t, nx ? (($7) ? \"yes\" : \"no\") : (x == \"n/a\" ? \"n/a\" : \"?\") }"
}
commonest() { sed -E 's/^[0-9]+ x //; s/;.*//' <<<"$1"; }
sys_c=$(commonest "$(v sys_client)") sys_f=$(commonest "$(v sys_floor)")
heap_c=$(commonest "$(v heap_client)")
heap_n=$(if [ "$heap_c" = "(none)" ]; then echo 0; elif [ "$heap_c" = "?" ]; then echo "?"; else wc -w <<<"$heap_c"; fi)
sys_ok=$([ "$(tr ' ' '\n' <<<"$sys_c" | grep . | sort | paste -sd' ')" = "close epoll_wait ioctl socket write write" ] && echo 1 || echo 0)

echo
echo "robot-client bench, $(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1), kernel $(uname -r)"
printf '%-34s %12s %12s %7s  %-27s %s\n' figure client floor ratio target met
fig "1 VmRSS at tick 30 of RUNNING" "$(v VmRSS_client)" "$(v VmRSS_floor)" " KiB" %d "ratio <= 1.10" 'r <= 1.10'
fig "  VmHWM at tick 30 of RUNNING" "$(v VmHWM_client)" "$(v VmHWM_floor)" " KiB" %d "ratio <= 1.10" 'r <= 1.10'
echo "    RssAnon (private): client $(v RssAnon_client) KiB, floor $(v RssAnon_floor) KiB;" \
  "RssFile (binary and libraries): client $(v RssFile_client) KiB, floor $(v RssFile_floor) KiB"
for a in amd64 arm64; do
  fig "2 stripped size $a" "${R[size_$a]:-n/a}" "${R[size_${a}_floor]:-n/a}" " B" %d "<= 65536 B, no libstdc++" \
    "x <= 65536 && ${R[cxx_$a]:-1} == 0"
  [ -n "${R[size_$a]:-}" ] && echo "    $a: loadable segments hold $(v seg_$a) B; libstdc++ NEEDED entries: $(v cxx_$a)"
done
[ $arm -eq 1 ] || echo "    arm64: n/a, the cross tools of scripts/setup-arm64.sh are not installed"
fig "3 system calls per idle tick" "$(wc -w <<<"$sys_c")" "$(wc -w <<<"$sys_f")" "" %d "socket ioctl close 2xwrite wait" "$sys_ok"
echo "    client, $traced RUNNING ticks:$(v sys_client)"
echo "    floor, $traced timer expiries:$(v sys_floor)"
fig "  heap allocations per idle tick" "$heap_n" "$(v heap_floor | cut -d' ' -f1)" "" %d "0" 'x == 0'
echo "    client, $traced RUNNING ticks:$(v heap_client); start-up: $(v heap_start) allocations; floor: $(v heap_floor)"
fig "4 CPU time per hour idle" "$(v cpu_client)" "$(v cpu_floor)" " s" %.4f "< 0.1 s" 'x < 0.1'
echo "    from $(v cpu_ticks) RUNNING ticks: $(awk -v c="$(v cpu_client)" -v f="$(v cpu_floor)" \
  'BEGIN { printf "%.0f us per tick, floor %.0f us per timer expiry", c / 1800 * 1e6, f / 1800 * 1e6 }')"
fig "5 carrier up to SYS_STATE_IDLE" "$(v react)" 0.6 " s" %.4f "<= 0.620 s" 'x <= 0.620'
echo "    median of $rounds, slowest $(v react_max) s; link line read after $(v react_note) s; the ip command took $(v react_ip) s"
fig "6 whole deployment" "$(v deploy)" "$(v deploy_floor)" " s" %.3f "ratio <= 1.05" 'r <= 1.05'
fig "  copy phase against plain scp" "$(v copy)" "$(v plain)" " s" %.3f "ratio <= 1.02" 'r <= 1.02'
fastest() { tr ' ' '\n' <<<"$1" | sort -g | head -1; }
echo "    medians of $rounds; copy phases: $(v copy_all) s; plain scp: $(v plain_all) s; fastest of each:" \
  "$(fastest "$(v copy_all)") s against $(fastest "$(v plain_all)") s"
if [ ${#broken[@]} -gt 0 ]; then
  say "the sandbox broke in: ${broken[*]} (rerun with BENCH_KEEP=1 and see $work/*.out)"
  exit 1
fi
exit 0
