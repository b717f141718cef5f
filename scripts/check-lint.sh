#!/usr/bin/env bash
# Code checks: clang-format on every C++ file, clang-tidy (.clang-tidy) and
# cppcheck on the two programs' code (client/ cable/ and the parts they
# share: link/ record/ net/ log/), shellcheck on every shell script.
# clang-tidy reads the compile commands of a configure-only build in
# build-lint.
set -euo pipefail
cd "$(dirname "$0")/.."

status=0
program_dirs=(client cable link record net log)
daemon_sources=(client/*.cpp cable/*.cpp link/*.cpp record/*.cpp net/*.cpp log/*.cpp)

# Without the repository's .clang-format, clang-format would judge the code
# by another style.
[ -f .clang-format ] || { echo "lint: .clang-format is missing" >&2; exit 1; }
mapfile -t cxx_files < <(git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' | sort -u)
if clang-format-14 --style=file --dry-run --Werror "${cxx_files[@]}"; then
  echo "lint: clang-format: ${#cxx_files[@]} files ok"
else
  echo "lint: clang-format: run clang-format-14 -i on the files above" >&2
  status=1
fi

cmake -S . -B build-lint -DBUILD_TESTING=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
# One process per file: clang-tidy 14's static analyser reports a false
# "uninitialized va_list" in log.cpp when it is not the first file of a run.
tidy_log=$(mktemp /tmp/rc-tidy.XXXXXX)
trap 'rm -f "$tidy_log"' EXIT
if printf '%s\n' "${daemon_sources[@]}" | xargs -P "$(nproc)" -n 1 clang-tidy-14 -p build-lint --quiet \
  >"$tidy_log" 2>&1; then
  echo "lint: clang-tidy: ${#daemon_sources[@]} files ok"
else
  status=1
fi
# Drop the per-file count of the suppressed diagnostics in system headers.
grep -vE '^[0-9]+ warnings? generated\.$' "$tidy_log" || true

if cppcheck --enable=warning,performance,portability --library=posix --std=c++20 --language=c++ -I. \
  --suppressions-list=scripts/cppcheck-suppressions.txt --error-exitcode=1 --quiet "${program_dirs[@]}"; then
  echo "lint: cppcheck: ok"
else
  status=1
fi

# Every shell script (the shipped ones and the maintainer scripts too) and
# every library the scripts source; its warnings and errors, not its style
# notes.
mapfile -t shell_files < <(git ls-files --cached --others --exclude-standard |
  while read -r f; do
    [ -f "$f" ] && head -n 1 "$f" | grep -qE '^#!.*\b(ba)?sh\b|^# shellcheck shell=' && echo "$f"
  done)
if shellcheck -x -S warning "${shell_files[@]}"; then
  echo "lint: shellcheck: ${#shell_files[@]} files ok"
else
  status=1
fi
exit $status
