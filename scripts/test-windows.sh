#!/usr/bin/env bash
# Cross-builds the Windows DLL and its tests with mingw-w64 and runs the suite
# under Wine: the windows-cross workflow preset, in build-windows/. Run
# scripts/install-deps-windows.sh first.
set -euo pipefail
cd "$(dirname "$0")/.."
. cmake/wine-env.sh
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "no Wine prefix at $WINEPREFIX: run scripts/install-deps-windows.sh" >&2
  exit 1
fi
# The wrapper (cmake/wine-emulator.sh) starts the server for each test; it is
# stopped here, whatever the outcome.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
cmake --workflow --preset windows-cross
