#!/usr/bin/env bash
# Cross-builds the part of Qt the window needs for 64-bit Windows, from
# Debian's own qt6-base source package, and installs it into a cache folder
# outside the checkout. A second run finds it there and does nothing.
#
#   scripts/qt-windows.sh            prints the folder of the installed Qt
#
# The cache is $LUMO_QT_WINDOWS_CACHE, else $XDG_CACHE_HOME/lumo-service-tool,
# else ~/.cache/lumo-service-tool; the Qt goes into qt-<version>-mingw-static
# inside it, keyed by the source version so a new Debian Qt builds afresh.
#
# Qt is built static: lumo-tool.exe then needs no Qt or mingw DLL beside it,
# and the installer carries one file. Qt's LGPL allows this because anyone
# can relink the program with a changed Qt: the program's own sources are
# public (MIT), and the README says how to build it against another Qt.
#
# Built: Core, Gui, Widgets and Test; the windows, offscreen and minimal
# platform plugins and the Windows styles. No OpenGL, network, SQL, XML,
# printing or D-Bus. Debian's installed Qt (the same version) serves as the
# host Qt, so no tool is built for Linux. Output goes to stderr except the
# last line, the install folder.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

say() { echo "qt-windows: $*" >&2; }
source "$ROOT/scripts/debian-source.sh"

install_missing dpkg-dev cmake ninja-build g++-mingw-w64-x86-64-posix qt6-base-dev qt6-base-dev-tools

# The version of Debian's qt6-base decides the folder: the host Qt and the
# Windows Qt must be the same version, and a new Debian revision (a security
# fix, say) must reach the Windows build too, so the whole version is the key.
VERSION=$(dpkg-query -W -f='${Version}' qt6-base-dev)
KEY=${VERSION#*:}
CACHE=${LUMO_QT_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lumo-service-tool}
PREFIX=$CACHE/qt-$KEY-mingw-static
STAMP=$PREFIX/.complete

if [ -f "$STAMP" ]; then
  echo "$PREFIX"
  exit 0
fi

mkdir -p "$CACHE"
# One build at a time: a second run (another checkout's test command) waits
# for the first and then finds its Qt.
exec 9>"$CACHE/qt-$KEY.lock"
if ! flock -n 9; then
  say "another run is building Qt $KEY; waiting for it"
  flock 9
fi
if [ -f "$STAMP" ]; then
  echo "$PREFIX"
  exit 0
fi
WORK=$CACHE/qt-$KEY-work
mkdir -p "$WORK"

# --- Source ---------------------------------------------------------------
ensure_deb_src
fetch_source qt6-base "$VERSION" "$WORK"

# --- Configure and build --------------------------------------------------
BUILD=$WORK/build
# A changed feature on an existing build folder is silently ignored (the
# cached value wins), so every configure starts from an empty folder.
rm -rf "$BUILD"
mkdir -p "$BUILD"
say "configuring in $BUILD"
# -no-feature-tabletevent: Debian's source drops the wintab header that the
# Windows platform plugin would otherwise include.
(cd "$BUILD" && "$SRC/configure" \
    -prefix "$PREFIX" \
    -xplatform win32-g++ -qt-host-path /usr \
    -static -release -nomake tests -nomake examples \
    -no-opengl -no-dbus -no-icu -no-openssl \
    -no-feature-sql -no-feature-network -no-feature-printsupport \
    -no-feature-concurrent -no-feature-xml -no-feature-vulkan \
    -no-feature-tabletevent \
    -- -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64-x86_64.cmake" \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake >&2)

say "building (10 to 30 minutes on two cores)"
start=$(date +%s)
cmake --build "$BUILD" --parallel "$(nproc)" >&2
cmake --install "$BUILD" >&2
say "built and installed in $(( $(date +%s) - start )) s"

# Qt's licence texts go with the installer.
mkdir -p "$PREFIX/licenses"
cp "$SRC"/LICENSES/* "$PREFIX/licenses/" 2>/dev/null || true
[ -f "$SRC/debian/copyright" ] && cp "$SRC/debian/copyright" "$PREFIX/licenses/debian-copyright"

# The build tree is 2.5 GB, mostly precompiled headers, and the source
# another 330 MB; the install is all that is used later, and a new Debian
# version builds in a folder of its own.
touch "$STAMP"
rm -rf "$WORK"
echo "$PREFIX"
