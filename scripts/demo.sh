#!/usr/bin/env bash
# Builds korvel and runs the demo host: a timed activation (or the options
# given as the first argument) whose status is printed every second, with the
# lock shown in `systemd-inhibit --list` while it lasts. Ctrl-C ends it early.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${1:-}" != --show ]; then
  options=${1:-'{"mode":"minutes","seconds":6,"name":"korvel demo"}'}
  bash scripts/install-deps.sh >/dev/null
  cmake --preset dev >/dev/null
  cmake --build --preset dev --target korvel-demo >/dev/null
  tests/bus/private-logind.sh answers && exec bash "$0" --show "$options"
  echo "No system bus with systemd-logind answers here: the demo runs beside a private one, in namespaces of its own."
  exec tests/bus/private-logind.sh run bash "$0" --show "$options"
fi

if [ -n "${KORVEL_LOGIND_UNAVAILABLE:-}" ]; then
  echo "No systemd-logind answers here and none could be started: $KORVEL_LOGIND_UNAVAILABLE" >&2
  exit 1
fi
build/korvel-demo "$2" &
demo=$!
sleep 2.5
echo "--- systemd-inhibit --list, while the activation lasts:"
systemd-inhibit --list --no-pager || true
wait "$demo"
echo "--- systemd-inhibit --list, after it ended:"
systemd-inhibit --list --no-pager || true
