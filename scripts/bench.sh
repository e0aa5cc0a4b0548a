#!/usr/bin/env bash
# Builds the release library and measures it (bench/bench_korvel.cpp) against
# systemd-logind (a private one when no system bus with logind answers): how
# soon watched processes and deadlines end an activation, how often the
# library's threads wake, and kor_on + kor_off cycles beside the bare sd-bus
# cost of the same lock and, with a private session bus running GNOME's
# session manager, with a desktop inhibitor too.
#   bash scripts/bench.sh [CYCLES]
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

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  [ -n "${session_dir:-}" ] && rm -rf "$session_dir"
}
trap cleanup EXIT

# A private session bus (nothing started on demand) with a bare GNOME session
# manager on it, whose settings go to a scratch home.
session_dir=$(mktemp -d)
mkdir -p "$session_dir/home" "$session_dir/autostart" "$session_dir/config/gnome-session/sessions"
printf '[GNOME Session]\nName=bare\nRequiredComponents=\n' \
  > "$session_dir/config/gnome-session/sessions/bare.session"
cat > "$session_dir/session.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$session_dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/><allow receive_sender="*"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
CONF
session_bus=unix:path=$session_dir/bus
dbus-daemon --config-file="$session_dir/session.conf" --nofork --nopidfile >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -S "$session_dir/bus" ] && break; sleep 0.05; done
HOME=$session_dir/home XDG_RUNTIME_DIR=$session_dir XDG_CONFIG_HOME=$session_dir/config \
  NO_AT_BRIDGE=1 GSETTINGS_BACKEND=memory DBUS_SESSION_BUS_ADDRESS=$session_bus \
  /usr/libexec/gnome-session-binary --builtin --session=bare -a "$session_dir/autostart" \
  --disable-acceleration-check >/dev/null 2>&1 &
pids+=($!)
DBUS_SESSION_BUS_ADDRESS=$session_bus gdbus wait --session --timeout 10 org.gnome.SessionManager

build-release/korvel_bench "${1:-1000}" "$session_bus"
