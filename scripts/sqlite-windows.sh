#!/usr/bin/env bash
# Cross-builds SQLite for 64-bit Windows from Debian's own sqlite3 source
# package, with Debian's patches, as a static library, and installs it into
# a cache folder outside the checkout. A second run finds it there and does
# nothing.
#
#   scripts/sqlite-windows.sh        prints the folder of the installed SQLite
#
# The folder holds include/sqlite3.h and lib/libsqlite3.a. A Windows build
# of the project is pointed at them with
#
#   -DSQLite3_INCLUDE_DIR=<folder>/include -DSQLite3_LIBRARY=<folder>/lib/libsqlite3.a
#
# (CMake's FindSQLite3 takes both as given; a search of its own would look
# only below the mingw-w64 root, as the toolchain file asks.)
#
# The cache is $LUMO_SQLITE_WINDOWS_CACHE, else $XDG_CACHE_HOME/lumo-service-tool,
# else ~/.cache/lumo-service-tool; SQLite goes into sqlite-<version>-mingw
# inside it, keyed by the Debian version of the installed libsqlite3-dev:
# Windows gets the SQLite the Linux build links, security fixes included,
# and a new Debian upload builds afresh. About 30 s on two cores.
#
# Debian's source is SQLite's full tree, not the single-file amalgamation
# that is compiled here: its own build makes sqlite3.c from the patched
# sources with a native compiler and tclsh (about 5 s). Output goes to
# stderr except the last line, the install folder.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)

say() { echo "sqlite-windows: $*" >&2; }

source "$ROOT/scripts/debian-source.sh"

# dpkg-dev: apt-get source. gcc, libc6-dev, make, tcl: the amalgamation.
install_missing dpkg-dev gcc libc6-dev make tcl libsqlite3-dev gcc-mingw-w64-x86-64-posix

VERSION=$(dpkg-query -W -f='${Version}' libsqlite3-dev)
VERSION=${VERSION#*:}
CACHE=${LUMO_SQLITE_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/lumo-service-tool}
PREFIX=$CACHE/sqlite-$VERSION-mingw
STAMP=$PREFIX/.complete

CC=x86_64-w64-mingw32-gcc-posix
AR=x86_64-w64-mingw32-ar
# What SQLite is built with, for a database that one application owns:
#   THREADSAFE=1           SQLite's default and Debian's: the global state
#                          (allocator, page cache) is locked, so stores on
#                          different threads are safe. Each store still opens
#                          its connection without a mutex of its own.
#   DQS=0                  "text" is an identifier, never a string: a typo in
#                          a column name is an error, not a string compared.
#   DEFAULT_MEMSTATUS=0    no memory statistics, which take a global lock at
#                          every allocation; nothing here asks for them.
#   OMIT_LOAD_EXTENSION    no SQL-reachable LoadLibrary of a DLL; the program
#                          loads no extension.
#   OMIT_DEPRECATED, OMIT_SHARED_CACHE
#                          interfaces nothing here uses.
#   LIKE_DOESNT_MATCH_BLOBS as Debian builds it.
# -O2 -fno-strict-aliasing as Debian compiles it. Debian's other options
# (FTS3, R-Tree, sessions, URI file names, ...) serve no purpose here.
CFLAGS=(-O2 -fno-strict-aliasing
  -DSQLITE_THREADSAFE=1 -DSQLITE_DQS=0 -DSQLITE_DEFAULT_MEMSTATUS=0
  -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_OMIT_DEPRECATED -DSQLITE_OMIT_SHARED_CACHE
  -DSQLITE_LIKE_DOESNT_MATCH_BLOBS)
# The stamp holds how the library was built: changed options build afresh.
RECIPE="$(dpkg-query -W -f='${Version}' gcc-mingw-w64-x86-64-posix) ${CFLAGS[*]}"

if [ -f "$STAMP" ] && [ "$(cat "$STAMP")" = "$RECIPE" ]; then
  echo "$PREFIX"
  exit 0
fi

start=$(date +%s)
mkdir -p "$CACHE"
WORK=$CACHE/sqlite-$VERSION-work
rm -rf "$WORK"
mkdir -p "$WORK"

# --- Source -------------------------------------------------------------------
ensure_deb_src
# The archive keeps only the newest upload of each suite.
if ! apt-cache showsrc sqlite3 2>/dev/null | grep -qxF "Version: $VERSION"; then
  say "the archive has no sqlite3 $VERSION source; after a Debian update, upgrade the library" \
      "(apt-get install --only-upgrade libsqlite3-dev) and run again"
  exit 1
fi
fetch_source sqlite3 "$VERSION" "$WORK"

# --- Amalgamation -------------------------------------------------------------
# A native configure only to get SQLite's makefile; the amalgamation is
# plain C either way. No #line directives: the file names of this build
# folder stay out of it.
AMALGAMATION=$WORK/amalgamation
mkdir -p "$AMALGAMATION"
say "making the amalgamation"
if ! (cd "$AMALGAMATION" &&
      "$SRC/configure" --disable-tcl --disable-readline --disable-shared --enable-amalgamation \
                       amalgamation_line_macros=no &&
      make -j"$(nproc)" sqlite3.c) >"$WORK/amalgamation.log" 2>&1; then
  tail -n 30 "$WORK/amalgamation.log" >&2
  say "making the amalgamation failed; the whole log is $WORK/amalgamation.log"
  exit 1
fi

# --- Windows library ----------------------------------------------------------
say "compiling for Windows: ${CFLAGS[*]}"
"$CC" "${CFLAGS[@]}" -c "$AMALGAMATION/sqlite3.c" -o "$WORK/sqlite3.o"
rm -f "$WORK/libsqlite3.a"
"$AR" rcsD "$WORK/libsqlite3.a" "$WORK/sqlite3.o"

rm -rf "$PREFIX"
mkdir -p "$PREFIX/include" "$PREFIX/lib" "$PREFIX/licenses"
cp "$AMALGAMATION/sqlite3.h" "$PREFIX/include/"
cp "$WORK/libsqlite3.a" "$PREFIX/lib/"
# SQLite is in the public domain; Debian's copyright file says so and
# covers its patches.
cp "$SRC/debian/copyright" "$PREFIX/licenses/debian-copyright"
rm -rf "$WORK"
echo "$RECIPE" >"$STAMP"
say "built and installed in $(( $(date +%s) - start )) s"
echo "$PREFIX"
