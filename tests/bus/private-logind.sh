#!/usr/bin/env bash
# Starts or stops a private system bus with the real systemd-logind on it, for
# tests and the demo. The machine's own /run/dbus is never touched.
#
#   private-logind.sh start DIR   # prints the bus address on success
#   private-logind.sh stop DIR
#   private-logind.sh answers     # exit 0 when logind answers on the system
#                                 # bus this environment names (or the default)
#
# On failure `start` writes the reason to DIR/unavailable and exits 0, so tests
# that need logind skip with that reason (or fail when KORVEL_REQUIRE_LOGIND=1).
#
# Only one logind can run per machine. A private logind started here is listed
# in $registry; a second start (another build tree testing at the same time)
# borrows it through a symlink instead of failing, and its stop leaves it
# running for its owner.
set -u
registry=/run/korvel-test-logind
action=${1:?start, stop or answers}
dir=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
logind=/lib/systemd/systemd-logind

fail() {
  echo "$*" > "$dir/unavailable"
  echo "private logind unavailable: $*" >&2
  exit 0
}

stop_pid() {
  local f=$1 pid
  [ -f "$f" ] || return 0
  pid=$(cat "$f")
  kill "$pid" 2>/dev/null
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null
  rm -f "$f"
}

logind_answers() {
  timeout 5 busctl --system get-property org.freedesktop.login1 /org/freedesktop/login1 \
    org.freedesktop.login1.Manager BlockInhibited >/dev/null 2>&1
}

bus_answers() {
  DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/system_bus_socket" logind_answers
}

start() {
  mkdir -p "$dir"
  rm -f "$dir/unavailable"
  if [ -f "$dir/logind.pid" ] && kill -0 "$(cat "$dir/logind.pid")" 2>/dev/null && bus_answers; then
    echo "unix:path=$dir/system_bus_socket"
    return 0
  fi
  command -v dbus-daemon >/dev/null || fail "dbus-daemon is not installed"
  [ -x "$logind" ] || fail "$logind is not installed"
  [ "$(id -u)" -eq 0 ] || fail "systemd-logind needs root"
  # logind keeps its state in /run/systemd: a second one would fight the
  # first, so borrow a private one that another tree started, or give up.
  if pgrep -x systemd-logind >/dev/null; then
    if [ -S "$registry/system_bus_socket" ]; then
      rm -f "$dir/system_bus_socket"
      ln -s "$(readlink -f "$registry/system_bus_socket")" "$dir/system_bus_socket"
      touch "$dir/borrowed"
      bus_answers && { echo "unix:path=$dir/system_bus_socket"; return 0; }
      rm -f "$dir/system_bus_socket" "$dir/borrowed"
    fi
    fail "a systemd-logind already runs on this machine"
  fi
  sed "s|@SOCKET@|$dir/system_bus_socket|" "$here/system-bus.conf.in" > "$dir/system.conf"
  rm -f "$dir/system_bus_socket"
  setsid dbus-daemon --config-file="$dir/system.conf" --nofork --nopidfile \
    </dev/null >"$dir/dbus.log" 2>&1 &
  echo $! > "$dir/dbus.pid"
  for _ in $(seq 100); do [ -S "$dir/system_bus_socket" ] && break; sleep 0.05; done
  [ -S "$dir/system_bus_socket" ] || fail "dbus-daemon did not start (see $dir/dbus.log)"
  DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/system_bus_socket" setsid "$logind" \
    </dev/null >"$dir/logind.log" 2>&1 &
  echo $! > "$dir/logind.pid"
  for _ in $(seq 100); do bus_answers && break; sleep 0.05; done
  bus_answers || { stop; fail "systemd-logind did not answer (see $dir/logind.log)"; }
  mkdir -p "$registry" && ln -sfn "$dir/system_bus_socket" "$registry/system_bus_socket"
  echo "unix:path=$dir/system_bus_socket"
}

stop() {
  if [ -f "$dir/borrowed" ]; then
    rm -f "$dir/borrowed" "$dir/system_bus_socket"
    return 0
  fi
  [ "$(readlink "$registry/system_bus_socket" 2>/dev/null)" = "$dir/system_bus_socket" ] &&
    rm -f "$registry/system_bus_socket"
  stop_pid "$dir/logind.pid"
  stop_pid "$dir/dbus.pid"
  rm -f "$dir/system_bus_socket"
}

case $action in
  start) [ -n "$dir" ] || exit 2; start ;;
  stop) [ -n "$dir" ] || exit 2; stop ;;
  answers) logind_answers ;;
  *) echo "usage: $0 start|stop DIR, or $0 answers" >&2; exit 2 ;;
esac
