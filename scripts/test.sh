#!/usr/bin/env bash
# Installs what is missing, builds korvel and runs every test suite: the
# normal build (core, Linux layer, library against logind, desktop services,
# the command, the Python wheel, C99 consumer, exports, install layouts), the
# same under AddressSanitizer + UndefinedBehaviorSanitizer, the threaded core
# tests and a library soak under ThreadSanitizer, the options text under
# libFuzzer for a bounded time, and the Windows DLL's suite under Wine. Run
# as root on Debian 12.
# Usage: scripts/test.sh [STAGE...] [--no-windows]
#   STAGE         dev, asan, tsan, fuzz or windows: runs only those stages
#                 (default: all of them, as CI does)
#   --no-windows  leaves out the Windows suite, for a quicker local run
# KORVEL_FUZZ_SECONDS (default 60) bounds the fuzzing.
set -euo pipefail
cd "$(dirname "$0")/.."

all_stages=(dev asan tsan fuzz windows)
stages=()
no_windows=0
for arg in "$@"; do
  case $arg in
    --no-windows) no_windows=1 ;;
    dev|asan|tsan|fuzz|windows) stages+=("$arg") ;;
    *) echo "usage: $0 [dev|asan|tsan|fuzz|windows]... [--no-windows]" >&2; exit 2 ;;
  esac
done
[ ${#stages[@]} -gt 0 ] || stages=("${all_stages[@]}")
wanted() {
  local s
  [ "$1" = windows ] && [ "$no_windows" = 1 ] && return 1
  for s in "${stages[@]}"; do [ "$s" = "$1" ] && return 0; done
  return 1
}

bash scripts/install-deps.sh
bash scripts/install-deps-desktop.sh
if wanted windows; then bash scripts/install-deps-windows.sh; fi

# On CI a missing logind is a failure, not a skip.
if [ -n "${CI:-}" ]; then export KORVEL_REQUIRE_LOGIND=1; fi

# dev: everything; asan: everything under ASan+UBSan (the soak for 20 s);
# tsan: the threaded core tests and the soak under ThreadSanitizer.
for preset in dev asan tsan; do
  wanted "$preset" || continue
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset"
done

# A finding stops the run; its input, written to build-fuzz/crashes/, goes
# into tests/fuzz/regressions/, which every build replays from then on.
if wanted fuzz; then
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
fi

if wanted windows; then
  echo "== windows build under wine"
  bash scripts/test-windows.sh
fi
