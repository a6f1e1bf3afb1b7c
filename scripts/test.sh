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

status=0
scripts/fuzz.sh 10 || status=1
scripts/windows-tests.sh "$BUILD" || status=1
scripts/windows-gui-tests.sh "$BUILD" || status=1
scripts/package-test.sh || status=1

(cd "$BUILD" && ctest --output-on-failure -j2 --timeout 300) || status=1
exit $status
