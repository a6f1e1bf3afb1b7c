#!/usr/bin/env bash
# Builds the Debian package from a Release tree without sanitizers, unpacks it
# into a scratch root (never into this system) and checks what a technician's
# machine would get: the control fields and Depends, which files land where,
# the copyright file, the changelog and the manual pages, the programs'
# libraries, the desktop entry and its icon, lintian's verdict, and each
# installed program started once. The window runs on a virtual X display
# until it has painted and is then closed the way a window manager closes it.
# The package stays in build-pkg/ for `sudo apt install ./build-pkg/<name>.deb`.
# Last line: "package: N passed, N failed"; the exit status is non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
lumo_install_deps dpkg-dev file desktop-file-utils libx11-dev lintian
set +e

BUILD=${LUMO_PKG_BUILD:-build-pkg}
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT

passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok    $1"; }
fail() { failed=$((failed + 1)); echo "FAIL  $1${2:+ -- $2}"; }
summary() { echo "package: $passed passed, $failed failed"; [ "$failed" -eq 0 ]; }

# Runs a build step quietly; on failure shows its output and ends the test.
step() {
  local name=$1
  shift
  if "$@" >"$SCRATCH/step.log" 2>&1; then
    pass "$name"
  else
    fail "$name"
    tail -n 40 "$SCRATCH/step.log"
    summary
    exit 1
  fi
}

# --- build the package ------------------------------------------------------
# Debian's build flags, as dpkg-buildpackage hands them to a package, with
# every hardening feature: fortified libc calls, a stack protector, and
# relocations resolved and made read-only at start (lintian checks all of
# them). Without -g and -O2: the Release type brings -O3 and the package is
# stripped anyway.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
export DEB_CFLAGS_MAINT_STRIP="-g -O2" DEB_CXXFLAGS_MAINT_STRIP="-g -O2"
step "configure a Release tree without sanitizers, with Debian's hardening flags" \
  cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DLUMO_SANITIZE=OFF -DLUMO_BUILD_TESTS=OFF -DLUMO_BUILD_GUI=ON -DLUMO_BUILD_TOOLS=ON \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
step "build lumo-tool, lumo-sim and lumoctl" cmake --build "$BUILD" -j"$(nproc)"
rm -f "$BUILD"/*.deb
step "cpack -G DEB" cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$BUILD"

VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
ARCH=$(dpkg --print-architecture)
DEB=$BUILD/lumo-service-tool_${VERSION}_${ARCH}.deb
if [ -f "$DEB" ]; then
  pass "package named $(basename "$DEB")"
else
  fail "package named lumo-service-tool_${VERSION}_${ARCH}.deb" "found: $(cd "$BUILD" && ls -- *.deb 2>/dev/null)"
  summary
  exit 1
fi

# --- control fields -----------------------------------------------------------
declare -A FIELDS=(
  [Package]=lumo-service-tool
  [Version]=$VERSION
  [Architecture]=$ARCH
  [Section]=electronics
  [Priority]=optional
  [Maintainer]="LUMO service tool maintainers <maintainers@lumo-service-tool.example>"
)
for field in Package Version Architecture Section Priority Maintainer; do
  got=$(dpkg-deb -f "$DEB" "$field")
  if [ "$got" = "${FIELDS[$field]}" ]; then pass "control $field: $got"; else fail "control $field" "'$got', want '${FIELDS[$field]}'"; fi
done

# Worked out by dpkg-shlibdeps from what the programs link; the window needs
# Qt's three libraries (libqt6gui6 also carries the xcb platform plugin).
depends=$(dpkg-deb -f "$DEB" Depends)
depends_names=$(tr ',|' '\n' <<<"$depends" | awk '{ print $1 }')
for lib in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6widgets6; do
  if grep -Fxq "$lib" <<<"$depends_names"; then pass "Depends names $lib"; else fail "Depends names $lib" "Depends: '$depends'"; fi
done

# --- files, owners and modes --------------------------------------------------
ROOT=$SCRATCH/root
dpkg-deb -x "$DEB" "$ROOT"
PROGRAMS=(lumo-sim lumo-tool lumoctl)
DOC=usr/share/doc/lumo-service-tool
EXPECTED_FILES=(
  usr/bin/lumo-sim
  usr/bin/lumo-tool
  usr/bin/lumoctl
  usr/share/applications/lumo-tool.desktop
  usr/share/icons/hicolor/scalable/apps/lumo-tool.svg
  usr/share/man/man1/lumo-sim.1.gz
  usr/share/man/man1/lumo-tool.1.gz
  usr/share/man/man1/lumoctl.1.gz
  $DOC/changelog.gz
  $DOC/copyright
  usr/share/lintian/overrides/lumo-service-tool
)
listing() { (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort); }
want=$(printf '%s\n' "${EXPECTED_FILES[@]}" | LC_ALL=C sort)
got=$(listing "$ROOT")
if [ "$got" = "$want" ]; then
  pass "package holds exactly the programs, their manual pages, copyright, changelog, lintian overrides, the desktop entry and the icon"
else
  fail "package holds exactly the programs, their manual pages, copyright, changelog, lintian overrides, the desktop entry and the icon" \
    "$(diff <(echo "$want") <(echo "$got") | grep '^[<>]' | sed 's/^</missing/; s/^>/extra/' | tr '\n' ' ')"
fi

not_root=$(dpkg-deb -c "$DEB" | awk '$2 != "root/root" { print $6 }')
if [ -z "$not_root" ]; then pass "every entry owned by root/root"; else fail "every entry owned by root/root" "$not_root"; fi

for file in "${EXPECTED_FILES[@]}"; do
  [ -e "$ROOT/$file" ] || continue
  case $file in usr/bin/*) want_mode=755 ;; *) want_mode=644 ;; esac
  mode=$(stat -c %a "$ROOT/$file")
  if [ "$mode" = "$want_mode" ]; then pass "mode $mode $file"; else fail "mode of $file" "$mode, want $want_mode"; fi
done

# `cmake --install` must lay out the same files as the package under its prefix.
if cmake --install "$BUILD" --prefix "$SCRATCH/prefix" >"$SCRATCH/install.log" 2>&1 \
  && [ "$(listing "$SCRATCH/prefix")" = "$(listing "$ROOT/usr")" ]; then
  pass "cmake --install --prefix lays out the same files"
else
  fail "cmake --install --prefix lays out the same files" "$(listing "$SCRATCH/prefix" | tr '\n' ' ')"
fi

# --- copyright, changelog and manual pages -----------------------------------
# gzip -9n: no file name and no time stamp in the header (flags byte 3 without
# FNAME 0x08, bytes 4-7 zero), the most compression (byte 8 is 2).
gzip_9n() {
  [ "$(od -An -tx1 -j3 -N6 "$1" | tr -d ' \n')" = 000000000002 ] && gzip -t "$1" 2>/dev/null
}

COPYRIGHT=$ROOT/$DOC/copyright
if [ "$(head -n 1 "$COPYRIGHT" 2>/dev/null)" = "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ]; then
  pass "copyright is in the machine-readable format"
else
  fail "copyright is in the machine-readable format" "first line: '$(head -n 1 "$COPYRIGHT" 2>/dev/null)'"
fi
# The project's own paragraph and a full text for every licence it names.
if awk '/^Files: \*$/ { files = 1; next } files && /^License: Expat$/ { ok = 1 } /^$/ { files = 0 } END { exit !ok }' "$COPYRIGHT" 2>/dev/null; then
  pass "copyright: Files: * under License: Expat"
else
  fail "copyright: Files: * under License: Expat"
fi
named=$(sed -n 's/^License: \(.*\)$/\1/p' "$COPYRIGHT" 2>/dev/null | LC_ALL=C sort -u)
missing_text=""
for licence in $named; do
  # A stand-alone License paragraph: the name alone, followed by its text.
  awk -v l="$licence" 'prev == "" && $0 == "License: " l { getline; if ($0 ~ /^ /) found = 1 } { prev = $0 } END { exit !found }' \
    "$COPYRIGHT" || missing_text="$missing_text $licence"
done
if [ -n "$named" ] && [ -z "$missing_text" ]; then
  pass "copyright: the text of every licence it names ($(echo $named))"
else
  fail "copyright: the text of every licence it names" "without text:${missing_text:- none named}"
fi
contact=$(sed -n 's/^Upstream-Contact: //p' "$COPYRIGHT" 2>/dev/null)
if [ "$contact" = "$(dpkg-deb -f "$DEB" Maintainer)" ]; then
  pass "copyright's Upstream-Contact is the Maintainer"
else
  fail "copyright's Upstream-Contact is the Maintainer" "'$contact'"
fi

CHANGELOG=$ROOT/$DOC/changelog.gz
if gzip_9n "$CHANGELOG"; then pass "changelog.gz compressed with gzip -9n"; else fail "changelog.gz compressed with gzip -9n"; fi
zcat "$CHANGELOG" >"$SCRATCH/changelog" 2>/dev/null
top=$(dpkg-parsechangelog -l "$SCRATCH/changelog" -S Version 2>&1)
if [ "$top" = "$VERSION" ]; then
  pass "changelog's top entry is version $VERSION"
else
  fail "changelog's top entry is the package's version $VERSION" "'$top' (add an entry to packaging/changelog)"
fi

for program in "${PROGRAMS[@]}"; do
  page=$ROOT/usr/share/man/man1/$program.1.gz
  [ -f "$page" ] || continue
  if gzip_9n "$page"; then pass "$program.1.gz compressed with gzip -9n"; else fail "$program.1.gz compressed with gzip -9n"; fi
  text=$(zcat "$page" | groff -man -Tascii -P-c -P-b -P-o -P-u 2>&1)
  if grep -qF "$program $VERSION" <<<"$text"; then
    pass "$program's manual page names version $VERSION"
  else
    fail "$program's manual page names version $VERSION" "$(tail -n 1 <<<"$text")"
  fi
done

# --- the programs' libraries --------------------------------------------------
for program in lumo-tool lumo-sim lumoctl; do
  bin=$ROOT/usr/bin/$program
  [ -f "$bin" ] || continue
  kind=$(file -b "$bin")
  if [[ $kind == ELF* && $kind == *", stripped"* ]]; then pass "$program is a stripped ELF program"; else fail "$program is a stripped ELF program" "$kind"; fi
  dynamic=$(readelf -d "$bin")
  # A sanitizer runtime means the package was built from a test tree; a
  # RUNPATH would point into a build tree that users do not have.
  bad=$(grep -E 'lib(asan|ubsan|tsan|lsan)|\((RPATH|RUNPATH)\)' <<<"$dynamic")
  if [ -z "$bad" ]; then pass "$program links no sanitizer and carries no RUNPATH"; else fail "$program links no sanitizer and carries no RUNPATH" "$bad"; fi
  unresolved=$(ldd "$bin" 2>&1 | grep 'not found')
  if [ -z "$unresolved" ]; then pass "$program finds all its libraries"; else fail "$program finds all its libraries" "$unresolved"; fi
done

# --- desktop entry and icon ---------------------------------------------------
DESKTOP=$ROOT/usr/share/applications/lumo-tool.desktop
entry() { sed -n "s/^$1=//p" "$DESKTOP" | head -n 1; }
if [ -f "$DESKTOP" ]; then
  if out=$(desktop-file-validate "$DESKTOP" 2>&1) && [ -z "$out" ]; then
    pass "desktop-file-validate lumo-tool.desktop"
  else
    fail "desktop-file-validate lumo-tool.desktop" "$out"
  fi
  exec_program=$(entry Exec | awk '{ print $1 }')
  if [[ $exec_program != */* ]] && [ -x "$ROOT/usr/bin/$exec_program" ]; then
    pass "Exec=$exec_program is a program in usr/bin"
  else
    fail "Exec names a program in usr/bin" "Exec=$(entry Exec)"
  fi
  icon=$(entry Icon)
  svg=$ROOT/usr/share/icons/hicolor/scalable/apps/$icon.svg
  if [[ -n $icon && $icon != */* ]] && [ "$(file -b --mime-type "$svg" 2>/dev/null)" = image/svg+xml ]; then
    pass "Icon=$icon is an SVG in the hicolor theme"
  else
    fail "Icon names an SVG in the hicolor theme" "Icon=$icon"
  fi
fi

# --- lintian ------------------------------------------------------------------
# Debian's own package checker. Every error and warning fails; so does an
# override that no longer matches anything, so that the list in
# packaging/lintian-overrides stays what it claims to be. Informational
# tags are shown and pass.
lintian_out=$(lintian --display-info "$DEB" 2>"$SCRATCH/lintian.err")
lintian_rc=$?
[ -z "$lintian_out" ] || sed 's/^/      lintian: /' <<<"$lintian_out"
bad=$(grep -E '^[EW]: |(unused|mismatched)-override' <<<"$lintian_out")
if [ $lintian_rc -eq 0 ] && [ -z "$bad" ]; then
  pass "lintian: no error, no warning, no stale override ($(grep -c '^I: ' <<<"$lintian_out") informational)"
else
  fail "lintian: no error, no warning, no stale override" "exit $lintian_rc; $(tr '\n' ' ' <<<"$bad") $(grep -v 'root privileges' "$SCRATCH/lintian.err" | tr '\n' ' ')"
fi

# --- the installed programs, started once --------------------------------------
for program in lumoctl lumo-sim; do
  out=$(timeout 10 "$ROOT/usr/bin/$program" --help 2>&1)
  rc=$?
  if [ $rc -eq 0 ] && grep -q "$program" <<<"$out"; then pass "$program --help"; else fail "$program --help" "exit $rc: $(head -n 3 <<<"$out")"; fi
done
# --version needs no display, the window's included.
for program in "${PROGRAMS[@]}"; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 10 "$ROOT/usr/bin/$program" --version 2>&1)
  rc=$?
  if [ $rc -eq 0 ] && [ "$out" = "$program $VERSION" ]; then pass "$program --version: $out"; else fail "$program --version" "exit $rc: '$out'"; fi
done

# The window: on a virtual X display the helper waits for its painted window,
# reads its title and class and sends it WM_DELETE_WINDOW, as a window
# manager's close button does; lumo-tool must then end by itself with exit 0.
check_window() {
  local helper=$SCRATCH/x11-window-check
  if ! cc -std=c11 -D_POSIX_C_SOURCE=200809L -O1 -Wall -Wextra -o "$helper" \
    packaging/check/x11-window-check.c -lX11 2>"$SCRATCH/helper.log"; then
    fail "build the window check helper" "$(cat "$SCRATCH/helper.log")"
    return
  fi
  mkdir -m 700 "$SCRATCH/runtime"
  # shellcheck disable=SC2016 # expanded by the inner shell
  env -u QT_QPA_PLATFORM -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$SCRATCH/runtime" \
    timeout 60 xvfb-run -a -s "-screen 0 1280x1024x24 -nolisten tcp" bash -c '
      "$1" 2>"$2" &
      pid=$!
      "$3" "$pid" 20 >"$4" 2>>"$4"
      echo "check=$?" >>"$4"
      # Closing ends the message loop; allow it five seconds, then stop it.
      for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
      if kill -0 "$pid" 2>/dev/null; then echo "closed=no" >>"$4"; kill "$pid"; fi
      wait "$pid"
      echo "exit=$?" >>"$4"' \
    _ "$ROOT/usr/bin/lumo-tool" "$SCRATCH/window.err" "$helper" "$SCRATCH/window.out" >"$SCRATCH/xvfb.log" 2>&1
  local report=$SCRATCH/window.out
  value() { sed -n "s/^$1=//p" "$report" 2>/dev/null | tail -n 1; }

  if [ "$(value check)" = 0 ]; then
    pass "lumo-tool shows its window and paints it ($(value size), $(value colours) colours)"
  else
    fail "lumo-tool shows its window and paints it" "$(cat "$report" "$SCRATCH/window.err" "$SCRATCH/xvfb.log" 2>/dev/null | tr '\n' ' ')"
    return
  fi
  local title
  title=$(value title)
  if [[ $title == *" v$VERSION" ]]; then pass "window title '$title' names the package version"; else fail "window title names the package version $VERSION" "'$title'"; fi
  # Desktops match a running window to its entry (and so to its icon) by the
  # class part of WM_CLASS.
  local class wmclass
  class=$(value class)
  wmclass=$(entry StartupWMClass)
  if [ -n "$wmclass" ] && [ "${class#*.}" = "$wmclass" ]; then
    pass "WM_CLASS $class matches StartupWMClass=$wmclass"
  else
    fail "WM_CLASS matches the entry's StartupWMClass" "WM_CLASS '$class', StartupWMClass '$wmclass'"
  fi
  if [ "$(value exit)" = 0 ] && [ -z "$(value closed)" ]; then
    pass "lumo-tool closes on WM_DELETE_WINDOW and exits 0"
  else
    local why
    why="exit $(value exit)"
    [ -n "$(value closed)" ] && why="still running 5 s after the request, stopped"
    fail "lumo-tool closes on WM_DELETE_WINDOW and exits 0" "$why"
  fi
  if [ ! -s "$SCRATCH/window.err" ]; then pass "lumo-tool wrote nothing to stderr"; else fail "lumo-tool wrote nothing to stderr" "$(head -n 5 "$SCRATCH/window.err")"; fi
}
check_window

summary
