#!/usr/bin/env bash
# The arm64 stage: cross-builds robot-client and its tests for arm64, runs
# them under qemu-user and checks the arm64 .deb that scripts/build-deb.sh
# builds (the amd64 one is checked by the deb stage, installed, removed and
# purged by piuparts and the board test). Run as root.
#
# Which tests run where: the native stage (scripts/test.sh) runs every test.
# Here, under qemu-aarch64:
# - the tests labelled "unit" (those labelled "timing" wait for real time,
#   which emulation does not change), except those whose name matches
#   $RC_NATIVE_ONLY: RobotClient.* starts the built daemon, an arm64 program
#   that the native shell can exec only where binfmt_misc hands it to qemu
#   (the arm64 board image's build registers that; a fresh machine has not).
#   A new test that cannot run under emulation is kept out by ending its
#   suite name in NativeOnly. The rest works under qemu-user: the test
#   sandbox's network and mount namespaces, veth links, rtnetlink, interface
#   ioctls, fork and death tests.
# - the tests labelled "system", except those also labelled "ssh" (they test
#   the ssh policy and the pairing script, not the client): the arm64 daemon
#   itself, started by the system sandbox under the toolchain's emulator,
#   against the simulated manager.
set -euo pipefail
cd "$(dirname "$0")/.."

RC_NATIVE_ONLY=${RC_NATIVE_ONLY:-'^RobotClient\.|NativeOnly\.'}
start=$SECONDS
lap() { echo "check-arm64: $1 took $((SECONDS - t0)) s"; t0=$SECONDS; }
t0=$SECONDS

scripts/build-arm64.sh
deb=$(scripts/build-deb.sh arm64 | tail -n 1) # built just now: only its path
lap "set-up and cross build"

ctest --test-dir build-arm64 -L '^unit$' -E "$RC_NATIVE_ONLY" \
  --output-on-failure --no-tests=error -j"$(nproc)"
lap "unit tests under qemu-aarch64"

# They mostly wait for the client's ticks: more at once than processors.
ctest --test-dir build-arm64 -L '^system$' -LE '^ssh$' --output-on-failure --no-tests=error -j6
lap "system tests with the arm64 daemon under qemu-aarch64"

tests/package/check-deb.sh "$deb" arm64
lap "package checks"
echo "check-arm64: total $((SECONDS - start)) s"
