# shellcheck shell=bash
# A whole-system sandbox for robot-client: the board and the manager as two
# network namespaces joined by a veth pair (usb0 on the board, mgr0 on the
# manager), a real sshd and the simulated manager on the manager's side
# (sshd.sh, manager.sh), and the client under bubblewrap with its own
# /robot, /root/.ssh and /proc/sys/vm/drop_caches. Nothing on the host is
# touched: the host's /robot, /userdata and /root/.ssh are never mounted on
# or created. Needs root, iproute2, bubblewrap, openssh-server, python3.
# Works from a checkout anywhere, /tmp, /root and /run included.
#
# A script sources this file, then calls sandbox_up, which installs an EXIT
# trap that calls sandbox_down (INT and TERM exit, and so call it; a caller
# with its own EXIT trap calls sandbox_down from it). Public functions are
# sandbox_*, each described where it is defined.
#
# After sandbox_up:
#   SB_DIR          the run's temporary directory (logs, keys, the trees)
#   SB_ROBOT        the sample /robot tree the client sees (read-only)
#   SB_USERDATA     the manager's /userdata, where the copies land
#   SB_DROP_CACHES  the file the client sees as /proc/sys/vm/drop_caches
#   SB_CLIENT_NS, SB_MANAGER_NS  the namespace names
#   SB_USB_INDEX    usb0's interface index; SB_PEER the manager's end (mgr0)
# After sandbox_start_client: SB_CLIENT_PID, the client process itself (for
# kill -INT and /proc/PID/fd), SB_CLIENT_LOG, its log, SB_CLIENT_RUN, the
# directory it sees as /run/robot-client (its lock, its deployment record),
# and SB_CLIENT_STATE, the one it sees as /var/lib/robot-client (the record
# kept across reboots).

SB_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
SB_USB_INDEX=40
SB_PEER_INDEX=41
SB_PEER=mgr0
SB_MANAGER_IP=10.10.10.2
SB_CLIENT_BIN=$SB_ROOT/build/client/robot-client
source "$SB_ROOT/scripts/lib/proc.sh"
source "$SB_ROOT/scripts/lib/manager.sh"
source "$SB_ROOT/scripts/lib/sshd.sh"

# sandbox_build_client [BUILD-DIR]: installs what is missing and builds the
# client into BUILD-DIR (default build/, configured on first use), then
# points the sandbox at it.
sandbox_build_client() {
  local build=$SB_ROOT/${1:-build}
  (cd "$SB_ROOT" && scripts/setup.sh) || return 1
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$SB_ROOT" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || return 1
  fi
  cmake --build "$build" --target robot-client -j"$(nproc)" >/dev/null || return 1
  SB_CLIENT_BIN=$build/client/robot-client
}

# sandbox_view [--board]: sets SB_VIEW to the bwrap arguments of a
# read-only view of the host's root with fresh /proc, /dev, /tmp, /run and
# /root (TMPDIR pointing into that /tmp), in which the checkout stays
# visible wherever it lies. Top-level entries are bound one by one, so a
# path that the host lacks (/robot, /userdata) exists only in the view. With
# --board, ssh sees what it sees on a paired board: /etc/ssh with the
# shipped drop-in and the pin, root's key alone in /root/.ssh.
sandbox_view() {
  local entry name
  SB_VIEW=()
  for entry in /*; do
    name=${entry#/}
    case $name in proc | dev | sys | tmp | run | root | robot | userdata | lost+found) continue ;; esac
    if [ -L "$entry" ]; then
      SB_VIEW+=(--symlink "$(readlink "$entry")" "$entry")
    elif [ -d "$entry" ]; then
      SB_VIEW+=(--ro-bind "$entry" "$entry")
    fi
  done
  SB_VIEW+=(--proc /proc --dev /dev --ro-bind /sys /sys --tmpfs /tmp --tmpfs /run --tmpfs /root)
  SB_VIEW+=(--ro-bind "$SB_ROOT" "$SB_ROOT" --setenv TMPDIR /tmp --die-with-parent)
  [ "${1:-}" = --board ] && SB_VIEW+=(--ro-bind "$SB_DIR/etc-ssh" /etc/ssh --perms 0700 --dir /root/.ssh
    --ro-bind "$SB_DIR/ssh/id_ed25519" /root/.ssh/id_ed25519)
  return 0
}

# sandbox_tree DIR: writes a sample application under DIR: app/ and AI/,
# with nested directories, text, binary and empty files.
sandbox_tree() {
  local top=$1 i
  mkdir -p "$top/app/bin" "$top/app/etc/conf.d" "$top/app/share/assets/icons" \
    "$top/AI/models/v2" "$top/AI/data"
  printf '#!/bin/sh\necho robot app\n' >"$top/app/bin/start.sh"
  chmod 755 "$top/app/bin/start.sh"
  printf 'name=robot\nversion=1.0\n' >"$top/app/etc/app.conf"
  printf 'speed=3\n' >"$top/app/etc/conf.d/motion.conf"
  head -c 65536 /dev/urandom >"$top/app/bin/robotd"
  for i in 1 2 3 4 5; do head -c $((i * 1500)) /dev/urandom >"$top/app/share/assets/icons/icon$i.png"; done
  : >"$top/app/share/empty.txt"
  head -c 262144 /dev/urandom >"$top/AI/models/detector.bin"
  head -c 131072 /dev/urandom >"$top/AI/models/v2/detector.bin"
  printf 'label\ncat\ndog\n' >"$top/AI/data/labels.txt"
  printf '\x00\x01\x02\xff\xfe binary\n' >"$top/AI/data/table.dat"
}

# sandbox_add_file PATH KIB: adds a random file of KIB KiB under /robot.
sandbox_add_file() {
  mkdir -p "$(dirname "$SB_ROBOT/$1")"
  head -c $(($2 * 1024)) /dev/urandom >"$SB_ROBOT/$1"
}

# sandbox_same_tree A B: true when the two trees hold the same directories
# and files, byte for byte.
sandbox_same_tree() { diff -r --no-dereference "$1" "$2" >/dev/null; }

# sandbox_sweep: removes the namespaces of runs that are gone. A run killed
# outright (SIGKILL) cannot remove its own; its pid is in their names.
sandbox_sweep() {
  local ns pid
  for ns in $(ip netns list | awk '/^rc(sb|bd)-[0-9]+-/ {print $1}'); do
    pid=${ns#*-} && pid=${pid%%-*}
    if [ ! -d "/proc/$pid" ]; then ip netns del "$ns"; fi
  done
}

# sandbox_up [--no-sshd | --new-host-key | --confined]: the run's
# directory, the sample tree, the keys (the board paired with the manager),
# both namespaces and the link, and the manager's sshd (none with
# --no-sshd; with --new-host-key it shows another host key than the one the
# board pinned; with --confined it confines the board's key to sftp into
# /userdata, sshd_confine). usb0 is left down and unaddressed, as on a
# fresh board.
sandbox_up() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "sandbox: must run as root (it makes network namespaces)" >&2
    return 1
  fi
  trap 'sandbox_down' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  SB_PIDS=()
  SB_DIR=$(mktemp -d "${TMPDIR:-/tmp}/rc-sandbox.XXXXXX")
  SB_CLIENT_NS=rcsb-$$-board
  SB_MANAGER_NS=rcsb-$$-manager
  SB_ROBOT=$SB_DIR/robot
  SB_USERDATA=$SB_DIR/userdata
  SB_DROP_CACHES=$SB_DIR/drop_caches
  mkdir -p "$SB_USERDATA"
  : >"$SB_DROP_CACHES"
  sandbox_tree "$SB_ROBOT"
  sshd_keys || return 1
  case ${1:-} in
  --new-host-key) sshd_new_host_key || return 1 ;;
  --confined) sshd_confine || return 1 ;;
  esac

  sandbox_sweep
  # Names with our pid: one that exists already is a dead run's whose pid we
  # now hold (the sweep keeps it, the pid being alive again).
  ip netns del "$SB_CLIENT_NS" 2>/dev/null
  ip netns del "$SB_MANAGER_NS" 2>/dev/null
  ip netns add "$SB_CLIENT_NS" && ip netns add "$SB_MANAGER_NS" || return 1
  # Different indexes on the two ends: with equal ones the kernel merges a
  # quick carrier down and up into one notification.
  ip -n "$SB_CLIENT_NS" link add usb0 index "$SB_USB_INDEX" type veth \
    peer name "$SB_PEER" index "$SB_PEER_INDEX" netns "$SB_MANAGER_NS" || return 1
  ip -n "$SB_CLIENT_NS" link set lo up
  ip -n "$SB_MANAGER_NS" link set lo up
  ip -n "$SB_MANAGER_NS" addr add "$SB_MANAGER_IP/24" dev "$SB_PEER"
  ip -n "$SB_MANAGER_NS" link set "$SB_PEER" up
  # The listeners start while usb0 is still down.
  ip netns exec "$SB_MANAGER_NS" sysctl -q -w net.ipv4.ip_nonlocal_bind=1
  [ "${1:-}" = --no-sshd ] || sshd_start
}

# sandbox_notify_start: a receiver of service notifications at
# $SB_DIR/notify, as systemd is for the client's unit (NotifyAccess=main),
# for sandbox_start_client --notify; each message is a line of
# $SB_DIR/notify.log (its own line ends as " | ").
sandbox_notify_start() {
  # shellcheck disable=SC2016 # the program is Python
  python3 -u -c 'import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
print("ready", flush=True)
while True:
    print(s.recv(4096).decode(errors="replace").replace("\n", " | "), flush=True)' "$SB_DIR/notify" \
    >"$SB_DIR/notify.log" 2>&1 &
  SB_PIDS+=("$!")
  sandbox_wait_log "$SB_DIR/notify.log" '^ready$' 10
}

# sandbox_board COMMAND...: runs COMMAND in the board's network namespace.
sandbox_board() { ip netns exec "$SB_CLIENT_NS" "$@"; }

# sandbox_start_client [--bin PATH] [--log FILE] [--wrapper WORDS]
# [--systemd SOCKET] [--notify SOCKET]: starts the client (PATH, default the
# built one) in the board's namespace under bubblewrap, as on a paired board
# (sandbox_view --board). Its output goes to FILE (default
# $SB_DIR/client.log); WRAPPER (words, e.g. "valgrind -q") runs it under
# that command, in the same process. --systemd binds SOCKET (a stand-in's,
# rc-systemd-peer) over /run/systemd/private, systemd's own socket;
# --notify binds a datagram SOCKET over /run/systemd/notify and sets
# NOTIFY_SOCKET to it, as systemd does for a unit with NotifyAccess=. Its
# /run/robot-client is $SB_DIR/run-robot-client and its /var/lib (nothing
# else in it) holds $SB_DIR/var-lib-robot-client, the same for each client of
# the run. Sets SB_CLIENT_PID, SB_CLIENT_LOG, SB_CLIENT_RUN and
# SB_CLIENT_STATE.
sandbox_start_client() {
  local bin=$SB_CLIENT_BIN wrapper=() info=$SB_DIR/client.info i systemd=()
  SB_CLIENT_LOG=$SB_DIR/client.log
  SB_CLIENT_RUN=$SB_DIR/run-robot-client
  SB_CLIENT_STATE=$SB_DIR/var-lib-robot-client
  while [ $# -gt 0 ]; do
    case $1 in
    --bin) bin=$2 ;;
    --log) SB_CLIENT_LOG=$2 ;;
    --wrapper) read -ra wrapper <<<"$2" ;;
    --systemd) systemd+=(--bind "$2" /run/systemd/private) ;;
    --notify) systemd+=(--bind "$2" /run/systemd/notify --setenv NOTIFY_SOCKET /run/systemd/notify) ;;
    esac
    shift 2
  done
  [ -x "$bin" ] || {
    echo "sandbox: no client binary at $bin" >&2
    return 1
  }
  sandbox_view --board
  mkdir -p "$SB_CLIENT_RUN" "$SB_CLIENT_STATE"
  : >"$info"
  sandbox_board bwrap "${SB_VIEW[@]}" --ro-bind "$(dirname "$bin")" "$(dirname "$bin")" --ro-bind "$SB_ROBOT" /robot \
    --bind "$SB_DROP_CACHES" /proc/sys/vm/drop_caches --bind "$SB_CLIENT_RUN" /run/robot-client \
    --tmpfs /var/lib --bind "$SB_CLIENT_STATE" /var/lib/robot-client "${systemd[@]}" \
    --info-fd 3 -- "${wrapper[@]}" "$bin" \
    </dev/null >"$SB_CLIENT_LOG" 2>&1 3>"$info" &
  SB_BWRAP_PID=$!
  SB_PIDS+=("$SB_BWRAP_PID")
  SB_CLIENT_PID=
  for ((i = 0; i < 100; i++)); do
    SB_CLIENT_PID=$(sed -n 's/.*"child-pid": *\([0-9]*\).*/\1/p' "$info")
    [ -n "$SB_CLIENT_PID" ] && return 0
    kill -0 "$SB_BWRAP_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "sandbox: client did not start" >&2
  cat "$SB_CLIENT_LOG" >&2
  return 1
}

# sandbox_wait_client [SECS]: waits for the client to end; returns its exit
# status, or 124 when it still runs after SECS (default 60).
sandbox_wait_client() { proc_wait "$SB_BWRAP_PID" "${1:-60}"; }

# sandbox_interrupt_client: SIGINT to the client process alone.
sandbox_interrupt_client() { kill -INT "$SB_CLIENT_PID"; }

# sandbox_show: streams the client's log and the manager's events to the
# terminal until the client ends.
sandbox_show() {
  tail -n +1 -s 0.2 -f --pid="$SB_BWRAP_PID" "$SB_CLIENT_LOG" &
  SB_PIDS+=($!)
  tail -n +1 -s 0.2 -f --pid="$SB_BWRAP_PID" "$SB_DIR/manager.log" > >(sed -u 's/^/        manager | /') &
  SB_PIDS+=($!)
}

# sandbox_client_log [FROM]: the client's log without colours and empty
# lines, from line FROM + 1 on (default: all of it).
sandbox_client_log() {
  sed -e 's/\x1b\[[0-9;]*m//g' -e '/^$/d' "${SB_CLIENT_LOG:-/dev/null}" 2>/dev/null | tail -n +$((${1:-0} + 1))
}

# sandbox_wait_log FILE REGEX [SECS] [COUNT]: waits until FILE holds COUNT
# (default 1) lines that match the extended REGEX, ANSI colours ignored;
# says so and returns 1 after SECS (default 30).
sandbox_wait_log() {
  local file=$1 regex=$2 secs=${3:-30} count=${4:-1}
  proc_until "$secs" _sandbox_has "$file" "$regex" "$count" && return 0
  echo "sandbox: timed out after ${secs}s waiting for /$regex/ x$count in $file" >&2
  return 1
}
_sandbox_has() { [ "$(sed 's/\x1b\[[0-9;]*m//g' "$1" 2>/dev/null | grep -cE -- "$2")" -ge "$3" ]; }

# sandbox_carrier down|up: takes the manager's end down or up, which takes
# usb0's carrier with it.
sandbox_carrier() { ip -n "$SB_MANAGER_NS" link set "$SB_PEER" "$1"; }

# sandbox_down: stops everything the sandbox started and removes every
# trace (SB_KEEP=1 keeps the run's directory and says where it is).
sandbox_down() {
  local pid
  trap - EXIT INT TERM
  [ -n "${SB_DIR:-}" ] || return 0
  # Stalled sshd sessions (tests stop them) must take their TERM.
  # shellcheck disable=SC2046 # a list of pids
  [ -z "${SSHD_PID:-}" ] || kill -CONT $(proc_tree "$SSHD_PID") 2>/dev/null
  # The client first, so that it cannot reconnect while the rest goes away.
  proc_stop "${SB_BWRAP_PID:-}"
  for pid in "${SB_PIDS[@]}"; do proc_stop "$pid"; done
  SB_PIDS=()
  [ -n "${SB_CLIENT_NS:-}" ] && ip netns del "$SB_CLIENT_NS" 2>/dev/null
  [ -n "${SB_MANAGER_NS:-}" ] && ip netns del "$SB_MANAGER_NS" 2>/dev/null
  if [ -n "${SB_KEEP:-}" ]; then
    echo "sandbox: kept $SB_DIR" >&2
  else
    rm -rf "$SB_DIR"
  fi
  SB_DIR=
}
