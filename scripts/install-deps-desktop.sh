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

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/apt-helpers.sh
. "$here/apt-helpers.sh"
install_missing_packages deps-desktop "${apt_packages[@]}"
printf '[deps-desktop] ready\n'
