#!/usr/bin/env bash
# One whole deployment with the client under valgrind's memcheck, in the
# whole-system sandbox (board and manager namespaces joined by usb0, a real
# sshd receiving the copies, the simulated manager). Passes when the client
# ends with status 0 after sys_run_finish, the copies match their sources,
# and valgrind found no memory error and no block definitely lost. Prints
# valgrind's summary lines. Bounded: gives up after about 2 minutes.
#
#   sudo scripts/valgrind-deploy.sh     (BUILD_DIR=... picks the build directory)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

# shellcheck disable=SC2034 # read by scripts/lib/sandbox.sh
SB_CLIENT_WRAPPER="valgrind --leak-check=full --error-exitcode=99 --errors-for-leak-kinds=definite"
# shellcheck source=scripts/lib/sandbox.sh
. scripts/lib/sandbox.sh
sandbox_build_client || exit 1

fail() {
  echo "valgrind-deploy: FAIL: $*"
  echo "--- client log (last 60 lines)"
  sandbox_client_log | tail -60
  echo "--- manager log"
  cat "$SB_MANAGER_LOG"
  exit 1
}

sandbox_up || exit 1
# Besides the handshake, a first message whose cmd is no string, with a
# respone member: the parse, lookup and discard paths run under memcheck too.
sandbox_start_manager --run-time 2 --timeout 100 --on-connect '{"cmd":7,"respone":"x"}' || exit 1
started=$(date +%s)
sandbox_start_client || exit 1
sandbox_wait_client 110
status=$?
sandbox_wait_manager 5
manager_status=$?
elapsed=$(($(date +%s) - started))

summary=$(sandbox_client_log | grep -E '^==[0-9]+== +(HEAP SUMMARY|in use at exit|total heap usage|All heap blocks|LEAK SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable|suppressed|ERROR SUMMARY)')
echo "== valgrind summary (client, ${elapsed} s)"
echo "$summary"

[ "$status" -eq 0 ] || fail "client exit status $status (99: valgrind found errors)"
[ "$manager_status" -eq 0 ] || fail "manager status $manager_status"
# Each report in order; the slow first ticks may announce the client twice.
[ "$(sandbox_received | uniq | paste -sd' ')" = "$(printf '{"cmd":"%s"} ' connected sys_mount sys_mount_finish sys_run sys_run_finish | sed 's/ $//')" ] ||
  fail "manager received: $(sandbox_received | paste -sd' ')"
sandbox_copies_match || fail "the copies differ from /robot"
grep -q 'ERROR SUMMARY: 0 errors from 0 contexts' <<<"$summary" || fail "memcheck reported errors"
if grep -q 'definitely lost:' <<<"$summary"; then
  grep -q 'definitely lost: 0 bytes in 0 blocks' <<<"$summary" || fail "memory definitely lost"
else
  grep -q 'All heap blocks were freed' <<<"$summary" || fail "no leak summary from valgrind"
fi
sandbox_client_log | grep -qF 'cmd->valuestring:(number) discard' || fail "the odd first message was not handled"
echo "valgrind-deploy: deployment complete under memcheck: no errors, nothing definitely lost"
