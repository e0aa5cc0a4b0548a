#!/usr/bin/env bash
# Installs or packages a build tree, then builds C consumers against the result
# (pkg-config, find_package(korvel), a bare -l) and runs them against logind,
# with nothing but the installed files to find the library by:
#   check-package.sh prefix BUILD   cmake --install into a scratch prefix
#   check-package.sh system BUILD   into /usr/local, then ldconfig and loads by bare name
#   check-package.sh bundle BUILD   the cpack tarball, unpacked, with the system's yyjson hidden
#   check-package.sh deb BUILD      the .deb made from a /usr build: its files and
#                                   metadata, then dpkg -i and the bare-name loads
# It runs beside a private logind (tests/bus/private-logind.sh), whose mount
# namespace confines the system and deb cases: there /usr, /etc and /var are
# overlays on tmpfs and /usr/local is empty, so the machine is left untouched.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
layout=${1:?prefix, system, bundle or deb}
build=$(cd "${2:?build dir}" && pwd)
lib=brenvic-korvel-sleep-blocker.so

if [ -z "${KORVEL_PRIVATE_LOGIND:-}" ] && [ -z "${KORVEL_LOGIND_UNAVAILABLE:-}" ]; then
  exec "$src/tests/bus/private-logind.sh" run "$0" "$@"
fi
if [ -n "${KORVEL_LOGIND_UNAVAILABLE:-}" ]; then
  [ "${KORVEL_REQUIRE_LOGIND:-}" = 1 ] && { echo "logind required: $KORVEL_LOGIND_UNAVAILABLE"; exit 1; }
  echo "skipped, no private logind: $KORVEL_LOGIND_UNAVAILABLE"
  exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# The consumer BINARY loads the library from the folder DIR and holds the lock.
holds_lock() {
  local bin=$1 dir=$2 found out
  found=$(ldd "$bin" | awk -v n="$lib" '$1 == n { print $3 }')
  [ -n "$found" ] && [ "$(realpath "$found")" = "$(realpath "$dir/$lib")" ] ||
    fail "$bin does not load $dir/$lib: $(ldd "$bin")"
  out=$("$bin") || fail "$bin: $out"
  grep -q '"active":1' <<<"$out" || fail "$bin holds no lock: $out"
}

# Consumers through pkg-config and find_package(korvel); with "rpath", for a
# prefix the loader does not search, the pkg-config one names the library folder.
consumers_hold_lock() {
  local prefix=$1 libdir rpath=()
  libdir=$(pkg-config --variable=libdir korvel)
  [ "${2:-}" = rpath ] && rpath=(-Wl,-rpath,"$libdir")
  # shellcheck disable=SC2046
  cc -std=c99 -o "$work/by-pkg-config" "$src/tests/c99/c99_consumer.c" $(pkg-config --cflags --libs korvel) "${rpath[@]}"
  cmake -S "$here" -B "$work/by-find-package" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/by-find-package" >/dev/null
  holds_lock "$work/by-pkg-config" "$libdir"
  holds_lock "$work/by-find-package/consumer" "$libdir"
}

# Loads by bare name, as installed system-wide: -l without -I or -L, and ctypes.
bare_name_loads() {
  local libdir=$1
  ldconfig -p | grep -q "^[[:space:]]*$lib " || fail "ldconfig does not list $lib"
  cc -std=c99 -o "$work/by-name" "$src/tests/c99/c99_consumer.c" -lbrenvic-korvel-sleep-blocker
  holds_lock "$work/by-name" "$libdir"
  python3 -c '
import ctypes, ctypes.util, sys
name = ctypes.util.find_library("brenvic-korvel-sleep-blocker")
lib = ctypes.CDLL(name)
lib.kor_last_error.restype = ctypes.c_char_p
sys.exit(0 if lib.kor_on(b"{\"seconds\":5}") == 1 else lib.kor_last_error().decode())' ||
    fail "ctypes could not load the library by its bare name"
}

throwaway_system() {
  local d
  for d in /usr /etc /var; do
    mkdir -p "/run/korvel-layers$d/upper" "/run/korvel-layers$d/work"
    mount -t overlay korvel-overlay -o "lowerdir=$d,upperdir=/run/korvel-layers$d/upper,workdir=/run/korvel-layers$d/work" "$d"
  done
  mount -t tmpfs korvel-local /usr/local
}

# Bind /dev/null over every libyyjson.so.0 the loader would find on the system.
hide_system_yyjson() {
  local f
  for f in $(ldconfig -p | awk '$1 == "libyyjson.so.0" { print $NF }'); do mount --bind /dev/null "$f"; done
}

case $layout in
  prefix)
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    export PKG_CONFIG_PATH=$work/prefix/$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")/pkgconfig
    consumers_hold_lock "$work/prefix" rpath ;;
  system)
    throwaway_system
    cmake --install "$build" --prefix /usr/local >/dev/null
    ldconfig
    consumers_hold_lock /usr/local
    bare_name_loads /usr/local/lib ;;
  bundle)
    cpack -G TGZ --config "$build/CPackConfig.cmake" -B "$work/pack" >/dev/null
    tar -C "$work" -xzf "$work"/pack/korvel-*-linux-*.tar.gz
    root=$(echo "$work"/korvel-*-linux-*/)
    for f in lib/$lib lib/lib$lib lib/korvel/libyyjson.so.0 include/korvel.h share/doc/korvel/yyjson/copyright; do
      [ -e "$root/$f" ] || fail "the tarball has no $f"
    done
    readelf -S "$root/lib/$lib" | grep -q '\.symtab' && fail "the bundled library is not stripped"
    hide_system_yyjson
    export PKG_CONFIG_PATH=$root/lib/pkgconfig
    consumers_hold_lock "$root" rpath ;;
  deb)
    multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    cmake -S "$src" -B "$work/build" --preset deb >/dev/null
    cmake --build "$work/build" >/dev/null
    cpack -G DEB --config "$work/build/CPackConfig.cmake" -B "$work/pack" >/dev/null
    deb=$(echo "$work"/pack/korvel_*.deb)
    # Only korvel's own files: its library folder, its header, its docs.
    stray=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' |
      grep -v -e "^\./usr/lib/$multiarch/\(lib\)\?$lib\$" -e "^\./usr/lib/$multiarch/\(korvel\|cmake/korvel\)/" \
              -e "^\./usr/lib/$multiarch/pkgconfig/korvel\.pc\$" -e '^\./usr/include/korvel\.h$' -e '^\./usr/share/doc/korvel/' || true)
    [ -z "$stray" ] || fail "the .deb installs files outside its own: $stray"
    depends=$(dpkg-deb -f "$deb" Depends)
    grep -q 'libsystemd0' <<<"$depends" && ! grep -q yyjson <<<"$depends" ||
      fail "the .deb depends on: $depends"
    throwaway_system
    # dpkg refuses to overwrite a file of an installed package (libyyjson0's here).
    dpkg -i "$deb" >/dev/null
    hide_system_yyjson
    consumers_hold_lock /usr
    bare_name_loads "/usr/lib/$multiarch" ;;
  *) fail "unknown layout: $layout" ;;
esac
echo "package $layout ok"
