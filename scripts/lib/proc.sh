# shellcheck shell=bash
# The processes a script starts: waiting for them, and stopping them with
# everything they started in turn. Shared by the sandbox, the board virtual
# machine and the scripts that use them. Public functions are proc_*.

# proc_wait PID [SECS]: waits up to SECS (default 60) for PID, a child of
# this shell, to end. Returns its exit status, 124 when it still runs after
# SECS, 127 without a PID.
proc_wait() {
  local pid=$1 secs=${2:-60} i
  [ -n "$pid" ] || return 127
  for ((i = 0; i < secs * 10; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -0 "$pid" 2>/dev/null && return 124
  wait "$pid" 2>/dev/null
}

# proc_until SECS COMMAND...: runs COMMAND every 0.1 s until it succeeds;
# returns 1 when it still fails after SECS.
proc_until() {
  local secs=$1 i
  shift
  for ((i = 0; i < secs * 10; i++)); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# proc_tree PID: the pids of PID's children, grandchildren and so on, one a
# line (none once PID has ended).
proc_tree() {
  local child
  for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do
    echo "$child"
    proc_tree "$child"
  done
}

# proc_stop PID: ends PID, a process this script started, and what it
# started in turn (a copy the client runs, a session sshd forked): TERM,
# then KILL after 3 s. Nothing happens without a PID.
proc_stop() {
  local pid=$1 i
  [ -n "$pid" ] || return 0
  # shellcheck disable=SC2046 # a list of pids
  kill -TERM $(proc_tree "$pid") 2>/dev/null
  if kill -TERM "$pid" 2>/dev/null; then
    for ((i = 0; i < 30; i++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null
  return 0
}
