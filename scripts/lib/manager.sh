# shellcheck shell=bash
# The simulated manager (tools/sim_manager.py) on the manager's side of a
# sandbox or of the board's virtual machine, and questions about what it
# saw. Needs SB_DIR (the run's directory) and SB_MANAGER_NS (the manager's
# network namespace), which sandbox_up and board_up set. Each manager of a
# run writes its human log to $SB_DIR/NAME.log and its record, one JSON
# line per event, to $SB_DIR/NAME.jsonl; NAME is "manager" unless given.
# Public functions are manager_*.

MANAGER_TOOL=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tools/sim_manager.py

# manager_start [--name NAME] [OPTION...]: starts a simulated manager with
# sim_manager.py's OPTIONs and waits until it listens. The one named
# "manager" is the one manager_stop and manager_wait mean; its pid is
# MANAGER_PID. The managers of one run append to the same files.
manager_start() {
  local name=manager listening
  [ "${1:-}" = --name ] && name=$2 && shift 2
  listening=$(manager_query --name "$name" --event listen --count)
  ip netns exec "$SB_MANAGER_NS" python3 -u "$MANAGER_TOOL" --record "$SB_DIR/$name.jsonl" "$@" \
    </dev/null >>"$SB_DIR/$name.log" 2>&1 &
  SB_PIDS+=($!)
  [ "$name" = manager ] && MANAGER_PID=$!
  proc_until 10 manager_query --name "$name" --event listen --at-least $((listening + 1)) || {
    echo "manager: $name did not start:" >&2
    cat "$SB_DIR/$name.log" >&2
    return 1
  }
}

# manager_stop: ends the manager (TERM), if it still runs.
manager_stop() { proc_stop "$MANAGER_PID"; }

# manager_wait [SECS]: waits for the manager to end by itself (default 60
# s); its exit status (0: the run went as planned; see sim_manager.py).
manager_wait() { proc_wait "$MANAGER_PID" "${1:-60}"; }

# manager_query [--name NAME] [QUERY-OPTION...]: answers a question about
# what the managers of this run saw, as `sim_manager.py query` does: the
# texts of matching events one a line, or --count, --times, --at-least N
# (the exit status). For instance the reports received on connection 1:
#   manager_query --conn 1 --event recv
manager_query() {
  local name=manager
  [ "${1:-}" = --name ] && name=$2 && shift 2
  python3 "$MANAGER_TOOL" query "$SB_DIR/$name.jsonl" "$@"
}
