#!/usr/bin/env bash
# Cross-builds SQLite for 64-bit Windows, as a static library, from Debian's
# own sqlite3 source package (the version of the libsqlite3-dev the Linux
# build uses), and installs it into a cache folder outside the checkout. A
# second run finds it there and does nothing.
#
#   scripts/sqlite-windows.sh        prints the folder: include/, lib/libsqlite3.a
#
# The cache is the one of scripts/qt-windows.sh ($LUMO_QT_WINDOWS_CACHE, else
# $XDG_CACHE_HOME/lumo-service-tool, else ~/.cache/lumo-service-tool); the
# library goes into sqlite-<version>-mingw-static inside it. Debian's source
# is SQLite's full tree: its single-file form (sqlite3.c) is generated from it
# with SQLite's own Tcl scripts, then compiled with mingw-w64. About half a
# minute on two cores. Output goes to stderr except the last line.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

say() { echo "sqlite-windows: $*" >&2; }
source "$ROOT/scripts/debian-source.sh"

lumo_install_missing dpkg-dev gcc make tcl g++-mingw-w64-x86-64-posix libsqlite3-dev

VERSION=$(dpkg-query -W -f='${Version}' libsqlite3-dev)
UPSTREAM=${VERSION#*:}
UPSTREAM=${UPSTREAM%-*}
CACHE=${LUMO_QT_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lumo-service-tool}
PREFIX=$CACHE/sqlite-$UPSTREAM-mingw-static
STAMP=$PREFIX/.complete

if [ -f "$STAMP" ]; then
  echo "$PREFIX"
  exit 0
fi
mkdir -p "$CACHE"
exec 9>"$CACHE/sqlite-$UPSTREAM.lock"
flock 9
if [ -f "$STAMP" ]; then
  echo "$PREFIX"
  exit 0
fi
WORK=$CACHE/sqlite-$UPSTREAM-work
mkdir -p "$WORK"
start=$(date +%s)

SRC=$(lumo_debian_source sqlite3 "$VERSION" "$WORK")

# The single file, made on the build machine (the generators are host
# programs and Tcl scripts).
BUILD=$WORK/build
rm -rf "$BUILD"
mkdir -p "$BUILD"
say "generating sqlite3.c"
(cd "$BUILD" && "$SRC/configure" --disable-tcl >/dev/null && make sqlite3.c >&2)

# SQLite's defaults (thread-safe, WAL), as the program uses it; loadable
# extensions are not needed.
say "compiling sqlite3.c for Windows"
x86_64-w64-mingw32-gcc-posix -O2 -DNDEBUG -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION \
  -c "$BUILD/sqlite3.c" -o "$BUILD/sqlite3.o"
rm -rf "$PREFIX"
mkdir -p "$PREFIX/include" "$PREFIX/lib" "$PREFIX/licenses"
x86_64-w64-mingw32-ar rcs "$PREFIX/lib/libsqlite3.a" "$BUILD/sqlite3.o"
cp "$BUILD/sqlite3.h" "$BUILD/sqlite3ext.h" "$PREFIX/include/"
# SQLite is in the public domain; Debian's copyright file says so.
cp "$SRC/debian/copyright" "$PREFIX/licenses/sqlite-copyright"
say "built and installed in $(( $(date +%s) - start )) s"

touch "$STAMP"
rm -rf "$WORK"
echo "$PREFIX"
