#!/usr/bin/env bash
# Builds everything (daemon, tests) with clang in build-clang, warnings as
# errors, and runs the unit tests there: the daemon must build and work with
# either compiler. Run as root: the tests make namespaces of their own.
set -euo pipefail
cd "$(dirname "$0")/.."

CXX=clang++-14 cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRC_WERROR=ON >/dev/null
cmake --build build-clang -j"$(nproc)"
ctest --test-dir build-clang -L unit --output-on-failure -j"$(nproc)"
