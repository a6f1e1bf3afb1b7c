#!/usr/bin/env bash
# Shared by the scripts that build a library for Windows from Debian's own
# source package (qt-windows.sh, sqlite-windows.sh). Sourced, not run: the
# caller defines say() and sets `set -euo pipefail`.

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# install_missing PACKAGE...: installs those not installed yet, quietly.
install_missing() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing ${missing[*]}"
  as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# apt-get source needs a deb-src entry. Where the machine has none, add one
# for the archive its deb entries already use (same URIs, suites, keyring).
# Each file on its own: under pipefail, a pipeline from cat fails when
# /etc/apt/sources.list is missing, even where an entry is found elsewhere.
have_deb_src() {
  local file
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] && grep -qE '^(Types:.*deb-src|deb-src )' "$file" && return 0
  done
  return 1
}
ensure_deb_src() {
  have_deb_src && return 0
  local src=/etc/apt/sources.list.d/lumo-deb-src.sources tmp
  say "adding deb-src entries in $src"
  tmp=$(mktemp)
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    # deb822: repeat each stanza with Types: deb-src.
    sed -e 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$tmp"
  else
    sed -n -e 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list >"$tmp"
  fi
  as_root install -m 0644 "$tmp" "$src"
  rm -f "$tmp"
  as_root apt-get update -qq
}

# fetch_source PACKAGE VERSION WORK: unpacks that version of the source
# package into WORK, its patches applied, and sets SRC to its folder. A tree
# unpacked there already is reused. (A variable rather than output: a
# failure inside $(...) would not stop the script.)
fetch_source() {
  local package=$1 version=$2 work=$3 dsc
  SRC=$(find "$work" -maxdepth 1 -type d -name "$package-*" | head -n1)
  if [ -z "$SRC" ] || [ ! -f "$SRC/configure" ]; then
    say "fetching the $package $version source"
    (cd "$work" && apt-get source --download-only "$package=$version" >&2)
    dsc=$(ls "$work/${package}_"*.dsc | head -n1)
    (cd "$work" && dpkg-source --no-check -x "$dsc" >&2)
    SRC=$(find "$work" -maxdepth 1 -type d -name "$package-*" | head -n1)
  fi
}
