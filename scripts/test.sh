#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs every test stage. Run as root:
# the tests make network namespaces of their own, and the board test a
# virtual machine. Warnings are errors in every build this script makes.
#
# The stages that mostly wait (the boards' virtual machines, piuparts' chroot)
# run beside those that keep the processors busy
# (the builds, the fuzzers). Each stage's output is kept in
# build-logs/STAGE.log and shown when the stage ends, with its time. The
# first stage that fails ends the run: the others are stopped and its log is
# shown.
set -euo pipefail
cd "$(dirname "$0")/.."

# Everything apt installs, first: the stages then only read dpkg's records.
scripts/setup.sh
scripts/setup-arm64.sh
# Read by CMakeLists.txt as the default of RC_WERROR, so the builds that the
# stages configure for themselves (asan, clang, fuzz, arm64) fail on a
# warning too; debian/rules passes it to the packages' builds.
export RC_WERROR=ON

logs=build-logs
rm -rf "$logs" && mkdir -p "$logs"
started=$SECONDS
declare -A pids=() since=()

# stage NAME COMMAND...: runs COMMAND now; its output is kept and shown.
# A stage beside that has ended is joined first.
stage() {
  local name=$1 t=$SECONDS other
  shift
  for other in "${!pids[@]}"; do
    kill -0 "${pids[$other]}" 2>/dev/null || join "$other"
  done
  echo "== $name"
  if "$@" >"$logs/$name.log" 2>&1; then
    echo "== $name: passed in $((SECONDS - t)) s"
  else
    failed "$name"
  fi
}

# beside NAME COMMAND...: starts COMMAND beside the stages that follow. Its
# time, written when it ends, is in build-logs/.NAME.time.
beside() {
  local name=$1
  shift
  echo "== $name: started beside"
  # shellcheck disable=SC2016 # the inner shell's own variables
  setsid bash -c 's=$SECONDS; "${@:2}"; rc=$?; echo $((SECONDS - s)) >"$1"; exit $rc' \
    _ "$logs/.$name.time" "$@" >"$logs/$name.log" 2>&1 &
  pids[$name]=$! since[$name]=$SECONDS
}

# join NAME: waits for a stage started beside, and shows how it ended, with
# its own time (a stage that ended early is joined by the next stage, or at
# the end).
join() {
  [[ -v "pids[$1]" ]] || return 0
  local name=$1 pid=${pids[$1]}
  unset "pids[$name]"
  if wait "$pid"; then
    echo "== $name: passed in $(cat "$logs/.$name.time" 2>/dev/null || echo $((SECONDS - since[$name]))) s"
    tail -n 12 "$logs/$name.log"
  else
    failed "$name"
  fi
}

# failed NAME: stops what runs beside, shows NAME's log and ends the run.
failed() {
  local name=$1 other
  for other in "${!pids[@]}"; do
    kill -TERM -- "-${pids[$other]}" 2>/dev/null || true
    wait "${pids[$other]}" 2>/dev/null || true
  done
  pids=()
  echo "== $name: FAILED after $((SECONDS - started)) s; its log ($logs/$name.log):"
  tail -n 150 "$logs/$name.log" 2>/dev/null
  exit 1
}
trap 'failed interrupted' INT TERM

native() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build build -j"$(nproc)"
}
# The boards, three virtual machines from the start: the arm64 gadget board
# the product ships for; the amd64 PC with a USB NIC, and the upgrades from
# each release on an amd64 gadget board. Both guest images are built at
# once; the two amd64 boards share theirs (the second waits for the first's
# build), and each board waits for no other.
beside gadget tests/board/gadget_test.sh
beside usb-nic tests/board/usb_nic_test.sh
beside upgrades tests/board/upgrade_test.sh
# The Debian packages: the amd64 one (the board test may have built it
# already: build-deb.sh then keeps it) and the source package, checked.
package() {
  deb=$(scripts/build-deb.sh amd64 | tail -n 1) && tests/package/check-deb.sh "$deb" amd64 &&
    dsc=$(scripts/build-deb.sh source | tail -n 1) && tests/package/check-deb.sh "$dsc" source
}
# The system tests mostly wait for the client's ticks: more of them at once
# than there are processors.
stage build native
stage ctest ctest --test-dir build --output-on-failure -j6
stage lint scripts/check-lint.sh
stage sanitize scripts/check-sanitize.sh
# Half the fuzzers' default minute: a smoke test of the corpus and its
# neighbours on every run; longer runs are for the fuzzers' own sessions.
stage fuzz env FUZZ_SECONDS=30 scripts/check-fuzz.sh
stage deb package
beside piuparts scripts/check-piuparts.sh "$deb"
stage arm64 scripts/check-arm64.sh
join piuparts
join usb-nic
join upgrades
join gadget
echo "== all stages passed in $((SECONDS - started)) s"
