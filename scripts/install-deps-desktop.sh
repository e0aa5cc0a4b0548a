#!/usr/bin/env bash
# Installs, on Debian 12 as root, the desktop services the desktop tests start
# on private session buses (tests/desktop): GNOME's session manager, an X
# server, two org.freedesktop.ScreenSaver services, XFCE's power manager, and
# Python with D-Bus, GLib and Xlib for the stand-in services and the X screen
# saver check. Tests whose service is missing skip and say which package.
set -euo pipefail

apt_packages=(
  dbus-daemon libglib2.0-bin
  gnome-session-bin
  xvfb x11-xserver-utils xssproxy xscreensaver
  xfce4-power-manager
  python3 python3-dbus python3-gi python3-xlib
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for p in "${apt_packages[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  printf '[deps-desktop] installing: %s\n' "${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  as_root apt-get update -qq
  as_root apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
printf '[deps-desktop] ready\n'
