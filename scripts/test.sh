#!/usr/bin/env bash
# Installs what is missing, builds korvel and runs every test suite: the
# normal build (core, Linux layer, library against logind, desktop services,
# ctypes and C99 hosts, exports), the same under AddressSanitizer +
# UndefinedBehaviorSanitizer, the core's threaded tests under ThreadSanitizer,
# and the Windows DLL's suite under Wine. Run as root on Debian 12.
# Usage: scripts/test.sh [--no-windows]
#   --no-windows  leaves out the Windows suite, for a quicker local run
#                 (CI runs everything)
set -euo pipefail
cd "$(dirname "$0")/.."

windows=1
for arg in "$@"; do
  case $arg in
    --no-windows) windows=0 ;;
    *) echo "usage: $0 [--no-windows]" >&2; exit 2 ;;
  esac
done

bash scripts/install-deps.sh
extras=(scripts/install-deps-desktop.sh)
if [ "$windows" = 1 ]; then extras+=(scripts/install-deps-windows.sh); fi
for extra in "${extras[@]}"; do
  if [ -f "$extra" ]; then bash "$extra"; fi
done

# On CI a missing logind is a failure, not a skip.
if [ -n "${CI:-}" ]; then export KORVEL_REQUIRE_LOGIND=1; fi

# dev: everything; asan: everything under ASan+UBSan; tsan: the threaded core
# tests under ThreadSanitizer.
for preset in dev asan tsan; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

if [ "$windows" = 1 ] && [ -f scripts/test-windows.sh ]; then
  echo "== windows build under wine"
  bash scripts/test-windows.sh
fi
