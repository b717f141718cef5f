# shellcheck shell=bash
# What the scripts that test a run in the sandbox share (system tests,
# memcheck): checks that end the script with a report, questions about
# the client's log and process, and the faults the tests inject. Source it
# after scripts/lib/sandbox.sh. CHECK_NAME names the script in its reports.
# Public functions are check_*, must_* and fault_*.

CHECK_NAME=${CHECK_NAME:-$(basename "$0" .sh)}

# fail MESSAGE...: prints MESSAGE and the ends of the client's and the
# manager's logs (when a sandbox is up), then exits 1.
fail() {
  echo "$CHECK_NAME: FAIL: $*"
  if [ -n "${SB_DIR:-}" ]; then
    echo "--- client log (last 60 lines)"
    sandbox_client_log | tail -60
    echo "--- manager log (last 40 lines)"
    tail -40 "$SB_DIR/manager.log" 2>/dev/null
  fi
  exit 1
}

# must COMMAND...: runs COMMAND; fails the script when it fails.
must() { "$@" || fail "$*"; }

# must_see_client REGEX [SECS] [COUNT]: waits until the client's log holds
# COUNT (default 1) lines matching REGEX; fails the script after SECS (30).
must_see_client() { sandbox_wait_log "$SB_CLIENT_LOG" "$@" || fail "client log: no /$1/"; }

# must_see_manager CMD [SECS] [COUNT] [EVENT]: waits until the manager has
# seen COUNT (default 1) messages whose cmd is CMD, received (EVENT recv,
# the default) or sent; fails the script after SECS (default 30).
must_see_manager() {
  local cmd=$1 secs=${2:-30} count=${3:-1} event=${4:-recv} filter=(--cmd "$1")
  [ "$event" = send ] && filter=(--text "{\"cmd\":\"$cmd\"}")
  proc_until "$secs" manager_query --event "$event" "${filter[@]}" --at-least "$count" ||
    fail "manager: no $event $cmd x$count"
}

# must_receive [-u] CONN CMD...: the manager received exactly the reports
# CMD... on connection CONN (with -u: repeats in a row counted once).
must_receive() {
  local uniq=cat got want
  [ "$1" = -u ] && uniq="uniq" && shift
  got=$(manager_query --conn "$1" --event recv | $uniq)
  want=$(shift && printf '{"cmd":"%s"}\n' "$@")
  [ "$got" = "$want" ] || fail "manager received on #$1: $(paste -sd' ' <<<"$got")"
}

# must_stop_on_sigint: SIGINT to the client, which must end in order:
# status 0, its last lines "SIGINT exit..." and "robot client exit!".
must_stop_on_sigint() {
  local status last
  sandbox_interrupt_client
  sandbox_wait_client 30
  status=$?
  [ $status -eq 0 ] || fail "exit status $status after SIGINT"
  last=$(sandbox_client_log | tail -n 2 | sed 's/^\[[^]]*\] //' | paste -sd'|')
  [ "$last" = 'WARN: SIGINT exit...|ERR: robot client exit!' ] || fail "last lines after SIGINT: $last"
}

# check_client_count REGEX [FROM]: how many lines of the client's log (after
# line FROM) match the extended REGEX.
check_client_count() { sandbox_client_log "${2:-0}" | grep -acE -- "$1"; }

# must_record REGEX KEY...: the client's deployment record, read as a fleet
# script reads it, with sh's `.` and with Python (shlex), as "KEY=VALUE" of
# each KEY on one line, must match REGEX whole, both readings alike and the
# copy kept across reboots the same.
must_record() {
  local file=$SB_CLIENT_RUN/deployment sh py
  sh=$(sh -ec '. "$1"; shift; for k; do eval "v=\${$k-}"; printf "%s=%s " "$k" "$v"; done' sh "$file" "${@:2}" 2>&1)
  py=$(python3 -c 'import shlex, sys
r = dict(w.split("=", 1) for w in shlex.split(open(sys.argv[1]).read()))
print(" ".join(k + "=" + r.get(k, "") for k in sys.argv[2:]))' "$file" "${@:2}")
  [[ "${sh% }" = "$py" && $py =~ ^$1$ ]] && cmp -s "$file" "$SB_CLIENT_STATE/last-deployment" ||
    fail "record read by sh: $sh; by Python: $py; kept: $(paste -sd' ' "$SB_CLIENT_STATE/last-deployment")"
}

# check_copies_match: /robot/app and /robot/AI arrived whole in /userdata.
check_copies_match() {
  sandbox_same_tree "$SB_ROBOT/app" "$SB_USERDATA/app" && sandbox_same_tree "$SB_ROBOT/AI" "$SB_USERDATA/AI"
}

# fault_flap [SECS]: usb0's carrier down, and up again SECS (0.5) later.
fault_flap() { sandbox_carrier down && sleep "${1:-0.5}" && sandbox_carrier up; }
