#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, fuzzes for a short while, runs the Windows
# build of the core under Wine, builds the window for Windows (against Qt
# built once from Debian's source) with its installer and tries both under
# Wine, builds and tries the .deb, and runs every test with CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
lumo_install_deps clang libclang-rt-14-dev "${LUMO_WINDOWS_PACKAGES[@]}"

BUILD=${LUMO_TEST_BUILD:-build}
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMO_SANITIZE=ON -DLUMO_WERROR=ON >/dev/null
cmake --build "$BUILD" -j"$(nproc)"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp:print_suppressions=0}
export QT_QPA_PLATFORM=offscreen

# Each step's verdict is said again at the very end, with the last lines of
# a failed step's output, where a log cut to its last lines still shows
# which step failed and why.
status=0
verdicts=()
failures=()
step() {
  local name=$1 start=$SECONDS log="$BUILD/test-step-${#verdicts[@]}.log"
  shift
  if "$@" 2>&1 | tee "$log"; then
    verdicts+=("test.sh: $name passed ($((SECONDS - start)) s)")
  else
    verdicts+=("test.sh: $name FAILED ($((SECONDS - start)) s)")
    failures+=("--- the last lines of $name ($log):" "$(grep -v 'Passed\|^ *Start ' "$log" | tail -n 25)")
    status=1
  fi
}
step "fuzzing" scripts/fuzz.sh 10
step "Windows core under Wine" scripts/windows-tests.sh "$BUILD"
step "Windows window and installer under Wine" scripts/windows-gui-tests.sh "$BUILD"
step "package" scripts/package-test.sh
step "CTest" bash -c "cd '$BUILD' && ctest --output-on-failure -j2 --timeout 300"
[ ${#failures[@]} -eq 0 ] || printf '%s\n' "${failures[@]}"
printf '%s\n' "${verdicts[@]}"
exit $status
