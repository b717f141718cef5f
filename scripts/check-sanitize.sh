#!/usr/bin/env bash
# Builds the whole project with clang (clang++-14), AddressSanitizer and
# UndefinedBehaviorSanitizer (build-asan), warnings as errors, and runs the
# unit tests there: the daemon builds with clang as with gcc (the native
# build), and any sanitizer report, leaks at exit included, fails the test
# that caused it. Run as root: the tests make namespaces of their own.
set -euo pipefail
cd "$(dirname "$0")/.."

# halt_on_error is the default for ASan; UBSan is built with
# -fno-sanitize-recover=all and told here to print the stack of a report.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer

CXX=clang++-14 cmake -S . -B build-asan -DRC_SANITIZE=ON -DRC_WERROR=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-asan -j"$(nproc)"
ctest --test-dir build-asan -L unit --output-on-failure -j"$(nproc)"
