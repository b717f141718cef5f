#!/usr/bin/env bash
# One whole deployment with the client under valgrind's memcheck, in the
# whole-system sandbox (scripts/lib/sandbox.sh). Passes when the client ends
# with status 0 after sys_run_finish, the manager got every report, the
# copies match their sources, and valgrind found no memory error and no block
# definitely lost. Prints valgrind's summary. Gives up after about 2 minutes.
#
#   sudo tests/memcheck/valgrind-deploy.sh     (BUILD_DIR=... picks the build directory)
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
source scripts/lib/sandbox.sh
source tests/lib/check.sh
sandbox_build_client "${BUILD_DIR:-build}" || exit 1
must sandbox_up
# Besides the handshake, a first message whose cmd is no string, with a
# respone member: the parse, lookup and discard paths run under memcheck too.
must manager_start --run-time 2 --timeout 100 --on-connect '{"cmd":7,"respone":"x"}'
must sandbox_start_client --wrapper "valgrind --leak-check=full --error-exitcode=99 --errors-for-leak-kinds=definite"
sandbox_wait_client 110
status=$?
echo "== valgrind summary"
sandbox_client_log | grep -E '^==[0-9]+== +(HEAP SUMMARY|in use at|total heap|All heap|LEAK SUMMARY|[a-z ]+lost|still reach|suppressed|ERROR SUMMARY)'
[ $status -eq 0 ] || fail "client exit status $status (99: valgrind found errors)"
manager_wait 5 || fail "manager status $?"
# The slow first ticks under valgrind may repeat a report.
must_receive -u 1 connected sys_mount sys_mount_finish sys_run sys_run_finish
must check_copies_match
must_see_client '== ERROR SUMMARY: 0 errors from 0 contexts' 1
must_see_client '== +(definitely lost: 0 bytes in 0 blocks|All heap blocks were freed)' 1
must_see_client 'NOTICE: cmd->valuestring:\(number\) discard' 1
echo "valgrind-deploy: deployment complete under memcheck: no errors, nothing definitely lost"
