#!/usr/bin/env bash
# Builds robot-client for 64-bit ARM Linux (arm64) with Debian's cross
# compiler, and its Debian package. Run as root on Debian 12: the first run
# installs the cross toolchain, qemu-user and the arm64 libraries.
#
#   scripts/build-arm64.sh [extra cmake -D options]
#
# Output: build-arm64/client/robot-client (with the tests, which
#         scripts/check-arm64.sh runs under qemu) and, from
#         scripts/build-deb.sh arm64, the packages in build-deb/arm64/:
#         robot-client_<version>_arm64.deb (its path is the last line
#         printed) and its -dbgsym package.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup-arm64.sh

cmake -S . -B build-arm64 \
  -DCMAKE_TOOLCHAIN_FILE="$PWD/packaging/toolchain-aarch64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build build-arm64 -j"$(nproc)"
scripts/build-deb.sh arm64
