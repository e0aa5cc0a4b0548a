#!/usr/bin/env bash
# Builds the release library and measures it (bench/bench_korvel.cpp) against
# systemd-logind (a private one when no system bus with logind answers): how
# soon watched processes and deadlines end an activation, how often the
# library's threads wake, and kor_on + kor_off cycles beside the bare sd-bus
# cost of the same lock and, with a private session bus running GNOME's
# session manager, with a desktop inhibitor too. Given the folder of another
# build's library (an older one, say), measures that one first, in the same
# run, beside the same logind and session.
#   bash scripts/bench.sh [CYCLES [BASELINE_LIBRARY_DIR]]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
bash scripts/install-deps-desktop.sh >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null

# Measured beside a private logind, in namespaces of its own, unless one
# answers here.
if [ "${1:-}" != --inside ] && ! tests/bus/private-logind.sh answers; then
  exec tests/bus/private-logind.sh run bash "$0" --inside "$@"
fi
[ "${1:-}" = --inside ] && shift
if [ -n "${KORVEL_LOGIND_UNAVAILABLE:-}" ]; then
  echo "no systemd-logind to measure against: $KORVEL_LOGIND_UNAVAILABLE" >&2
  exit 1
fi

# A private session bus (nothing started on demand) with a bare GNOME session
# manager on it.
session_env=$(tests/bus/private-session.sh start)
eval "$session_env"
trap 'tests/bus/private-session.sh stop "$KORVEL_SESSION_DIR"' EXIT
tests/bus/private-session.sh gnome "$KORVEL_SESSION_DIR"

if [ -n "${2:-}" ]; then
  echo "== the library in $2"
  LD_LIBRARY_PATH="$2" build-release/korvel_bench "${1:-1000}" "$DBUS_SESSION_BUS_ADDRESS"
  echo "== this build's library"
fi
build-release/korvel_bench "${1:-1000}" "$DBUS_SESSION_BUS_ADDRESS"
