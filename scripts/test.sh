#!/usr/bin/env bash
# Installs what is missing, builds korvel and runs every test suite: the
# normal build (core, Linux layer, library against logind, desktop services,
# the command, the Python wheel, C99 consumer, exports, install layouts), the
# same under AddressSanitizer + UndefinedBehaviorSanitizer, the threaded core
# tests and a library soak under ThreadSanitizer, the options text under
# libFuzzer for a bounded time, and the Windows DLL's suite under Wine. Run
# as root on Debian 12.
# Usage: scripts/test.sh [--no-windows]
#   --no-windows  leaves out the Windows suite, for a quicker local run
#                 (CI runs everything)
# KORVEL_FUZZ_SECONDS (default 60) bounds the fuzzing.
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
for extra in "${extras[@]}"; do bash "$extra"; done

# On CI a missing logind is a failure, not a skip.
if [ -n "${CI:-}" ]; then export KORVEL_REQUIRE_LOGIND=1; fi

# dev: everything; asan: everything under ASan+UBSan (the soak for 20 s);
# tsan: the threaded core tests and the soak under ThreadSanitizer.
for preset in dev asan tsan; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

# A finding stops the run; its input, written to build-fuzz/crashes/, goes
# into tests/fuzz/regressions/, which every build replays from then on.
echo "== fuzz: the options text under libFuzzer for ${KORVEL_FUZZ_SECONDS:-60} s"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
mkdir -p build-fuzz/corpus build-fuzz/crashes
if build-fuzz/korvel_fuzz_options -max_total_time="${KORVEL_FUZZ_SECONDS:-60}" -print_final_stats=1 \
    -dict=tests/fuzz/options.dict -artifact_prefix=build-fuzz/crashes/ \
    build-fuzz/corpus tests/fuzz/corpus tests/fuzz/regressions >build-fuzz/fuzz.log 2>&1; then
  grep -E '^(Done|stat::)' build-fuzz/fuzz.log
else
  tail -n 40 build-fuzz/fuzz.log
  echo "the fuzzer found a fault: its input is in build-fuzz/crashes/" >&2
  exit 1
fi

if [ "$windows" = 1 ]; then
  echo "== windows build under wine"
  bash scripts/test-windows.sh
fi
