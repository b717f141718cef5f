#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs every test. Run as root: the
# tests make network namespaces of their own, and the board test a virtual
# machine. Warnings are errors in every build this script makes.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
# Read by CMakeLists.txt as the default of RC_WERROR, so the builds that the
# stages below configure for themselves (asan, clang, fuzz, arm64, packages)
# fail on a warning too.
export RC_WERROR=ON

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
scripts/check-lint.sh
scripts/check-clang.sh
scripts/check-sanitize.sh
scripts/check-fuzz.sh
scripts/check-arm64.sh
tests/soak/soak.sh
tests/memcheck/valgrind-deploy.sh
tests/board/board_test.sh
