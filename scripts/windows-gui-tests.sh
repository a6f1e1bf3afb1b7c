#!/usr/bin/env bash
# The window on Windows, under Wine. Gets Qt for Windows (scripts/qt-windows.sh:
# built once from Debian's qt6-base source, 10 to 30 minutes, then cached),
# cross-builds lumo-tool.exe, lumoctl.exe, the window's Windows test and the
# installer against it, and then, in a virtual X display:
#
#  1. runs window_tests_win.exe: the real window on Qt's windows platform
#     plugin against the virtual bus (lumo-sim, native, seen by Wine as
#     COM19 and listed as the port of an FTDI adapter);
#  2. installs lumo-service-tool-<version>-setup.exe silently, checks the
#     files, the Start menu entry and the uninstall key, runs the installed
#     lumoctl.exe against the bus, starts the installed lumo-tool.exe,
#     connects it to the bus, scans it and takes a picture of the screen
#     (windows-wine.png in the build folder; docs/pictures holds a copy),
#     closes it, uninstalls silently and checks that everything is gone.
#
#   scripts/windows-gui-tests.sh [NATIVE_BUILD_DIR]      (default: build)
#
# lumo-sim is built in NATIVE_BUILD_DIR (configured here if it is not yet).
# The Windows build and its Wine prefix live in build-win-gui/
# (LUMO_WIN_GUI_BUILD overrides) and are reused by the next run. The last
# line reads "wine window: N passed, N failed"; the exit status is non-zero
# on any failure.
set -euo pipefail
CALLER=$PWD
cd "$(dirname "$0")/.."
ROOT=$PWD
absolute() { case $1 in /*) echo "$1" ;; *) echo "$CALLER/$1" ;; esac; }
NATIVE=$ROOT/build
[ $# -ge 1 ] && NATIVE=$(absolute "$1")
WINBUILD=$ROOT/build-win-gui
[ -n "${LUMO_WIN_GUI_BUILD:-}" ] && WINBUILD=$(absolute "$LUMO_WIN_GUI_BUILD")

COM_PORT=COM19
WINE_TIMEOUT=${LUMO_WINE_TIMEOUT:-300}
TITLE="Quorix LUMO PC tool"
VERSION=$(sed -n 's/^project(lumo-service-tool VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)

say() { echo "windows-gui-tests: $*"; }
seconds_since() { echo $(( $(date +%s) - $1 )); }

# --- Packages -----------------------------------------------------------------
source scripts/deps.sh
lumo_install_deps "${LUMO_WINDOWS_PACKAGES[@]}" >/dev/null

# --- Builds -------------------------------------------------------------------
# Qt's own build output goes to a log; its progress lines are shown.
start=$(date +%s)
mkdir -p "$WINBUILD"
QT_LOG="$WINBUILD/qt-windows.log"
if ! QT=$(scripts/qt-windows.sh 2> >(tee "$QT_LOG" | grep --line-buffered '^qt-windows:' >&2)); then
  tail -n 40 "$QT_LOG" >&2
  say "building Qt for Windows failed; the whole log is $QT_LOG"
  exit 1
fi
say "Qt for Windows: $QT ($(seconds_since "$start") s)"
# SQLite for the service records, from Debian's source too (half a minute once).
start=$(date +%s)
SQLITE=$(scripts/sqlite-windows.sh 2>"$WINBUILD/sqlite-windows.log") || {
  tail -n 40 "$WINBUILD/sqlite-windows.log" >&2
  say "building SQLite for Windows failed"
  exit 1
}
say "SQLite for Windows: $SQLITE ($(seconds_since "$start") s)"

if [ ! -f "$NATIVE/CMakeCache.txt" ]; then
  cmake -S . -B "$NATIVE" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMO_BUILD_GUI=OFF -DLUMO_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$NATIVE" --target lumo-sim -j"$(nproc)" >/dev/null
SIM=$NATIVE/tools/lumo-sim/lumo-sim

# Qt's toolchain file finds the Windows Qt and chain-loads the project's
# mingw-w64 one. Release: the installer ships what is built here.
start=$(date +%s)
# CMake keeps the toolchain file a build folder was first configured with,
# so a folder made against another Qt (a new Debian version of it) would go
# on building against that one: configure it afresh.
toolchain="$QT/lib/cmake/Qt6/qt.toolchain.cmake"
if [ -f "$WINBUILD/CMakeCache.txt" ] &&
   [ "$(sed -n 's/^CMAKE_TOOLCHAIN_FILE:[A-Z]*=//p' "$WINBUILD/CMakeCache.txt")" != "$toolchain" ]; then
  say "Qt for Windows is another one now: configuring $WINBUILD afresh"
  rm -rf "$WINBUILD/CMakeCache.txt" "$WINBUILD/CMakeFiles"
fi
cmake -S . -B "$WINBUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMO_WERROR=ON \
      -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DQT_CHAINLOAD_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
      -DSQLite3_INCLUDE_DIR="$SQLITE/include" -DSQLite3_LIBRARY="$SQLITE/lib/libsqlite3.a" >/dev/null
cmake --build "$WINBUILD" -j"$(nproc)" --target lumo-tool lumoctl window_tests_win
say "lumo-tool.exe, lumoctl.exe and the window test built in $(seconds_since "$start") s"
start=$(date +%s)
cmake --build "$WINBUILD" --target installer
SETUP=$WINBUILD/lumo-service-tool-$VERSION-setup.exe
say "$(basename "$SETUP") ($(( $(stat -c %s "$SETUP") / 1024 )) KiB) in $(seconds_since "$start") s"

# --- Display, Wine and the bus --------------------------------------------------
source "$ROOT/scripts/wine.sh"
wine_use "$WINBUILD"
trap wine_cleanup EXIT
wine_prefix_ready

# Windows has Tahoma, the window's font; Debian keeps Wine's copy of it
# (fonts-wine) outside the prefix, where Windows programs do not see it.
for font in tahoma.ttf tahomabd.ttf; do
  [ -f "$WINEPREFIX/drive_c/windows/Fonts/$font" ] || cp "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/"
done

# A virtual X display of its own; the X server says which number it took.
display_file="$WINBUILD/xvfb.display"
rm -f "$display_file"
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" >"$WINBUILD/xvfb.log" 2>&1 &
PIDS+=("$!")
for _ in $(seq 100); do
  [ -s "$display_file" ] && break
  sleep 0.1
done
if [ ! -s "$display_file" ]; then
  cat "$WINBUILD/xvfb.log" >&2
  say "Xvfb did not start"
  exit 1
fi
export DISPLAY=":$(tr -d '\n' <"$display_file")"

# The demo bus (LUMO-D at 1, LUMO-P at 5, LUMO-B at 9) on the line model;
# learning takes 1.5 s instead of several.
BUS_LINK="$WINBUILD/lumo-bus"
: >"$WINBUILD/lumo-bus.out"
"$SIM" --link "$BUS_LINK" --learn-ms 1500 >"$WINBUILD/lumo-bus.out" 2>&1 &
PIDS+=("$!")
for _ in $(seq 200); do
  grep -q "serving" "$WINBUILD/lumo-bus.out" && break
  sleep 0.05
done
grep -q "serving" "$WINBUILD/lumo-bus.out" || { cat "$WINBUILD/lumo-bus.out" >&2; say "lumo-sim did not start"; exit 1; }

# The bus as COM19, listed in SERIALCOMM once Wine's services start again,
# and as the port of an FTDI adapter for Auto Select.
# Text is smoothed with ClearType, as Windows 10 and 11 do: with Wine's
# default (plain smoothing) Tahoma at 13 px loses thin strokes, such as the
# hyphen of "LUMO-D".
adapter_instance='USB\VID_0403&PID_6001\LUMO0001'
if ! grep -qF "\"$COM_PORT\"=\"$BUS_LINK\"" "$WINEPREFIX/system.reg" ||
   ! grep -qF '"FontSmoothingType"=dword:00000002' "$WINEPREFIX/user.reg"; then
  reg_add 'HKLM\Software\Wine\Ports' /v "$COM_PORT" /t REG_SZ /d "$BUS_LINK"
  reg_add 'HKLM\SYSTEM\CurrentControlSet\Services\FTSER2K\Enum' /v Count /t REG_DWORD /d 1
  reg_add 'HKLM\SYSTEM\CurrentControlSet\Services\FTSER2K\Enum' /v 0 /t REG_SZ /d "$adapter_instance"
  reg_add "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\$adapter_instance\\Device Parameters" /v PortName /t REG_SZ /d "$COM_PORT"
  reg_add 'HKCU\Control Panel\Desktop' /v FontSmoothingType /t REG_DWORD /d 2
  wine_restart
fi
timeout 30 wineserver -p >/dev/null 2>&1   # stays up until the uninstaller
wine_port_listed "$COM_PORT" "$BUS_LINK" "$WINBUILD/serialcomm.txt"

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { say "FAIL: $*"; failed=$((failed + 1)); }

# --- 1. The window's test -------------------------------------------------------
start=$(date +%s)
say "window_tests_win"
# Qt Test's report goes to a file: under Wine its standard output is lost.
out="$WINBUILD/window_tests_win.txt"
rm -f "$out"
status=0
LUMO_WIN_WINDOW_COM=$COM_PORT timeout "$WINE_TIMEOUT" wine "$WINBUILD/tests/windows/window/window_tests_win.exe" \
  -o "Z:${out//\//\\},txt" >>"$LOG" 2>&1 || status=$?
[ -f "$out" ] && { tr -d '\r' <"$out" | grep -vE '^PASS +:|^QCRITICAL|^QDEBUG|^$' || true; }

totals=$([ -f "$out" ] && tr -d '\r' <"$out" | sed -n 's/^Totals: \([0-9]*\) passed, \([0-9]*\) failed.*/\1 \2/p' | tail -1 || true)
if [ -n "$totals" ]; then
  passed=$((passed + ${totals% *}))
  failed=$((failed + ${totals#* }))
fi
if [ "$status" -ne 0 ] && { [ -z "$totals" ] || [ "${totals#* }" -eq 0 ]; }; then
  [ "$status" -eq 124 ] && fail "window_tests_win timed out after ${WINE_TIMEOUT}s" || fail "window_tests_win ended with status $status"
fi
say "window test under Wine: $(seconds_since "$start") s"

# --- 2. The installer -----------------------------------------------------------
start=$(date +%s)
DRIVE_C="$WINEPREFIX/drive_c"
INSTALLED="$DRIVE_C/Program Files/LUMO Service Tool"
WIN_INSTALLED='C:\Program Files\LUMO Service Tool'
SHORTCUT="$DRIVE_C/ProgramData/Microsoft/Windows/Start Menu/Programs/$TITLE.lnk"
UNINSTALL_KEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\lumo-service-tool'

# Left over by an interrupted run: the silent uninstall of that one first.
if [ -f "$INSTALLED/uninstall.exe" ]; then
  wine_run "$WIN_INSTALLED\\uninstall.exe" /S _?="$WIN_INSTALLED" || true
  rm -rf "$INSTALLED"
fi

say "installing $(basename "$SETUP") silently"
if wine_run "$SETUP" /S; then pass; else fail "setup.exe /S failed"; fi
for file in lumo-tool.exe lumoctl.exe uninstall.exe LICENSE.txt licenses/Qt/LGPL-3.0-only.txt licenses/Qt/NOTICE.txt \
            licenses/CLI11.txt licenses/nlohmann-json.txt licenses/mingw-w64-runtime.txt licenses/SQLite.txt; do
  if [ -f "$INSTALLED/$file" ]; then pass; else fail "the installer did not install $file"; fi
done
if [ -f "$SHORTCUT" ]; then pass; else fail "no Start menu entry $SHORTCUT"; fi
timeout "$WINE_TIMEOUT" wine reg query "$UNINSTALL_KEY" /v DisplayVersion >"$WINBUILD/uninstall-key.txt" 2>>"$LOG" || true
if tr -d '\r' <"$WINBUILD/uninstall-key.txt" | grep -qE "DisplayVersion +REG_SZ +$VERSION\$"; then
  pass
else
  fail "the uninstall key holds no DisplayVersion $VERSION"
fi

# Both installed programs name their version (lumo-tool.exe, a window
# program, writes it to the output it was given).
for program in lumo-tool lumoctl; do
  timeout "$WINE_TIMEOUT" wine "$INSTALLED/$program.exe" --version >"$WINBUILD/$program-version.txt" 2>>"$LOG" || true
  if [ "$(tr -d '\r' <"$WINBUILD/$program-version.txt")" = "$program $VERSION" ]; then
    pass
  else
    fail "$program.exe --version printed \"$(tr -d '\r' <"$WINBUILD/$program-version.txt")\", not \"$program $VERSION\""
  fi
done

# The installed lumoctl.exe on the bus: the adapter's port, then the LUMO-P.
timeout "$WINE_TIMEOUT" wine "$INSTALLED/lumoctl.exe" ports >"$WINBUILD/lumoctl-ports.txt" 2>>"$LOG" || true
if tr -d '\r' <"$WINBUILD/lumoctl-ports.txt" | grep -qF "$COM_PORT >>FTSER2K"; then
  pass
else
  fail "lumoctl.exe ports does not list $COM_PORT >>FTSER2K: $(tr -d '\r' <"$WINBUILD/lumoctl-ports.txt")"
fi
timeout "$WINE_TIMEOUT" wine "$INSTALLED/lumoctl.exe" -p "$COM_PORT" info 5 >"$WINBUILD/lumoctl-info.txt" 2>>"$LOG" || true
if tr -d '\r' <"$WINBUILD/lumoctl-info.txt" | grep -q "LUMO-P"; then
  pass
else
  fail "lumoctl.exe -p $COM_PORT info 5 did not find the LUMO-P: $(tr -d '\r' <"$WINBUILD/lumoctl-info.txt")"
fi

# The installed window, started as the Start menu entry starts it.
timeout "$WINE_TIMEOUT" wine "$INSTALLED/lumo-tool.exe" >>"$LOG" 2>&1 &
tool_pid=$!
PIDS+=("$tool_pid")
window=$(timeout 60 xdotool search --sync --onlyvisible --name "^$TITLE" 2>/dev/null | head -n1 || true)
if [ -n "$window" ]; then
  pass
  eval "$(xdotool getwindowgeometry --shell "$window")"   # X Y WIDTH HEIGHT
  # Positions inside the window of what the operator clicks: the Bus Devices
  # page starts below the tab bar.
  click() { xdotool mousemove --window "$window" "$1" "$2" click 1; sleep 0.3; }
  picture() { import -window root -crop "${WIDTH}x${HEIGHT}+$X+$Y" +repage "$1"; }
  click 70 66     # "Auto Select": the combo shows "COM19 >>FTSER2K"
  click 664 67    # "Connect"
  picture "$WINBUILD/windows-wine-connected.png"
  click 283 171   # "Scan Devices"
  sleep 12        # past address 9 at the window's own pace (500 ms a probe)
  click 283 171   # "Stop Scan"
  click 50 209    # the second row: the LUMO-P at 5
  sleep 1
  picture "$WINBUILD/windows-wine.png"
  # A painted window (the checks of tests/gui/PictureChecks.h: at least 8
  # colours, none covering 99 % of it) whose device list changed with the scan.
  colours=$(identify -format '%k' "$WINBUILD/windows-wine.png")
  most=$(convert "$WINBUILD/windows-wine.png" -format %c histogram:info:- | sort -rn | head -n1 | awk '{print $1}' | tr -d ':')
  if [ "$colours" -ge 8 ] && [ $((most * 100)) -le $((WIDTH * HEIGHT * 99)) ]; then
    pass
  else
    fail "the picture of the window is blank: $colours colours, the commonest on $most of $((WIDTH * HEIGHT)) pixels"
  fi
  list_area="170x278+26+156"
  convert "$WINBUILD/windows-wine-connected.png" -crop "$list_area" +repage "$WINBUILD/list-before.png"
  convert "$WINBUILD/windows-wine.png" -crop "$list_area" +repage "$WINBUILD/list-after.png"
  changed=$(compare -metric AE "$WINBUILD/list-before.png" "$WINBUILD/list-after.png" null: 2>&1 || true)
  if [ "${changed%%.*}" -gt 100 ] 2>/dev/null; then
    pass
  else
    fail "the device list looks the same before and after the scan ($changed pixels changed)"
  fi
  # Closed as the operator closes it; the program ends by itself.
  wine_run taskkill /IM lumo-tool.exe || true
else
  fail "the installed lumo-tool.exe showed no window titled \"$TITLE\""
fi
tool_status=0
for _ in $(seq 150); do
  kill -0 "$tool_pid" 2>/dev/null || break
  sleep 0.2
done
if kill -0 "$tool_pid" 2>/dev/null; then
  fail "lumo-tool.exe did not end when its window was closed"
  kill "$tool_pid" 2>/dev/null || true
fi
wait "$tool_pid" 2>/dev/null || tool_status=$?
[ "$tool_status" -eq 0 ] && pass || fail "lumo-tool.exe ended with status $tool_status"

# The uninstaller copies itself away and returns at once: wait for its work.
say "uninstalling silently"
wine_run "$WIN_INSTALLED\\uninstall.exe" /S || fail "uninstall.exe /S failed"
for _ in $(seq 150); do
  [ -e "$INSTALLED" ] || break
  sleep 0.2
done
if [ -e "$INSTALLED" ]; then fail "the uninstaller left $INSTALLED: $(ls "$INSTALLED")"; else pass; fi
if [ -e "$SHORTCUT" ]; then fail "the uninstaller left the Start menu entry"; else pass; fi
if timeout "$WINE_TIMEOUT" wine reg query "$UNINSTALL_KEY" >/dev/null 2>>"$LOG"; then
  fail "the uninstaller left $UNINSTALL_KEY"
else
  pass
fi
say "installer under Wine: $(seconds_since "$start") s"

echo "wine window: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
