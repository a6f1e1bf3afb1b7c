# Fetching a Debian source package, for the scripts that build Windows
# libraries from Debian's own sources (qt-windows.sh, sqlite-windows.sh).
# Sourced; the caller defines say().

lumo_as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# Installs the Debian packages named that are missing (output to stderr).
lumo_install_missing() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  say "installing ${missing[*]}"
  lumo_as_root apt-get update -qq
  DEBIAN_FRONTEND=noninteractive lumo_as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# apt-get source needs a deb-src entry. Where the machine has none, adds one
# for the archive its deb entries already use (same URIs, suites, keyring).
lumo_ensure_deb_src() {
  # (cat, not grep -r: a missing sources.list would make grep fail even
  # when it finds an entry.)
  if cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
     grep -qE '^(Types:.*deb-src|deb-src )'; then
    return 0
  fi
  local src=/etc/apt/sources.list.d/lumo-deb-src.sources tmp
  say "adding deb-src entries in $src"
  tmp=$(mktemp)
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    # deb822: repeat each stanza with Types: deb-src.
    sed -e 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources >"$tmp"
  else
    sed -n -e 's/^deb \(.*\)/deb-src \1/p' /etc/apt/sources.list >"$tmp"
  fi
  lumo_as_root install -m 0644 "$tmp" "$src"
  rm -f "$tmp"
  lumo_as_root apt-get update -qq
}

# lumo_debian_source PACKAGE VERSION WORK: the source of PACKAGE at VERSION,
# with Debian's patches applied, unpacked in WORK (fetched there unless an
# earlier run left it); prints its folder.
lumo_debian_source() {
  local package=$1 version=$2 work=$3 dir
  dir=$(find "$work" -maxdepth 1 -type d -name "$package-*" | head -n1)
  if [ -z "$dir" ] || [ ! -d "$dir/debian" ]; then
    lumo_ensure_deb_src
    say "fetching the $package $version source"
    (cd "$work" && apt-get source --download-only "$package=$version" >&2)
    (cd "$work" && dpkg-source --no-check -x "$(ls "$work/${package}_"*.dsc | head -n1)" >&2)
    dir=$(find "$work" -maxdepth 1 -type d -name "$package-*" | head -n1)
  fi
  echo "$dir"
}
