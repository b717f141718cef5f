#!/usr/bin/env bash
# Runs the client against the simulated manager in a throw-away sandbox (two
# network namespaces joined by usb0, a real sshd receiving the copies) and
# shows both sides live. Everything is removed at the end, also on Ctrl-C.
#
#   scripts/run-sandbox.sh [--client PATH] [--no-sshd] [--keep] [-- MANAGER-OPTIONS...]
#
# MANAGER-OPTIONS go to tools/sim_manager.py (see its --help), for instance
#   scripts/run-sandbox.sh -- --delay 1 --run-time 10
#   scripts/run-sandbox.sh -- --reply 'connected={"cmd":"connected"}{"cmd":"sys_mountimg"}'
#   scripts/run-sandbox.sh -- --script my-steps.txt
# --keep leaves the run's directory (logs, the copied /userdata) in /tmp.
# Run as root.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sshd='' client=()
while [ $# -gt 0 ]; do
  case $1 in
    --client) client=(--bin "$(realpath "$2")"); shift 2 ;;
    --no-sshd) sshd=--no-sshd; shift ;;
    --keep) SB_KEEP=1; shift ;;
    --) shift; break ;;
    -h | --help) sed -n '2,14s/^# \{0,1\}//p' "$0"; exit 0 ;;
    *) echo "run-sandbox.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
  esac
done
source "$root/scripts/lib/sandbox.sh"

sandbox_up $sshd || exit 1
manager_start "$@" || exit 1
sandbox_start_client "${client[@]}" || exit 1
sandbox_show
sandbox_wait_client 100000
status=$?
sleep 0.5
echo "sandbox: client exit status $status"
exit $status
