#!/usr/bin/env bash
# Runs a command beside a private systemd-logind, in mount and pid namespaces
# of its own, so that any number of test processes, build trees, demos and
# benchmarks each have their own logind and never touch the machine's /run.
#
#   private-logind.sh run CMD [ARG...]    # exits with CMD's status
#   private-logind.sh answers             # exit 0 when logind answers on the
#                                         # system bus this environment names
#
# Inside, a tmpfs covers /run, the system bus listens on its usual socket
# (/run/dbus/system_bus_socket, also exported as DBUS_SYSTEM_BUS_ADDRESS) and
# logind runs on it; `systemd-inhibit --list`, busctl and the library find
# them as on a real machine. Everything started inside ends with CMD (pid 1
# of the namespace is this script). /proc/sys/kernel/ns_last_pid is writable
# inside, which lets a test hand a chosen pid to its next child.
#
# When logind cannot be had (not root, no unshare, not installed), CMD still
# runs, with KORVEL_LOGIND_UNAVAILABLE saying why: tests then skip with that
# reason, or fail when KORVEL_REQUIRE_LOGIND=1. Listing a GoogleTest binary's
# tests (--gtest_list_tests) needs no logind and runs CMD directly.
set -u
here=$(cd "$(dirname "$0")" && pwd)
logind=/lib/systemd/systemd-logind

logind_answers() {
  timeout 5 busctl --system get-property org.freedesktop.login1 /org/freedesktop/login1 \
    org.freedesktop.login1.Manager BlockInhibited >/dev/null 2>&1
}

run_without() {
  export KORVEL_LOGIND_UNAVAILABLE="$1"
  shift
  exec "$@"
}

run() {
  local arg
  for arg in "$@"; do
    [ "$arg" = --gtest_list_tests ] && exec "$@"
  done
  # Already inside (a test that runs another program through this script).
  [ -n "${KORVEL_PRIVATE_LOGIND:-}" ] && exec "$@"
  command -v dbus-daemon >/dev/null || run_without "dbus-daemon is not installed" "$@"
  [ -x "$logind" ] || run_without "$logind is not installed" "$@"
  [ "$(id -u)" -eq 0 ] || run_without "a private systemd-logind needs root" "$@"
  unshare -m -p --mount-proc --propagation private --kill-child true 2>/dev/null ||
    run_without "cannot make private mount and pid namespaces (unshare)" "$@"
  exec unshare -m -p --mount-proc --propagation private --kill-child -- "$0" _inside "$@"
}

# pid 1 of the new namespaces.
inside() {
  mount -t tmpfs -o mode=755 korvel-run /run || run_without "cannot mount a tmpfs on /run" "$@"
  # logind refuses Inhibit ("No such file or directory") without these.
  mkdir -p /run/dbus /run/user /run/systemd/{seats,sessions,users,inhibit,shutdown,machines}
  local log=/run/korvel-logind.log
  sed "s|@SOCKET@|/run/dbus/system_bus_socket|" "$here/system-bus.conf.in" > /run/dbus/system.conf
  dbus-daemon --config-file=/run/dbus/system.conf --nofork --nopidfile </dev/null >"$log" 2>&1 &
  local i
  for i in $(seq 100); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.02; done
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket
  "$logind" </dev/null >>"$log" 2>&1 &
  for i in $(seq 250); do logind_answers && break; sleep 0.02; done
  export KORVEL_PRIVATE_LOGIND=1
  logind_answers || run_without "systemd-logind did not answer: $(tail -c 300 "$log" | tr '\n' ' ')" "$@"
  # Not exec: as pid 1 this shell reaps what CMD leaves behind, and the
  # namespace (logind and the bus with it) ends when it exits.
  "$@"
}

case ${1:-} in
  run) shift; [ $# -gt 0 ] || exit 2; run "$@" ;;
  _inside) shift; inside "$@" ;;
  answers) logind_answers ;;
  *) echo "usage: $0 run CMD [ARG...] | answers" >&2; exit 2 ;;
esac
