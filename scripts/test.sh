#!/usr/bin/env bash
# Sets up a fresh machine, builds, and runs every test. Run as root: the
# tests make network namespaces of their own.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
scripts/check-lint.sh
scripts/check-sanitize.sh
scripts/check-fuzz.sh
scripts/check-arm64.sh
scripts/soak.sh
scripts/valgrind-deploy.sh
# further stages
