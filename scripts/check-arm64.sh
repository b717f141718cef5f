#!/usr/bin/env bash
# The arm64 and packaging stage: cross-builds robot-client and its unit
# tests for arm64, runs the unit tests under qemu-user, checks the arm64
# .deb, then builds, installs and purges the amd64 .deb
# (scripts/check-package.sh). Run as root.
#
# Which tests run where: the native stage (scripts/test.sh) runs every test.
# Here, under qemu-user, run the tests labelled "unit" except those whose
# name matches $RC_NATIVE_ONLY: tests that start an arm64 program of their
# own, which the native shell cannot exec (no binfmt_misc hands it to qemu
# here): RobotClient.* starts the built daemon. A new test that cannot run
# under emulation is kept out by ending its suite name in NativeOnly. All
# else works under qemu-user: the test sandbox's network and mount
# namespaces, veth links, rtnetlink, interface ioctls, fork and death tests.
set -euo pipefail
cd "$(dirname "$0")/.."

RC_NATIVE_ONLY=${RC_NATIVE_ONLY:-'^RobotClient\.|NativeOnly\.'}
start=$SECONDS
lap() { echo "check-arm64: $1 took $((SECONDS - t0)) s"; t0=$SECONDS; }
t0=$SECONDS

rm -f build-arm64/packages/*.deb
scripts/build-arm64.sh
lap "set-up and cross build"

ctest --test-dir build-arm64 -L '^unit$' -E "$RC_NATIVE_ONLY" \
  --output-on-failure --no-tests=error -j"$(nproc)"
lap "unit tests under qemu-aarch64"

scripts/check-deb.sh "$(echo build-arm64/packages/robot-client_*_arm64.deb)" arm64
scripts/check-package.sh
lap "package checks"
echo "check-arm64: total $((SECONDS - start)) s"
