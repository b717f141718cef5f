# shellcheck shell=bash
# A whole-system sandbox for robot-client: the board and the manager as two
# network namespaces joined by a veth pair, a real sshd and the simulated
# manager on the manager's side, and the client under bubblewrap with its own
# /robot, /root/.ssh and /proc/sys/vm/drop_caches. Nothing on the host is
# touched: the host's /robot, /userdata and /root/.ssh are never mounted on
# or created. Needs root, iproute2, bubblewrap, openssh-server, python3.
#
# Source this file, then:
#   sandbox_up [--no-sshd | --new-host-key]
#                                  namespaces, link, keys, sample trees, sshd
#   sandbox_start_manager [OPT..]  tools/sim_manager.py with those options
#   sandbox_start [OPT..]          the manager with those options, then the client
#   sandbox_start_client           the client (SB_CLIENT_BIN) in the board's namespace;
#                                  SB_CLIENT_WRAPPER (words, e.g. "valgrind -q")
#                                  runs it under that command, in the same process
#   sandbox_wait_client [SECS]     waits for it to end; returns its exit status
#   sandbox_down                   stops everything and removes every trace
#   fail, must, must_see_client, must_see_manager, must_receive,
#   must_stop_on_sigint   checks for the scripts that test a run (at the end)
# sandbox_up installs an EXIT trap that calls sandbox_down, and INT/TERM traps
# that exit (and so call it); a caller with its own EXIT trap calls
# sandbox_down from it.
#
# After sandbox_up:
#   SB_DIR          the run's temporary directory
#   SB_ROBOT        the sample /robot tree the client sees (read-only)
#   SB_USERDATA     the manager's /userdata, where the copies land
#   SB_DROP_CACHES  the file the client sees as /proc/sys/vm/drop_caches
#   SB_CLIENT_LOG, SB_MANAGER_LOG, SB_SSHD_LOG  the logs
#   SB_CLIENT_NS, SB_MANAGER_NS  the namespace names
#   SB_USB_INDEX    usb0's interface index; SB_PEER the manager's end (mgr0)
# After sandbox_start_client: SB_CLIENT_PID, the client process itself (for
# kill -INT and /proc/PID/fd).

SB_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
: "${SB_CLIENT_BIN:=$SB_ROOT/build/client/robot-client}"
SB_USB_INDEX=40
SB_PEER_INDEX=41
SB_PEER=mgr0
SB_MANAGER_IP=10.10.10.2

# Installs what is missing and builds the client into ${BUILD_DIR:-build}
# (configured on first use), then points SB_CLIENT_BIN at it.
sandbox_build_client() {
  local build=${BUILD_DIR:-build}
  (cd "$SB_ROOT" && scripts/setup.sh) || return 1
  if [ ! -f "$SB_ROOT/$build/CMakeCache.txt" ]; then
    cmake -S "$SB_ROOT" -B "$SB_ROOT/$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || return 1
  fi
  cmake --build "$SB_ROOT/$build" --target robot-client -j"$(nproc)" >/dev/null || return 1
  SB_CLIENT_BIN=$SB_ROOT/$build/client/robot-client
}

# Runs a command in the board's (client's) network namespace.
sb_client() { ip netns exec "$SB_CLIENT_NS" "$@"; }
# Runs a command in the manager's network namespace.
sb_manager() { ip netns exec "$SB_MANAGER_NS" "$@"; }

sb_say() { printf 'sandbox: %s\n' "$*" >&2; }

# bwrap arguments for a read-only view of the host's root with fresh /proc,
# /dev, /tmp, /run and /root. Top-level entries are bound one by one, so a
# path that the host lacks (/robot, /userdata) exists only in the view.
sb_root_view() {
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
  SB_VIEW+=(--die-with-parent)
}

# Writes a sample application tree: nested directories, text and binary files.
sb_make_tree() {
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

# Keys and ssh set-up, paired the way a board is: the pairing script makes
# root's key in $SB_DIR/ssh (the client's /root/.ssh) and pins the sandbox
# sshd's host key in $SB_DIR/etc-ssh (the client's /etc/ssh: the host's
# client configuration plus the shipped drop-in); the sshd takes the line it
# prints for authorized_keys. $SB_DIR/ssh/robot-manager_known_hosts keeps a
# copy of the pin for other machines (it is not shown to the client).
sb_make_keys() {
  local ssh=$SB_DIR/ssh sshd=$SB_DIR/sshd etc=$SB_DIR/etc-ssh
  mkdir -p "$ssh" "$sshd" "$etc"
  chmod 700 "$ssh"
  cp -a /etc/ssh/ssh_config /etc/ssh/ssh_config.d "$etc/"
  cp "$SB_ROOT/packaging/ssh/robot-client.conf" "$etc/ssh_config.d/"
  ssh-keygen -q -t ed25519 -N '' -f "$sshd/ssh_host_ed25519_key"
  if ! sb_pair "$SB_DIR/pair.log" "$sshd/ssh_host_ed25519_key.pub" ||
    ! grep '^from=' "$SB_DIR/pair.log" >"$sshd/authorized_keys"; then
    sb_say "pairing failed:"
    cat "$SB_DIR/pair.log" >&2
    return 1
  fi
  cp "$etc/robot-manager_known_hosts" "$ssh/"
  cat >"$sshd/sshd_config" <<EOF
ListenAddress $SB_MANAGER_IP
Port 22
HostKey $sshd/ssh_host_ed25519_key
PidFile none
AuthorizedKeysFile $sshd/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PrintMotd no
PrintLastLog no
Subsystem sftp internal-sftp
EOF
}

# sb_pair LOG [HOST-KEY-FILE]: runs the shipped pairing script as the
# board's root would, with $SB_DIR/ssh as /root/.ssh and $SB_DIR/etc-ssh as
# /etc/ssh; its output goes to LOG. Without a key file the script scans the
# manager over usb0, so it runs in the board's namespace.
sb_pair() {
  local log=$1 netns=()
  shift
  [ $# -gt 0 ] || netns=(ip netns exec "$SB_CLIENT_NS")
  sb_root_view
  "${netns[@]}" bwrap "${SB_VIEW[@]}" --bind "$SB_DIR/ssh" /root/.ssh --bind "$SB_DIR/etc-ssh" /etc/ssh \
    --ro-bind "$SB_DIR/sshd" "$SB_DIR/sshd" -- sh "$SB_ROOT/packaging/robot-client-pair" "$@" </dev/null >"$log" 2>&1
}

# Adds to SB_VIEW what the board's ssh sees, as on a paired board: /etc/ssh
# with the shipped drop-in and the pinned host key, and root's key alone in
# /root/.ssh.
sb_board_ssh_view() {
  SB_VIEW+=(--ro-bind "$SB_DIR/etc-ssh" /etc/ssh --perms 0700 --dir /root/.ssh
    --ro-bind "$SB_DIR/ssh/id_ed25519" /root/.ssh/id_ed25519)
}

# sandbox_up [--no-sshd | --new-host-key]: with --new-host-key the sshd shows
# another host key than the one the board pinned when it paired.
sandbox_up() {
  local sshd=1
  [ "${1:-}" = --no-sshd ] && sshd=0
  if [ "$(id -u)" -ne 0 ]; then
    sb_say "must run as root (it makes network namespaces)"
    return 1
  fi
  trap 'sandbox_down' EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  SB_PIDS=()
  SB_DIR=$(mktemp -d /tmp/rc-sandbox.XXXXXX)
  SB_CLIENT_NS=rcsb-$$-board
  SB_MANAGER_NS=rcsb-$$-manager
  SB_ROBOT=$SB_DIR/robot
  SB_USERDATA=$SB_DIR/userdata
  SB_DROP_CACHES=$SB_DIR/drop_caches
  SB_CLIENT_LOG=$SB_DIR/client.log
  SB_MANAGER_LOG=$SB_DIR/manager.log
  SB_SSHD_LOG=$SB_DIR/sshd.log
  mkdir -p "$SB_USERDATA"
  : >"$SB_DROP_CACHES"
  sb_make_tree "$SB_ROBOT"
  sb_make_keys || return 1
  if [ "${1:-}" = --new-host-key ]; then
    ssh-keygen -q -t ed25519 -N '' -f "$SB_DIR/sshd/ssh_host_ed25519_key" <<<y >/dev/null || return 1
  fi

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
  sb_manager sysctl -q -w net.ipv4.ip_nonlocal_bind=1
  [ $sshd -eq 1 ] && sb_start_sshd
  return 0
}

sb_start_sshd() {
  sb_root_view
  sb_manager bwrap "${SB_VIEW[@]}" --dir /run/sshd --ro-bind "$SB_DIR/sshd" "$SB_DIR/sshd" \
    --bind "$SB_USERDATA" /userdata -- /usr/sbin/sshd -D -e -f "$SB_DIR/sshd/sshd_config" \
    </dev/null >"$SB_SSHD_LOG" 2>&1 &
  SB_SSHD_PID=$!
  SB_PIDS+=("$SB_SSHD_PID")
  sandbox_wait_for "$SB_SSHD_LOG" 'Server listening' 10 ||
    {
      sb_say "sshd did not start:"
      cat "$SB_SSHD_LOG" >&2
      return 1
    }
}

# sandbox_start_manager [sim_manager.py options...]
sandbox_start_manager() {
  # The log is shared by the managers of one run: wait for this one's line.
  local listens
  listens=$(grep -c ' listen ' "$SB_MANAGER_LOG" 2>/dev/null)
  sb_manager python3 -u "$SB_ROOT/tools/sim_manager.py" "$@" </dev/null >>"$SB_MANAGER_LOG" 2>&1 &
  SB_MANAGER_PID=$!
  SB_PIDS+=("$SB_MANAGER_PID")
  sandbox_wait_for "$SB_MANAGER_LOG" ' listen ' 10 $((${listens:-0} + 1)) || {
    sb_say "manager did not start:"
    cat "$SB_MANAGER_LOG" >&2
    return 1
  }
}

# sandbox_stop_manager: ends the simulated manager (TERM), if it still runs.
sandbox_stop_manager() {
  sb_stop "$SB_MANAGER_PID"
}

# sandbox_wait_manager [SECS]: waits for the simulated manager to end; its status.
sandbox_wait_manager() {
  sb_wait_pid "$SB_MANAGER_PID" "${1:-60}"
}

# sandbox_start [sim_manager.py options...]: the simulated manager, then the client.
sandbox_start() { sandbox_start_manager "$@" && sandbox_start_client; }

sandbox_start_client() {
  local bindir info
  bindir=$(dirname "$SB_CLIENT_BIN")
  [ -x "$SB_CLIENT_BIN" ] || {
    sb_say "no client binary at $SB_CLIENT_BIN"
    return 1
  }
  sb_root_view
  sb_board_ssh_view
  info=$SB_DIR/client.info
  : >"$info"
  # shellcheck disable=SC2086 # the wrapper is split into words
  sb_client bwrap "${SB_VIEW[@]}" --ro-bind "$bindir" "$bindir" --ro-bind "$SB_ROBOT" /robot \
    --bind "$SB_DROP_CACHES" /proc/sys/vm/drop_caches \
    --info-fd 3 -- ${SB_CLIENT_WRAPPER:-} "$SB_CLIENT_BIN" </dev/null >"$SB_CLIENT_LOG" 2>&1 3>"$info" &
  SB_BWRAP_PID=$!
  SB_PIDS+=("$SB_BWRAP_PID")
  SB_CLIENT_PID=
  local i
  for ((i = 0; i < 100; i++)); do
    SB_CLIENT_PID=$(sed -n 's/.*"child-pid": *\([0-9]*\).*/\1/p' "$info")
    [ -n "$SB_CLIENT_PID" ] && return 0
    kill -0 "$SB_BWRAP_PID" 2>/dev/null || break
    sleep 0.05
  done
  sb_say "client did not start"
  cat "$SB_CLIENT_LOG" >&2
  return 1
}

# sandbox_show: streams the client's log and the manager's events to the
# terminal until the client ends.
sandbox_show() {
  tail -n +1 -s 0.2 -f --pid="$SB_BWRAP_PID" "$SB_CLIENT_LOG" &
  SB_PIDS+=($!)
  tail -n +1 -s 0.2 -f --pid="$SB_BWRAP_PID" "$SB_MANAGER_LOG" > >(sed -u 's/^/        manager | /') &
  SB_PIDS+=($!)
}

# sandbox_wait_client [SECS]: waits for the client to end; returns its exit
# status, or 124 when it is still running after SECS (default 60).
sandbox_wait_client() {
  sb_wait_pid "$SB_BWRAP_PID" "${1:-60}"
}

# sandbox_interrupt_client: SIGINT to the client process alone.
sandbox_interrupt_client() {
  kill -INT "$SB_CLIENT_PID"
}

sb_wait_pid() {
  local pid=$1 secs=$2 i status
  [ -n "$pid" ] || return 127
  for ((i = 0; i < secs * 10; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && return 124
  wait "$pid" 2>/dev/null
  status=$?
  return $status
}

# sb_wait_until SECS COMMAND...: runs COMMAND every 0.1 s until it succeeds;
# false when it still fails after SECS.
sb_wait_until() {
  local secs=$1 i
  shift
  for ((i = 0; i < secs * 10; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# sb_descendants PID: the pids of PID's children, grandchildren and so on.
sb_descendants() {
  local child
  for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do
    echo "$child"
    sb_descendants "$child"
  done
}

# Ends one process this sandbox started, and what it started in turn (a
# copy the client runs, a session sshd forked): TERM, then KILL after 3 s.
sb_stop() {
  local pid=$1 i
  [ -n "$pid" ] || return 0
  # shellcheck disable=SC2046
  kill -TERM $(sb_descendants "$pid") 2>/dev/null
  kill -0 "$pid" 2>/dev/null || {
    wait "$pid" 2>/dev/null
    return 0
  }
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < 30; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

sandbox_down() {
  local pid
  trap - EXIT INT TERM
  [ -n "${SB_DIR:-}" ] || return 0
  sandbox_resume_sshd
  # The client first, so that it cannot reconnect while the rest goes away.
  [ -n "${SB_BWRAP_PID:-}" ] && sb_stop "$SB_BWRAP_PID"
  for pid in "${SB_PIDS[@]}"; do sb_stop "$pid"; done
  SB_PIDS=()
  [ -n "${SB_CLIENT_NS:-}" ] && ip netns del "$SB_CLIENT_NS" 2>/dev/null
  [ -n "${SB_MANAGER_NS:-}" ] && ip netns del "$SB_MANAGER_NS" 2>/dev/null
  if [ -n "${SB_KEEP:-}" ]; then
    sb_say "kept $SB_DIR"
  else
    rm -rf "$SB_DIR"
  fi
  SB_DIR=
}

# sandbox_wait_for FILE REGEX [SECS] [COUNT]: waits until FILE holds COUNT
# (default 1) lines matching the extended REGEX; ANSI colours are ignored.
sandbox_wait_for() {
  local file=$1 regex=$2 secs=${3:-30} count=${4:-1} i
  for ((i = 0; i < secs * 10; i++)); do
    [ "$(sb_plain "$file" | grep -cE -- "$regex")" -ge "$count" ] && return 0
    sleep 0.1
  done
  sb_say "timed out after ${secs}s waiting for /$regex/ x$count in $file"
  return 1
}

# sb_plain FILE: the file without its ANSI colour commands.
sb_plain() { sed 's/\x1b\[[0-9;]*m//g' "$1" 2>/dev/null; }

# sandbox_received [CONN]: the texts the manager received (on connection
# CONN only, if given), one a line.
sandbox_received() {
  sed -nE "s/^[^ ]+ [^ ]+ #${1:-[0-9]+} recv //p" "$SB_MANAGER_LOG"
}

# sandbox_client_log: the client's log without colours and empty lines.
sandbox_client_log() { sb_plain "$SB_CLIENT_LOG" | sed '/^$/d'; }

# sandbox_in_order TEXT...: true when the client's log holds lines containing
# the TEXTs in this order (other lines may come between them). With
# SB_LOG_FROM=N only lines after the first N count. Prints the first TEXT
# that is missing.
sandbox_in_order() {
  sandbox_client_log | tail -n +$((${SB_LOG_FROM:-0} + 1)) | awk '
    BEGIN { for (i = 1; i < ARGC; i++) want[i] = ARGV[i]; n = ARGC - 1; k = 1; ARGC = 1 }
    k <= n && index($0, want[k]) { k++ }
    END { if (k <= n) { print "missing in order: " want[k]; exit 1 } }' "$@"
}

# sandbox_recv_times CONN TEXT: the manager's clock (seconds from its start)
# at each receipt of TEXT on connection CONN, one a line.
sandbox_recv_times() {
  awk -v conn="#$1" -v text="$2" '$3 == conn && $4 == "recv" && $5 == text { print substr($2, 2) }' "$SB_MANAGER_LOG"
}

# sb_steps_handshake: simulated-manager script steps that answer connected,
# sys_mount and sys_run as the manager does.
sb_steps_handshake() {
  printf 'expect %s\nsend {"cmd":"%s"}\n' connected connected sys_mount sys_mountimg sys_run sys_runing
}

# sandbox_client_lines: number of lines in the client's log so far (for SB_LOG_FROM).
sandbox_client_lines() { sandbox_client_log | wc -l; }

# sandbox_client_fds: number of descriptors the client holds open.
sandbox_client_fds() {
  find "/proc/$SB_CLIENT_PID/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l
}

# sandbox_client_sample: "FDS TCP RSS": the client's open descriptors, how
# many of them are TCP sockets, and its VmRSS in KiB.
sandbox_client_sample() {
  local pid=$SB_CLIENT_PID tcp
  tcp=$(comm -12 <(find "/proc/$pid/fd" -mindepth 1 -printf '%l\n' 2>/dev/null |
    sed -n 's/^socket:\[\([0-9]*\)\]$/\1/p' | sort) <(awk 'NR > 1 { print $10 }' "/proc/$pid/net/tcp" | sort) | wc -l)
  echo "$(sandbox_client_fds) $tcp $(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status")"
}

# sandbox_steady_sample NAME: prints a sample taken while the client holds
# one manager connection and runs no command, equal to a second one 0.3 s
# later (tries for about 12 s; fails when there is none). Keeps the client's
# descriptor list and smaps as $SB_DIR/fds.NAME and smaps.NAME.
sandbox_steady_sample() {
  local i a b
  for ((i = 0; i < 40; i++)); do
    a=$(sandbox_client_sample)
    sleep 0.3
    b=$(sandbox_client_sample)
    if [ "$a" = "$b" ] && [ "$(cut -d' ' -f2 <<<"$a")" = 1 ] && ! sandbox_client_in_command; then
      ls -l "/proc/$SB_CLIENT_PID/fd" >"$SB_DIR/fds.$1" && cp "/proc/$SB_CLIENT_PID/smaps" "$SB_DIR/smaps.$1"
      echo "$a"
      return 0
    fi
  done
  return 1
}

# sandbox_carrier down|up: takes the manager's end down or up, which takes
# usb0's carrier with it.
sandbox_carrier() {
  ip -n "$SB_MANAGER_NS" link set "$SB_PEER" "$1"
}

# sandbox_flap [SECS]: usb0's carrier down, and up again SECS (default 0.5) later.
sandbox_flap() { sandbox_carrier down && sleep "${1:-0.5}" && sandbox_carrier up; }

# sandbox_usb0_address IP: usb0 gets the address IP/24 and is set up.
sandbox_usb0_address() { sb_client ip addr add "$1/24" dev usb0 && sb_client ip link set usb0 up; }

# sandbox_stall_sshd: stops (SIGSTOP) the sshd's session processes, not its
# listener, so that a transfer in progress stalls; sandbox_resume_sshd (and
# sandbox_down) let them go on.
sandbox_stall_sshd() {
  # shellcheck disable=SC2046,SC2086 # pid lists
  SB_STALLED=$(sb_descendants $(cat /proc/"$SB_SSHD_PID"/task/*/children)) && [ -n "$SB_STALLED" ] &&
    kill -STOP $SB_STALLED
}
sandbox_resume_sshd() {
  # shellcheck disable=SC2086
  [ -z "${SB_STALLED:-}" ] || kill -CONT $SB_STALLED 2>/dev/null
  SB_STALLED=
}

# sandbox_rate_limit RATE|off: a tbf limit on usb0's egress (the copies).
sandbox_rate_limit() {
  if [ "$1" = off ]; then
    tc -n "$SB_CLIENT_NS" qdisc del dev usb0 root 2>/dev/null
    return 0
  fi
  tc -n "$SB_CLIENT_NS" qdisc replace dev usb0 root tbf rate "$1" burst 16kb latency 2s
}

# sandbox_bridges COUNT [PREFIX]: creates COUNT bridges in the board's
# namespace, each sending link notifications to the client.
sandbox_bridges() {
  local i prefix=${2:-sbbr}
  for ((i = 0; i < $1; i++)); do
    ip -n "$SB_CLIENT_NS" link add "$prefix$i" type bridge || return 1
  done
}

# sandbox_same_tree A B: true when the two trees hold the same files, byte
# for byte (and the same directories).
sandbox_same_tree() {
  diff -r --no-dereference "$1" "$2" >/dev/null
}

# sandbox_copies_match: /robot/app and /robot/AI arrived whole in /userdata.
sandbox_copies_match() {
  sandbox_same_tree "$SB_ROBOT/app" "$SB_USERDATA/app" && sandbox_same_tree "$SB_ROBOT/AI" "$SB_USERDATA/AI"
}

# sandbox_client_in_command: true while the client waits for a command it
# started (a copy, the interface bring-up).
sandbox_client_in_command() {
  [ -n "$(sb_descendants "$SB_CLIENT_PID")" ]
}

# --- Shared by the scripts that check a run (tests, soak, memcheck) ---
# SB_NAME names the script in their messages (default: its file name).

# fail MESSAGE...: prints MESSAGE and the ends of the client's and the
# manager's logs (when a sandbox is up), then exits 1.
fail() {
  echo "${SB_NAME:-$(basename "$0" .sh)}: FAIL: $*"
  if [ -n "${SB_DIR:-}" ]; then
    echo "--- client log (last 60 lines)"
    sandbox_client_log | tail -60
    echo "--- manager log (last 40 lines)"
    tail -40 "$SB_MANAGER_LOG" 2>/dev/null
  fi
  exit 1
}

# must COMMAND...: runs COMMAND; fails the script when it fails.
must() { "$@" || fail "$*"; }

# must_see_client / must_see_manager REGEX [SECS] [COUNT]: sandbox_wait_for
# on the client's or the manager's log; fails the script on time-out.
must_see_client() { sandbox_wait_for "$SB_CLIENT_LOG" "$@" || fail "client log: no /$1/"; }
must_see_manager() { sandbox_wait_for "$SB_MANAGER_LOG" "$@" || fail "manager log: no /$1/"; }

# sb_count_client REGEX: client log lines (after the first SB_LOG_FROM) that
# match the extended REGEX.
sb_count_client() {
  sandbox_client_log | tail -n +$((${SB_LOG_FROM:-0} + 1)) | grep -acE -- "$1"
}

# sb_client_tail N: the client's last N log lines without their time stamps.
sb_client_tail() { sandbox_client_log | tail -n "$1" | sed 's/^\[[^]]*\] //'; }

# sb_msgs CMD...: the client's report texts for these commands, one a line.
sb_msgs() { printf '{"cmd":"%s"}\n' "$@"; }

# must_receive [-u] CONN CMD...: the manager received exactly the reports
# CMD... on connection CONN (with -u: repeats in a row counted once).
must_receive() {
  local uniq=cat got
  [ "$1" = -u ] && uniq="uniq" && shift
  got=$(sandbox_received "$1" | $uniq)
  [ "$got" = "$(shift && sb_msgs "$@")" ] || fail "manager received on #$1: $(paste -sd' ' <<<"$got")"
}

# must_stop_on_sigint: SIGINT to the client, which must end in order:
# status 0, its last lines "SIGINT exit..." and "robot client exit!".
must_stop_on_sigint() {
  local status
  sandbox_interrupt_client
  sandbox_wait_client 30
  status=$?
  [ $status -eq 0 ] || fail "exit status $status after SIGINT"
  [ "$(sb_client_tail 2)" = "$(printf 'WARN: SIGINT exit...\nERR: robot client exit!')" ] ||
    fail "last lines after SIGINT: $(sb_client_tail 2 | paste -sd'|')"
}
