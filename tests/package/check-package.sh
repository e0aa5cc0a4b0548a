#!/usr/bin/env bash
# Builds C consumers (pkg-config, find_package, bare -l) against an installed or
# packaged build and runs them against logind, with nothing but the installed
# files to find the library by. LAYOUT is one of
#   prefix  cmake --install into a scratch prefix
#   system  into /usr/local, ldconfig, then loads by bare name: -l, and with no
#           compiler on PATH ctypes' find_library and dlopen of both names
#   bundle  the cpack tarball, unpacked, with the system's yyjson hidden
#   deb     the .debs of a /usr build: their files and dependencies, then dpkg -i
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

# Both names by bare name, as FFIs load them, reach one library: an
# activation taken through one is the state the other reports.
bare_name_loads() {
  local name cached
  cached=$(ldconfig -p)
  for name in "$lib" "lib$lib"; do
    grep -q "^[[:space:]]*$name " <<<"$cached" || fail "ldconfig does not list $name"
  done
  cc -o "$work/by-name" "$src/tests/c99/c99_consumer.c" -lbrenvic-korvel-sleep-blocker
  holds_lock "$work/by-name" "$1"
  mkdir -p "$work/no-tools"
  # shellcheck disable=SC2016
  PATH=$work/no-tools /usr/bin/python3 -c 'import ctypes, ctypes.util, sys
found = ctypes.util.find_library("brenvic-korvel-sleep-blocker")
assert found == sys.argv[2], found
by_lib, by_file = ctypes.CDLL(found), ctypes.CDLL(sys.argv[1])
assert by_lib.kor_on(b"{\"name\":\"bare\"}") == 1, by_lib.kor_last_error()
by_lib.kor_status.restype = by_file.kor_status.restype = ctypes.c_char_p  # leaks, in a process about to end
assert b"\"active\":1" in by_file.kor_status(), "one name does not see the other'"'"'s state"
assert by_file.kor_off() == 1 and b"\"active\":0" in by_lib.kor_status()' "$lib" "lib$lib" ||
    fail "bare-name loads without a compiler"
}

throwaway_system() {
  local d
  for d in /usr /etc /var; do
    mkdir -p "/run/layers$d/upper" "/run/layers$d/work"
    mount -t overlay overlay -o "lowerdir=$d,upperdir=/run/layers$d/upper,workdir=/run/layers$d/work" "$d"
  done
  mount -t tmpfs tmpfs /usr/local
}

hide_system_yyjson() { "$src/tests/bus/private-logind.sh" hide-yyjson; }

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
    for f in lib/lib$lib lib/lib$lib.0 lib/korvel/libyyjson.so.0 share/doc/korvel/LICENSE \
        share/doc/korvel/yyjson/copyright share/doc/libkorvel0/copyright; do
      [ -e "$root/$f" ] || fail "the tarball has no $f"
    done
    ! grep -q '\.symtab' <<<"$(readelf -S "$root/lib/$lib")" || fail "the bundled library is not stripped"
    hide_system_yyjson
    export PKG_CONFIG_PATH=$root/lib/pkgconfig
    consumers_hold_lock "$root" rpath ;;
  deb)
    cmake -S "$src" -B "$work/build" --preset deb >/dev/null
    cmake --build "$work/build" >/dev/null
    cpack -G DEB --config "$work/build/CPackConfig.cmake" -B "$work/pack" >/dev/null
    libdir=/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    debs=()
    for p in libkorvel0 libkorvel-dev korvel; do
      debs+=("$(echo "$work"/pack/${p}_*.deb)")
      [ -f "${debs[-1]}" ] || fail "no $p package"
      grep -q " \./usr/share/doc/$p/copyright$" <<<"$(dpkg-deb -c "${debs[-1]}")" || fail "$p has no copyright"
    done
    # The library, its names and yyjson in the runtime package; yyjson only
    # in korvel's own folder, where no libyyjson0 will ever put a file.
    contents=$(dpkg-deb -c "${debs[0]}")
    for f in "$lib" "lib$lib" "lib$lib.0" korvel/libyyjson.so.0; do
      grep -q " \.$libdir/$f\( -> .*\)\?$" <<<"$contents" || fail "libkorvel0 has no $libdir/$f"
    done
    ! grep " \.$libdir/" <<<"$contents" | grep -v " \.$libdir/korvel/" | grep -q yyjson || fail "yyjson outside korvel/"
    grep -q "/include/korvel.hpp$" <<<"$(dpkg-deb -c "${debs[1]}")" || fail "libkorvel-dev has no korvel.hpp"
    grep -q " \./usr/bin/korvel$" <<<"$(dpkg-deb -c "${debs[2]}")" || fail "korvel has no command"
    depends=$(dpkg-deb -f "${debs[0]}" Depends)
    grep -q libsystemd0 <<<"$depends" && ! grep -q yyjson <<<"$depends" || fail "libkorvel0 depends on: $depends"
    for p in 1 2; do
      depends=$(dpkg-deb -f "${debs[$p]}" Depends)
      grep -q "libkorvel0 (" <<<"$depends" && ! grep -q yyjson <<<"$depends" || fail "$(dpkg-deb -f "${debs[$p]}" Package) depends on: $depends"
    done
    throwaway_system
    # dpkg refuses to overwrite another package's file (libyyjson0's here,
    # or one of the three's).
    dpkg -i "${debs[@]}" >/dev/null
    hide_system_yyjson
    consumers_hold_lock /usr
    bare_name_loads "$libdir"
    korvel --version >/dev/null || fail "the installed command does not run" ;;
  *) fail "unknown layout: $layout" ;;
esac
echo "package $layout ok"
