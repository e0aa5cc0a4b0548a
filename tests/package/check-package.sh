#!/usr/bin/env bash
# Builds C consumers (pkg-config, find_package, bare -l) against an installed or
# packaged build and runs them against logind, with nothing but the installed
# files to find the library by. LAYOUT is one of
#   prefix  cmake --install into a scratch prefix
#   system  into /usr/local, ldconfig, then loads by bare name (-l, ctypes)
#   bundle  the cpack tarball, unpacked, with the system's yyjson hidden
#   deb     the .deb of a /usr build: its files and dependencies, then dpkg -i
# It runs beside a private logind, whose mount namespace confines the system
# and deb cases: /usr, /etc and /var become overlays on tmpfs there.
#   check-package.sh LAYOUT BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
layout=${1:?layout}
build=$(cd "${2:?build dir}" && pwd)
lib=brenvic-korvel-sleep-blocker.so
if [ -n "${KORVEL_LOGIND_UNAVAILABLE:-}" ]; then
  echo "no private logind: $KORVEL_LOGIND_UNAVAILABLE"
  [ "${KORVEL_REQUIRE_LOGIND:-}" = 1 ] && exit 1 || exit 77
fi
[ -n "${KORVEL_PRIVATE_LOGIND:-}" ] || exec "$src/tests/bus/private-logind.sh" run "$0" "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# BINARY loads the library from the folder DIR and holds the lock.
holds_lock() {
  local found out
  found=$(ldd "$1" | awk -v n="$lib" '$1 == n { print $3 }')
  [ -n "$found" ] && [ "$(realpath "$found")" = "$(realpath "$2/$lib")" ] || fail "$1 does not load $2/$lib"
  out=$("$1") && grep -q '"active":1' <<<"$out" || fail "$1 holds no lock: $out"
}

# Through pkg-config and find_package(PREFIX); "rpath" where the loader would not look.
consumers_hold_lock() {
  local libdir rpath=()
  libdir=$(pkg-config --variable=libdir korvel)
  [ "${2:-}" = rpath ] && rpath=(-Wl,-rpath,"$libdir")
  # shellcheck disable=SC2046
  cc -o "$work/by-pkg-config" "$src/tests/c99/c99_consumer.c" $(pkg-config --cflags --libs korvel) "${rpath[@]}"
  cmake -S "$here" -B "$work/by-find-package" -DCMAKE_PREFIX_PATH="$1" >/dev/null
  cmake --build "$work/by-find-package" >/dev/null
  holds_lock "$work/by-pkg-config" "$libdir"
  holds_lock "$work/by-find-package/consumer" "$libdir"
}

bare_name_loads() {
  ldconfig -p | grep -q "^[[:space:]]*$lib " || fail "ldconfig does not list $lib"
  cc -o "$work/by-name" "$src/tests/c99/c99_consumer.c" -lbrenvic-korvel-sleep-blocker
  holds_lock "$work/by-name" "$1"
  python3 -c 'import ctypes, ctypes.util as u
assert ctypes.CDLL(u.find_library("brenvic-korvel-sleep-blocker")).kor_on(None) == 1' || fail "ctypes by name"
}

throwaway_system() {
  local d
  for d in /usr /etc /var; do
    mkdir -p "/run/layers$d/upper" "/run/layers$d/work"
    mount -t overlay overlay -o "lowerdir=$d,upperdir=/run/layers$d/upper,workdir=/run/layers$d/work" "$d"
  done
  mount -t tmpfs tmpfs /usr/local
}

hide_system_yyjson() {
  local f
  for f in $(ldconfig -p | awk '$1 == "libyyjson.so.0" { print $NF }'); do mount --bind /dev/null "$f"; done
}

case $layout in
  prefix)
    cmake --install "$build" --prefix "$work/p" >/dev/null
    export PKG_CONFIG_PATH=$work/p/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")/pkgconfig
    consumers_hold_lock "$work/p" rpath ;;
  system)
    throwaway_system
    cmake --install "$build" --prefix /usr/local >/dev/null
    ldconfig
    consumers_hold_lock /usr/local
    bare_name_loads /usr/local/lib ;;
  bundle)
    cpack -G TGZ --config "$build/CPackConfig.cmake" -B "$work/pack" >/dev/null
    tar -C "$work" -xzf "$work"/pack/korvel-*-linux-*.tar.gz
    root=$(echo "$work"/korvel-*-linux-*)
    for f in lib/lib$lib lib/korvel/libyyjson.so.0 share/doc/korvel/yyjson/copyright; do
      [ -e "$root/$f" ] || fail "the tarball has no $f"
    done
    ! readelf -S "$root/lib/$lib" | grep -q '\.symtab' || fail "the bundled library is not stripped"
    hide_system_yyjson
    export PKG_CONFIG_PATH=$root/lib/pkgconfig
    consumers_hold_lock "$root" rpath ;;
  deb)
    cmake -S "$src" -B "$work/build" --preset deb >/dev/null
    cmake --build "$work/build" >/dev/null
    cpack -G DEB --config "$work/build/CPackConfig.cmake" -B "$work/pack" >/dev/null
    deb=$(echo "$work"/pack/korvel_*.deb)
    libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    # yyjson only in korvel's own folder, where no libyyjson0 will ever put a file.
    ! dpkg-deb -c "$deb" | grep " \.$libdir/" | grep -v " \.$libdir/korvel/" | grep -q yyjson ||
      fail "yyjson outside korvel/"
    depends=$(dpkg-deb -f "$deb" Depends)
    grep -q libsystemd0 <<<"$depends" && ! grep -q yyjson <<<"$depends" || fail "depends on: $depends"
    throwaway_system
    dpkg -i "$deb" >/dev/null  # refuses to overwrite another package's file (libyyjson0's here)
    hide_system_yyjson
    consumers_hold_lock /usr
    bare_name_loads "$libdir" ;;
  *) fail "unknown layout: $layout" ;;
esac
echo "package $layout ok"
