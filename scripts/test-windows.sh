#!/usr/bin/env bash
# Cross-builds the Windows DLL and its tests with mingw-w64 and runs the suite
# under Wine. Run scripts/install-deps-windows.sh first.
# Usage: scripts/test-windows.sh [BUILD_DIR]   (default: build-windows/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-windows}

export WINEPREFIX="${WINEPREFIX:-$HOME/.wine-korvel}"
export WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "no Wine prefix at $WINEPREFIX: run scripts/install-deps-windows.sh" >&2
  exit 1
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S "$root" -B "$build" "${generator[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --parallel

# The wrapper (cmake/wine-emulator.sh) starts the server for each test; it is
# stopped here, whatever the outcome.
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
ctest --test-dir "$build" --output-on-failure --timeout 120
