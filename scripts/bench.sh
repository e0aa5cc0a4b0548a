#!/usr/bin/env bash
# Builds the release library and times kor_on + kor_off cycles against
# systemd-logind (a private one when no system bus with logind answers).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
if ! timeout 5 busctl --system get-property org.freedesktop.login1 /org/freedesktop/login1 \
     org.freedesktop.login1.Manager BlockInhibited >/dev/null 2>&1; then
  bus_dir=$PWD/build-release/bench-logind
  export DBUS_SYSTEM_BUS_ADDRESS=$(tests/bus/private-logind.sh start "$bus_dir")
  trap 'tests/bus/private-logind.sh stop "$bus_dir"' EXIT
fi
build-release/korvel_bench_cycle "${1:-1000}"
