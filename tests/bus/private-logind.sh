#!/usr/bin/env bash
# Runs a command beside a private systemd-logind, in mount, pid and network
# namespaces of its own, so that any number of test processes, build trees, demos and
# benchmarks each have their own logind and never touch the machine's /run.
#
#   private-logind.sh run CMD [ARG...]    # exits with CMD's status
#   private-logind.sh need CMD [ARG...]   # the same, but without logind CMD
#                                         # does not run: exits 77 (skipped)
#   private-logind.sh restart             # inside `run`: a new bus and logind
#   private-logind.sh hide-yyjson         # inside `run`: the system's yyjson hidden
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
# reason, or fail when KORVEL_REQUIRE_LOGIND=1 (`need` does both itself).
# Listing a GoogleTest binary's tests (--gtest_list_tests) needs no logind
# and runs CMD directly.
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
  if [ -n "${KORVEL_LOGIND_NEEDED:-}" ]; then
    echo "no private logind: $KORVEL_LOGIND_UNAVAILABLE"
    [ "${KORVEL_REQUIRE_LOGIND:-}" = 1 ] && exit 1
    exit 77
  fi
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
  unshare -m -p -n --mount-proc --propagation private --kill-child true 2>/dev/null ||
    run_without "cannot make private mount and pid namespaces (unshare)" "$@"
  exec unshare -m -p -n --mount-proc --propagation private --kill-child -- "$0" _inside "$@"
}

# Starts the bus and logind inside the namespaces; the reason when logind
# does not answer.
start_bus_and_logind() {
  local log=/run/korvel-logind.log i
  sed "s|@SOCKET@|/run/dbus/system_bus_socket|" "$here/system-bus.conf.in" > /run/dbus/system.conf
  rm -f /run/dbus/system_bus_socket
  dbus-daemon --config-file=/run/dbus/system.conf --nofork --nopidfile </dev/null >>"$log" 2>&1 &
  for i in $(seq 100); do [ -S /run/dbus/system_bus_socket ] && break; sleep 0.02; done
  "$logind" </dev/null >>"$log" 2>&1 &
  for i in $(seq 250); do logind_answers && return 0; sleep 0.02; done
  echo "systemd-logind did not answer: $(tail -c 300 "$log" | tr '\n' ' ')"
  return 1
}

# pid 1 of the new namespaces.
inside() {
  mount -t tmpfs -o mode=755 korvel-run /run || run_without "cannot mount a tmpfs on /run" "$@"
  # logind refuses Inhibit ("No such file or directory") without these.
  mkdir -p /run/dbus /run/user /run/systemd/{seats,sessions,users,inhibit,shutdown,machines}
  # Programs here get the same pids, and pick the same X display numbers, as
  # in every other namespace: what they name by pid or display in a shared
  # folder (gnome-session's ICE listener, Xvfb's compiled keymaps) would
  # collide, so those folders are private too. (/tmp itself is not: the tree
  # under test may live there. Abstract sockets, X's and ICE's, are kept apart
  # by the network namespace; the tests' X servers make no lock files.)
  mkdir -p /tmp/.ICE-unix && mount -t tmpfs -o mode=1777 korvel-ice /tmp/.ICE-unix
  [ -d /var/lib/xkb ] && mount -t tmpfs -o mode=755 korvel-xkb /var/lib/xkb
  export DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/dbus/system_bus_socket
  local why
  why=$(start_bus_and_logind) || run_without "$why" "$@"
  export KORVEL_PRIVATE_LOGIND=1
  # Not exec: as pid 1 this shell reaps what CMD leaves behind, and the
  # namespace (logind and the bus with it) ends when it exits.
  "$@"
}

# Inside `run` only: a new bus and logind in place of the running ones, so
# that tests can break the connections of the process under test.
restart() {
  [ -n "${KORVEL_PRIVATE_LOGIND:-}" ] || { echo "restart works only inside 'run'" >&2; exit 2; }
  pkill -x systemd-logind
  pkill -x dbus-daemon
  local i
  for i in $(seq 100); do
    pgrep -x dbus-daemon >/dev/null || pgrep -x systemd-logind >/dev/null || break
    sleep 0.02
  done
  start_bus_and_logind >&2
}

# Inside `run` only: the system's yyjson becomes an empty file in this mount
# namespace, so a library that still loads has found its own copy.
hide_system_yyjson() {
  [ -n "${KORVEL_PRIVATE_LOGIND:-}" ] || { echo "hide-yyjson works only inside 'run'" >&2; exit 2; }
  local lib
  for lib in $(ldconfig -p | awk '$1 == "libyyjson.so.0" { print $NF }'); do mount --bind /dev/null "$lib"; done
}

case ${1:-} in
  run) shift; [ $# -gt 0 ] || exit 2; run "$@" ;;
  need) shift; [ $# -gt 0 ] || exit 2; export KORVEL_LOGIND_NEEDED=1; run "$@" ;;
  _inside) shift; inside "$@" ;;
  restart) restart ;;
  hide-yyjson) hide_system_yyjson ;;
  answers) logind_answers ;;
  *) echo "usage: $0 run|need CMD [ARG...] | restart | hide-yyjson | answers" >&2; exit 2 ;;
esac
