#!/usr/bin/env bash
# Starts a private session bus for a test or a benchmark and, on request,
# GNOME's session manager alone on it; stops what it started.
#
#   private-session.sh start        # prints NAME=value lines: the environment
#                                   # that reaches the bus (KORVEL_SESSION_DIR,
#                                   # HOME, XDG dirs, DBUS_SESSION_BUS_ADDRESS)
#   private-session.sh gnome DIR    # GNOME's bare session manager on DIR's bus;
#                                   # returns once it answers
#   private-session.sh wait DIR NAME  # exit 0 once NAME has an owner on DIR's
#                                   # bus (within 10 s)
#   private-session.sh stop DIR     # stops both by pid, then removes DIR
#
# Nothing is started on demand on the bus (its config names no service
# folders), so a service nobody started is simply absent. HOME and the XDG
# dirs are in the scratch dir DIR: services write settings and sockets there,
# never into the real home. Each program's output goes to DIR/LABEL.log (dbus,
# gnome-session). On failure the one line printed says why; a missing program
# is named with its package ("... is not installed (package ...)").
#
# GNOME's session manager dies at start without systemd-logind on the system
# bus: run it inside `private-logind.sh run`.
set -u
here=$(cd "$(dirname "$0")" && pwd)
gnome_binary=/usr/libexec/gnome-session-binary

environment() {
  printf '%s\n' "KORVEL_SESSION_DIR=$1" "HOME=$1/home" "XDG_RUNTIME_DIR=$1" "XDG_CONFIG_HOME=$1/config" \
    NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory "DBUS_SESSION_BUS_ADDRESS=unix:path=$1/bus"
}

enter() {
  local line
  while IFS= read -r line; do export "${line?}"; done < <(environment "$1")
  # Headless: nothing started here may reach the machine's X display.
  unset DISPLAY
}

# A process's state and start time (fields 3 and 22 of its stat); the start
# time tells it from a later process that was given the same pid.
state_and_start() {
  local stat fields
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  read -ra fields <<<"${stat##*) }"
  echo "${fields[0]} ${fields[19]}"
}

running() {
  local now
  now=$(state_and_start "$1") || return 1
  [ "${now#* }" = "$2" ] && [ "${now%% *}" != Z ]
}

# Runs a program in the background with its output in DIR/LABEL.log, and
# notes it in DIR/pids for `stop`.
spawn() {
  local dir=$1 label=$2
  shift 2
  "$@" </dev/null >>"$dir/$label.log" 2>&1 &
  local start
  start=$(state_and_start $!) && echo "$! ${start#* }" >>"$dir/pids"
}

name_has_owner() {
  timeout 3 busctl --user call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus \
    NameHasOwner s "$1" 2>/dev/null | grep -q true
}

wait_for_name() {
  for _ in $(seq 500); do name_has_owner "$1" && return 0; sleep 0.02; done
  return 1
}

start() {
  command -v dbus-daemon >/dev/null || { echo "dbus-daemon is not installed (package dbus-daemon)"; return 1; }
  local dir
  dir=$(mktemp -d /tmp/korvel-session-XXXXXX) || { echo "mktemp failed"; return 1; }
  mkdir -p "$dir/home" "$dir/config"
  # The system bus's config with its permissive policy, as a session bus and
  # without the system services' own policies.
  sed -e "s|@SOCKET@|$dir/bus|" -e "s|<type>system</type>|<type>session</type>|" -e "/<includedir>/d" \
    "$here/system-bus.conf.in" >"$dir/session.conf"
  enter "$dir"
  spawn "$dir" dbus dbus-daemon --config-file="$dir/session.conf" --nofork --nopidfile
  # The socket file appears before the daemon listens on it: ready once it
  # answers.
  if ! wait_for_name org.freedesktop.DBus; then
    echo "the session bus did not start: $(tail -c 300 "$dir/dbus.log" | tr '\n' ' ')"
    stop "$dir"
    return 1
  fi
  environment "$dir"
}

gnome() {
  local dir=$1
  [ -x "$gnome_binary" ] || { echo "gnome-session-binary is not installed (package gnome-session-bin)"; return 1; }
  enter "$dir"
  # A session with no required components, and -a naming an empty folder so
  # that no autostart entry runs either: the session manager alone.
  mkdir -p "$dir/config/gnome-session/sessions" "$dir/autostart"
  printf '[GNOME Session]\nName=bare\nRequiredComponents=\n' >"$dir/config/gnome-session/sessions/bare.session"
  spawn "$dir" gnome-session "$gnome_binary" --builtin --session=bare -a "$dir/autostart" \
    --disable-acceleration-check
  wait_for_name org.gnome.SessionManager && return 0
  echo "gnome-session did not start: $(tail -c 300 "$dir/gnome-session.log" | tr '\n' ' ')"
  return 1
}

stop() {
  local dir=$1 pid start
  [[ $(basename "$dir") == korvel-session-* && -f $dir/session.conf ]] ||
    { echo "$dir is no private session" >&2; return 2; }
  # Services first, the bus last; each is given 3 s to end after TERM.
  while read -r pid start; do
    running "$pid" "$start" || continue
    kill -TERM "$pid"
    for _ in $(seq 150); do running "$pid" "$start" || break; sleep 0.02; done
    ! running "$pid" "$start" || kill -KILL "$pid"
  done < <(tac "$dir/pids" 2>/dev/null)
  rm -rf "$dir"
}

case ${1:-} in
  start) start ;;
  gnome) [ $# -eq 2 ] || exit 2; gnome "$2" ;;
  wait) [ $# -eq 3 ] || exit 2; enter "$2"; wait_for_name "$3" ;;
  stop) [ $# -eq 2 ] || exit 2; stop "$2" ;;
  *) echo "usage: $0 start | gnome DIR | wait DIR NAME | stop DIR" >&2; exit 2 ;;
esac
