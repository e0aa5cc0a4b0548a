#!/usr/bin/env bash
# Builds korvel and runs the demo host: a timed activation (or the options
# given as the first argument) whose status is printed every second, with the
# lock shown in `systemd-inhibit --list` while it lasts. Ctrl-C ends it early.
set -euo pipefail
cd "$(dirname "$0")/.."
options=${1:-'{"mode":"minutes","seconds":6,"name":"korvel demo"}'}

bash scripts/install-deps.sh >/dev/null
cmake --preset dev >/dev/null
cmake --build --preset dev --target korvel-demo >/dev/null

if ! tests/bus/private-logind.sh answers; then
  bus_dir=$PWD/build/demo-logind
  export DBUS_SYSTEM_BUS_ADDRESS=$(tests/bus/private-logind.sh start "$bus_dir")
  trap 'tests/bus/private-logind.sh stop "$bus_dir"' EXIT
  if [ -f "$bus_dir/unavailable" ]; then
    echo "No systemd-logind answers here and none could be started: $(cat "$bus_dir/unavailable")" >&2
    exit 1
  fi
  echo "No system bus with systemd-logind answers here: started a private one for this demo ($DBUS_SYSTEM_BUS_ADDRESS)."
fi

build/korvel-demo "$options" &
demo=$!
sleep 2.5
echo "--- systemd-inhibit --list, while the activation lasts:"
systemd-inhibit --list --no-pager || true
wait "$demo"
echo "--- systemd-inhibit --list, after it ended:"
systemd-inhibit --list --no-pager || true
