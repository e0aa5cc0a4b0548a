#!/usr/bin/env bash
# Installs what building, testing and packaging korvel needs on Debian 12, as
# root (cpack's .deb takes its dependencies from dpkg-shlibdeps and file).
# yyjson 0.12 is not in Debian 12: its binary packages come from Debian's
# unstable suite, fetched with apt under a private sources list and state
# directory (the machine's own apt configuration is left untouched) and
# installed with dpkg. The mirror is the one this machine already uses.
set -euo pipefail

apt_packages=(
  build-essential cmake ninja-build pkg-config python3 binutils
  libsystemd-dev libsystemd0 systemd dbus-daemon dbus-bin polkitd
  libgtest-dev googletest
  dpkg-dev file
  libcli11-dev help2man
  python3-venv python3-setuptools python3-wheel python3-pip mypy
  clang libfuzzer-14-dev
  mono-mcs mono-runtime
)

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/apt-helpers.sh
. "$here/apt-helpers.sh"

log() { printf '[deps] %s\n' "$*"; }

# The first Debian mirror named in the machine's apt sources (deb822 or
# one-line format), skipping the security archive.
debian_mirror() {
  local f uri=""
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -r "$f" ] || continue
    uri=$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) print $i }' "$f" | grep -v -- '-security' | head -n 1)
    [ -n "$uri" ] && break
  done
  if [ -z "$uri" ] && [ -r /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' /etc/apt/sources.list | grep -v -- '-security' | head -n 1)
  fi
  [ -n "$uri" ] || { echo "no Debian mirror found in the apt sources" >&2; return 1; }
  printf '%s\n' "${uri%/}"
}

yyjson_installed() {
  dpkg-query -W -f='${Version}\n' libyyjson-dev 2>/dev/null | grep -q '^0\.1[2-9]'
}

install_yyjson() {
  yyjson_installed && return 0
  local work mirror
  work=$(mktemp -d)
  trap 'rm -rf "$work"' RETURN
  mirror=$(debian_mirror)
  log "fetching libyyjson0 and libyyjson-dev from the unstable suite of $mirror"
  mkdir -p "$work/lists/partial" "$work/archives/partial" "$work/debs"
  printf 'deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] %s unstable main\n' "$mirror" > "$work/unstable.list"
  local opts=(
    -o "Dir::Etc::SourceList=$work/unstable.list"
    -o "Dir::Etc::SourceParts=/dev/null"
    -o "Dir::State::Lists=$work/lists"
    -o "Dir::Cache::Archives=$work/archives"
    -o "Dir::Cache::pkgcache=" -o "Dir::Cache::srcpkgcache="
    -o "APT::Architecture=$(dpkg --print-architecture)"
    -o "APT::Sandbox::User=root"
    # A mirror frozen at a date serves an unstable Release file past its
    # Valid-Until; the signature is still checked.
    -o "Acquire::Check-Valid-Until=false"
  )
  apt-get "${opts[@]}" update -qq
  (cd "$work/debs" && apt-get "${opts[@]}" download libyyjson0 libyyjson-dev)
  as_root dpkg -i "$work"/debs/*.deb >/dev/null
  yyjson_installed || { echo "yyjson 0.12 did not install" >&2; return 1; }
}

install_missing_packages deps "${apt_packages[@]}"
# The Node and Rust packages' tests use the machine's node and cargo when it
# has them, else Debian's (koffi comes from the npm registry; the crate has
# no dependencies).
command -v npm >/dev/null || install_missing_packages deps nodejs npm
command -v cargo >/dev/null || install_missing_packages deps cargo
install_yyjson
log "ready"
