#!/usr/bin/env bash
# Installs the Debian packages the build, the tool and the tests need, and
# nothing when they are all there already. Sourced by run.sh and test.sh.
set -euo pipefail

LUMO_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-base-dev-tools libgl-dev
  libgtest-dev libmodbus-dev libcli11-dev nlohmann-json3-dev libsqlite3-dev
  fonts-wine mbpoll socat xvfb xauth python3-minimal groff-base poppler-utils
)

# What the Windows builds and their tests under Wine add: mingw-w64, Wine,
# the tools to fetch Debian's sources and build Qt and SQLite from them
# (scripts/qt-windows.sh, scripts/sqlite-windows.sh: dpkg-dev, tcl), NSIS
# for the installer, and for the window in a virtual display xdotool and
# ImageMagick. scripts/test.sh installs them.
LUMO_WINDOWS_PACKAGES=(
  g++-mingw-w64-x86-64-posix wine64 wine googletest dpkg-dev tcl
  nsis xdotool imagemagick
)

lumo_install_deps() {
  local missing=()
  for pkg in "${LUMO_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
