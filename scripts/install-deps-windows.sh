#!/usr/bin/env bash
# Installs what cross-building the Windows DLL and testing it under Wine needs
# on Debian 12, as root, and creates the Wine prefix the tests run in (once;
# WINEPREFIX, default ~/.wine-korvel). The cross build compiles against the
# build machine's yyjson.h, which scripts/install-deps.sh provides.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

apt_packages=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine)

log() { printf '[deps-windows] %s\n' "$*"; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  log "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ ! -e /usr/include/yyjson.h ] && [ ! -e /usr/local/include/yyjson.h ]; then
  log "yyjson.h is missing: running install-deps.sh"
  "$here/install-deps.sh"
fi

export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-korvel}"
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  log "creating the Wine prefix $WINEPREFIX"
  # Wine's background processes inherit our output; keep them off it.
  DISPLAY= wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w </dev/null >/dev/null 2>&1 || true
  [ -f "$WINEPREFIX/system.reg" ] || { echo "wineboot did not create $WINEPREFIX" >&2; exit 1; }
fi
log "ready"
