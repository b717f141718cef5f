#!/usr/bin/env bash
# The arm64 and packaging stage: cross-builds robot-client and its tests for
# arm64, runs them under qemu-user, checks the arm64 .deb, then builds,
# installs and purges the amd64 .deb (tests/package/check-package.sh). Run as root.
#
# Which tests run where: the native stage (scripts/test.sh) runs every test.
# Here, under qemu-aarch64:
# - the tests labelled "unit", except those whose name matches
#   $RC_NATIVE_ONLY: tests that start an arm64 program of their own, which
#   the native shell cannot exec (no binfmt_misc hands it to qemu here):
#   RobotClient.* starts the built daemon; and tests that read what qemu
#   shows differently: Util.ReadFile reads /proc/self/comm, which names
#   qemu-aarch64 there. A new test that cannot run under emulation is kept
#   out by ending its suite name in NativeOnly. The rest
#   works under qemu-user: the test sandbox's network and mount namespaces,
#   veth links, rtnetlink, interface ioctls, fork and death tests.
# - the tests labelled "system": the arm64 daemon itself, started by the
#   system sandbox under qemu-aarch64 (SB_CLIENT_WRAPPER), against the
#   simulated manager.
set -euo pipefail
cd "$(dirname "$0")/.."

RC_NATIVE_ONLY=${RC_NATIVE_ONLY:-'^RobotClient\.|^Util\.ReadFile$|NativeOnly\.'}
start=$SECONDS
lap() { echo "check-arm64: $1 took $((SECONDS - t0)) s"; t0=$SECONDS; }
t0=$SECONDS

rm -f build-arm64/packages/*.deb
scripts/build-arm64.sh
lap "set-up and cross build"

ctest --test-dir build-arm64 -L '^unit$' -E "$RC_NATIVE_ONLY" \
  --output-on-failure --no-tests=error -j"$(nproc)"
lap "unit tests under qemu-aarch64"

# The emulator as the toolchain file gives it (packaging/toolchain-aarch64.cmake).
SB_CLIENT_WRAPPER="qemu-aarch64 -L /" ctest --test-dir build-arm64 -L '^system$' \
  --output-on-failure --no-tests=error -j"$(nproc)"
lap "system tests with the arm64 daemon under qemu-aarch64"

tests/package/check-deb.sh "$(echo build-arm64/packages/robot-client_*_arm64.deb)" arm64
tests/package/check-package.sh
lap "package checks"
echo "check-arm64: total $((SECONDS - start)) s"
