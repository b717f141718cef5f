#!/usr/bin/env bash
# Builds the libFuzzer targets (build-fuzz) and runs both at once, each for
# FUZZ_SECONDS (default 60) from a copy of its committed seed corpus. Fails
# on any crash, sanitizer report, leak or timeout; the input that caused it
# is kept under build-fuzz/artifacts/. The fuzzers only parse: they need no
# root and start no command.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer

cmake -S . -B build-fuzz -DRC_FUZZ=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target manager_msg_fuzz link_records_fuzz

work=$(mktemp -d /tmp/rc-fuzz.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p build-fuzz/artifacts

# fuzz NAME EXTRA-FLAGS...: runs NAME_fuzz in the background, log in $work.
fuzz() {
  local name=$1
  shift
  cp -r "fuzz/corpus/$name" "$work/$name"
  build-fuzz/fuzz/"${name}_fuzz" -max_total_time="$seconds" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="build-fuzz/artifacts/${name}-" "$@" "$work/$name" >"$work/$name.log" 2>&1 &
  pids+=($!)
}
fuzz manager_msg -dict=fuzz/manager_msg.dict
fuzz link_records -max_len=20480

status=0
names=(manager_msg link_records)
for i in "${!pids[@]}"; do
  name=${names[$i]}
  if wait "${pids[$i]}"; then
    echo "fuzz $name: ok: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/$name.log" | tail -1)"
  else
    status=1
    echo "fuzz $name: FAILED" >&2
    tail -n 60 "$work/$name.log" >&2
  fi
done
pids=()
exit $status
