#!/usr/bin/env bash
# Cross-builds the Qt-free core and its tests for Windows with mingw-w64 and
# runs them under Wine: the portable core tests (the service records among
# them, on the SQLite that scripts/sqlite-windows.sh builds for Windows),
# then the Win32 serial port against the virtual bus (lumo-sim, native, on
# its pseudo-terminal, seen by Wine as a COM port) and the adapter walk
# against keys written into Wine's registry.
#
#   scripts/windows-tests.sh [NATIVE_BUILD_DIR]      (default: build)
#
# lumo-sim is built in NATIVE_BUILD_DIR (configured here if it is not yet).
# The Windows build and its Wine prefix live in build-win/ (LUMO_WIN_BUILD
# overrides) and are reused by the next run. The last line reads
# "wine: N passed, N failed"; the exit status is non-zero on any failure.
set -euo pipefail
CALLER=$PWD
cd "$(dirname "$0")/.."
ROOT=$PWD
# Paths given by the caller are taken from where it stands.
absolute() { case $1 in /*) echo "$1" ;; *) echo "$CALLER/$1" ;; esac; }
NATIVE=$ROOT/build
[ $# -ge 1 ] && NATIVE=$(absolute "$1")
WINBUILD=$ROOT/build-win
[ -n "${LUMO_WIN_BUILD:-}" ] && WINBUILD=$(absolute "$LUMO_WIN_BUILD")

# The COM ports the virtual buses appear as. Above COM9, so only the "\\.\"
# form of the name reaches them.
COM_PORT=COM17
UNPLUG_PORT=COM18
WINE_TIMEOUT=${LUMO_WINE_TIMEOUT:-120}

say() { echo "windows-tests: $*"; }

# --- Packages -----------------------------------------------------------------
packages=(g++-mingw-w64-x86-64-posix wine64 wine googletest cmake ninja-build g++ pkg-config)
missing=()
for pkg in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  say "installing ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- Builds -----------------------------------------------------------------
if [ ! -f "$NATIVE/CMakeCache.txt" ]; then
  cmake -S . -B "$NATIVE" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMO_BUILD_GUI=OFF -DLUMO_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$NATIVE" --target lumo-sim -j"$(nproc)" >/dev/null
SIM=$NATIVE/tools/lumo-sim/lumo-sim

# SQLite for Windows from Debian's source, built once into a cache folder
# (about 30 s) and found there on every later run.
SQLITE=$(scripts/sqlite-windows.sh)

# No build type: neither debug information nor optimisation, the quickest
# cross-build (GoogleTest alone takes a while with -g).
cmake -S tests/windows -B "$WINBUILD" -G Ninja -DLUMO_WERROR=ON \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
      -DSQLite3_INCLUDE_DIR="$SQLITE/include" -DSQLite3_LIBRARY="$SQLITE/lib/libsqlite3.a" >/dev/null
cmake --build "$WINBUILD" -j"$(nproc)"

# --- Wine -------------------------------------------------------------------
source "$ROOT/scripts/wine.sh"
wine_use "$WINBUILD"
unset DISPLAY   # nothing here needs a window
trap wine_cleanup EXIT
wine_prefix_ready

# start_bus LINK [lumo-sim options...]: starts a virtual bus whose terminal
# LINK points to and waits for its first line, which says it is serving.
# Leaves its pid in BUS_PID.
start_bus() {
  local link=$1 out="$1.out"
  shift
  "$SIM" "$@" --link "$link" >"$out" 2>&1 &
  BUS_PID=$!
  PIDS+=("$BUS_PID")
  for _ in $(seq 200); do
    grep -q "serving" "$out" && return 0
    kill -0 "$BUS_PID" 2>/dev/null || break
    sleep 0.05
  done
  cat "$out" >&2
  say "lumo-sim did not start"
  exit 1
}

# The bus of test_win_comport.cpp, and a second one that the unplug test has
# stopped (as if its adapter were pulled out) by creating a file.
BUS_LINK="$WINBUILD/lumo-bus"
start_bus "$BUS_LINK" --device 1:LUMO-P --device 2:LUMO-D --device 3:LUMO-D --device 4:LUMO-D --device 5:LUMO-B \
          --fault 2:silent --fault 3:corrupt-every=1 --fault 4:exception=0x24 --fault 5:stray
UNPLUG_LINK="$WINBUILD/lumo-bus-unplug"
UNPLUG_FILE="$WINBUILD/unplug-now"
rm -f "$UNPLUG_FILE"
start_bus "$UNPLUG_LINK" --device 1:LUMO-D
unplug_pid=$BUS_PID
( while [ ! -e "$UNPLUG_FILE" ]; do sleep 0.02; done; kill "$unplug_pid" ) &
PIDS+=("$!")

# Wine links dosdevices/comN (and lists the port in SERIALCOMM) from these
# values when its services start; a server that already runs would not see
# them.
declare -A port_links=([$COM_PORT]=$BUS_LINK [$UNPLUG_PORT]=$UNPLUG_LINK)
restart=""
for port in "${!port_links[@]}"; do
  if ! grep -qF "\"$port\"=\"${port_links[$port]}\"" "$WINEPREFIX/system.reg"; then
    reg_add 'HKLM\Software\Wine\Ports' /v "$port" /t REG_SZ /d "${port_links[$port]}"
    restart=yes
  fi
done
[ -n "$restart" ] && wine_restart
timeout 30 wineserver -p >/dev/null 2>&1   # stays up between the calls below

# The adapter drivers' instance lists, as test_win_registry.cpp describes
# them: service, Count ("-": no Enum key at all), one port name per instance.
adapters=(
  "Ser2pl 1 COM7"
  "silabenm -"
  "usbser 21 COM40 COM41"
  "FTSER2K 1 COM12"
  "silabser 4 COM9 COM255 COMA COM33"
  "CH341SER_A64 1 COM9"
)
test_key='HKLM\SOFTWARE\LumoRegistryTest'
# The keys outlive the server in the prefix; a later run that finds this
# layout's mark skips the thirty-odd `reg` calls.
layout=$(printf '%s\n' "${adapters[@]}" "text 199 200 number 21 expand COM3" | md5sum | cut -c1-16)
if ! grep -qF "\"LumoLayout\"=\"$layout\"" "$WINEPREFIX/system.reg"; then
  say "writing the adapter keys"
  services='HKLM\SYSTEM\CurrentControlSet\Services'
  devices='HKLM\SYSTEM\CurrentControlSet\Enum'
  for row in "${adapters[@]}"; do
    read -r service count names <<<"$row"
    reg_delete "$services\\$service\\Enum"
    [ "$count" = "-" ] && continue
    reg_add "$services\\$service\\Enum" /v Count /t REG_DWORD /d "$count"
    index=0
    for port in $names; do
      instance="USB\\VID_LUMO&PID_$service\\$index"
      reg_add "$services\\$service\\Enum" /v "$index" /t REG_SZ /d "$instance"
      reg_add "$devices\\$instance\\Device Parameters" /v PortName /t REG_SZ /d "$port"
      index=$((index + 1))
    done
  done
  reg_delete "$test_key"
  reg_add "$test_key" /v Text199 /t REG_SZ /d "$(printf 'x%.0s' $(seq 199))"
  reg_add "$test_key" /v Text200 /t REG_SZ /d "$(printf 'x%.0s' $(seq 200))"
  reg_add "$test_key" /v Number /t REG_DWORD /d 21
  reg_add "$test_key" /v Empty /t REG_SZ /d ""
  reg_add "$test_key" /v Expand /t REG_EXPAND_SZ /d COM3
  reg_add 'HKLM\SOFTWARE\LumoRegistryLayout' /v LumoLayout /t REG_SZ /d "$layout"
fi

# SERIALCOMM lives only as long as the Wine server, so the two extra values
# below are added on every run.
wine_port_listed "$COM_PORT" "$BUS_LINK" "$WINBUILD/serialcomm.txt"
reg_add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\LumoSeven' /t REG_SZ /d COM1234
reg_add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\LumoEight' /t REG_SZ /d COM12345

# --- Tests -------------------------------------------------------------------
passed=0
failed=0
# run NAME EXE [ARGS...]: runs one test program under Wine and adds up its
# results; a program that crashes or times out counts as one failure more.
run() {
  local name=$1 out="$WINBUILD/$1.out" status=0 p f
  shift
  say "$name"
  timeout "$WINE_TIMEOUT" wine "$@" >"$out" 2>&1 || status=$?
  # Passing and skipped cases are summed up below; the rest is worth reading.
  tr -d '\r' <"$out" | grep -vE '^\[ +(RUN|OK) +\]|^\[----------\]|^$' || true
  p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$out" | tail -1)
  f=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' "$out" | tail -1)
  passed=$((passed + ${p:-0}))
  failed=$((failed + ${f:-0}))
  if [ "$status" -ne 0 ] && [ -z "$f" ]; then
    [ "$status" -eq 124 ] && say "$name timed out after ${WINE_TIMEOUT}s" || say "$name ended with status $status"
    failed=$((failed + 1))
  fi
}

# The sysfs walk and the running-system check of the discovery test are Linux's.
run core_tests_win "$WINBUILD/core_tests_win.exe" '--gtest_filter=-SysfsDiscovery*:RunningSystem.*'
# Wine shows the Unix root as drive Z:.
LUMO_WIN_COM=$COM_PORT LUMO_WIN_REGISTRY=1 LUMO_WIN_UNPLUG_COM=$UNPLUG_PORT \
  LUMO_WIN_UNPLUG_FILE="Z:${UNPLUG_FILE//\//\\}" run win_tests "$WINBUILD/win_tests.exe"

echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
