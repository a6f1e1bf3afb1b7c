#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan + UBSan) and runs each over
# its checked-in seed corpus for a short, fixed time.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET]      (default 10; e.g. 600 for a long run)
#
# New inputs are kept in build-fuzz/corpus-<target>, never in the checked-in
# seeds. A crash leaves its input as build-fuzz/crash-*; turn it into a
# regression test before fixing. LUMO_FUZZ_BUILD names another build folder
# (a relative one is taken from the checkout's root); every path below is
# absolute, so the folder may be anywhere, /tmp included.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_PER_TARGET=${1:-10}
BUILD=${LUMO_FUZZ_BUILD:-build-fuzz}
case $BUILD in /*) ;; *) BUILD=$ROOT/$BUILD ;; esac

cmake -S "$ROOT/tests/fuzz" -B "$BUILD" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$BUILD" -j"$(nproc)" >/dev/null

failed=0
for seeds in "$ROOT"/tests/fuzz/corpus/*/; do
  target=$(basename "$seeds")
  work="$BUILD/corpus-$target"
  log="$BUILD/fuzz-$target.log"
  mkdir -p "$work"
  # New inputs go to the first folder; the seeds are only read.
  if "$BUILD/fuzz_$target" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$BUILD/" "$work" "$seeds" >"$log" 2>&1; then
    runs=$(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
    echo "fuzz $target: ${runs} inputs in ${SECONDS_PER_TARGET}s, no crash"
  else
    echo "fuzz $target: FAILED (see $log)"
    tail -n 30 "$log"
    failed=1
  fi
done
exit $failed
