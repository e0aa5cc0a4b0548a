#!/usr/bin/env bash
# Installs what is missing, builds korvel and runs every test suite: the
# normal build, the AddressSanitizer + UndefinedBehaviorSanitizer build, and
# the other suites present in this tree (Linux desktop services; the Windows
# DLL under Wine). Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
for extra in scripts/install-deps-desktop.sh scripts/install-deps-windows.sh; do
  if [ -f "$extra" ]; then bash "$extra"; fi
done

# On CI a missing logind is a failure, not a skip.
if [ -n "${CI:-}" ]; then export KORVEL_REQUIRE_LOGIND=1; fi

for preset in dev asan; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

if [ -f scripts/test-windows.sh ]; then
  echo "== windows build under wine"
  bash scripts/test-windows.sh
fi
