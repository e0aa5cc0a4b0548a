#!/usr/bin/env bash
# Installs what cross-building the Windows DLL and testing it under Wine needs
# on Debian 12, as root, and creates the Wine prefix the tests run in (once;
# WINEPREFIX, default ~/.wine-korvel). The cross build compiles against the
# build machine's yyjson.h, which scripts/install-deps.sh provides, and
# korvel.exe against its CLI11 headers (header-only).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# googletest: GoogleTest's sources (/usr/src/googletest), which the cross build
# compiles with mingw-w64 for the Windows suite; libcli11-dev for the command.
apt_packages=(cmake ninja-build g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64 wine googletest libcli11-dev)

log() { printf '[deps-windows] %s\n' "$*"; }

# shellcheck source=scripts/apt-helpers.sh
. "$here/apt-helpers.sh"
install_missing_packages deps-windows "${apt_packages[@]}"

if [ ! -e /usr/include/yyjson.h ] && [ ! -e /usr/local/include/yyjson.h ]; then
  log "yyjson.h is missing: running install-deps.sh"
  bash "$here/install-deps.sh"
fi

. "$here/../cmake/wine-env.sh"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  log "creating the Wine prefix $WINEPREFIX"
  # Wine's background processes inherit our output; keep them off it.
  DISPLAY= wineboot -i </dev/null >/dev/null 2>&1
  wineserver -w </dev/null >/dev/null 2>&1 || true
  [ -f "$WINEPREFIX/system.reg" ] || { echo "wineboot did not create $WINEPREFIX" >&2; exit 1; }
fi
log "ready"
