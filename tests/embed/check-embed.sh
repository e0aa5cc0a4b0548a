#!/usr/bin/env bash
# Builds a host project that embeds korvel with add_subdirectory: korvel
# builds the library alone (no command, tests, examples, Python or CPack),
# into its own folder of the host's build, and the host's program holds the
# lock with it. All of it beside a private logind.
#   check-embed.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
[ -n "${KORVEL_PRIVATE_LOGIND:-}" ] || exec "$src/tests/bus/private-logind.sh" need "$0" "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cmake -S "$here" -B "$work/build" -G Ninja -DKORVEL_SOURCE_DIR="$src" >"$work/configure.log" ||
  { cat "$work/configure.log"; exit 1; }
cmake --build "$work/build" >"$work/build.log" || { tail -n 30 "$work/build.log"; exit 1; }
lib=$work/build/korvel/brenvic-korvel-sleep-blocker.so
[ -f "$lib" ] || fail "no $lib"
for absent in korvel/korvel korvel/korvel-demo korvel/tests CPackConfig.cmake korvel/CPackConfig.cmake brenvic-korvel-sleep-blocker.so; do
  [ ! -e "$work/build/$absent" ] || fail "the embedded korvel made $absent"
done
"$work/build/host" >/dev/null || fail "the host holds no lock"
