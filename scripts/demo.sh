#!/usr/bin/env bash
# One whole deployment, end to end, on this machine: installs what is
# missing, builds if needed, then runs the real client against the
# simulated manager in a sandbox (board and manager as two network
# namespaces joined by usb0, a real sshd receiving the copies), shows the
# client's log live and ends with a summary. Exit status 0 when the
# deployment went through and every copied file matches its source.
#
#   sudo scripts/demo.sh            (BUILD_DIR=... picks another build directory)
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1

source scripts/lib/sandbox.sh
sandbox_build_client "${BUILD_DIR:-build}" || exit 1

sandbox_up || exit 1
manager_start --run-time 3 --timeout 120 || exit 1
echo "demo: board usb0 <-> manager 10.10.10.2 (simulated manager, sshd); client log follows"
started=$(date +%s.%N)
sandbox_start_client || exit 1
sandbox_show
sandbox_wait_client 120
status=$?
ended=$(date +%s.%N)
manager_wait 5
manager_status=$?
sleep 0.3

declare -A state_names=([0]=IDLE [1]=CONNECTED [4]=MOUNTING [5]=MOUNT_FINISH [7]=RUNNING [8]=RUN_FINISH)
states=$(sandbox_client_log | sed -n 's/.*updateInfo_onTimer status =\([0-9]*\) .*/\1/p' | uniq |
  while read -r n; do echo "${state_names[$n]:-$n}"; done | paste -sd' ')

files=0 same=0 bytes=0
while IFS= read -r -d '' src; do
  rel=${src#"$SB_ROBOT"/}
  files=$((files + 1))
  if cmp -s "$src" "$SB_USERDATA/$rel"; then
    same=$((same + 1))
    bytes=$((bytes + $(stat -c %s "$src")))
  else
    echo "demo: differs or missing on the manager: /userdata/$rel"
  fi
done < <(find "$SB_ROBOT/app" "$SB_ROBOT/AI" -type f -print0)

echo
echo "== summary"
echo "states passed:     $states"
echo "manager received:  $(manager_query --event recv | paste -sd' ')"
echo "files copied:      $same of $files identical byte for byte ($bytes bytes, /robot/app and /robot/AI -> /userdata)"
echo "page cache drop:   $([ -s "$SB_DROP_CACHES" ] && echo "written ($(tr -d '\n' <"$SB_DROP_CACHES"))" || echo "not written")"
echo "time taken:        $(awk "BEGIN { printf \"%.1f\", $ended - $started }") s"
echo "client exit:       $status (manager $manager_status)"

ok=1
[ "$status" -eq 0 ] && [ "$manager_status" -eq 0 ] && [ "$files" -gt 0 ] && [ "$same" -eq "$files" ] || ok=0
[ "$states" = "IDLE CONNECTED MOUNTING MOUNT_FINISH RUNNING RUN_FINISH" ] || ok=0
if [ $ok -eq 1 ]; then
  echo "demo: deployment complete"
  exit 0
fi
echo "demo: deployment FAILED (logs: rerun with SB_KEEP=1 to keep $SB_DIR)"
exit 1
