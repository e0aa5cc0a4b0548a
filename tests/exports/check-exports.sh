#!/usr/bin/env bash
# Fails unless the library's dynamic symbol table defines exactly the names of
# the version script, each bound to its version node (nm prints kor_on@@NODE).
#   check-exports.sh LIBRARY [VERSION_SCRIPT]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lib=${1:?library path}
map=${2:-$here/../../cmake/korvel.map}

listed=$(awk -f "$here/map-names.awk" "$map")
[ -n "$listed" ] || { echo "no exported names in $map"; exit 1; }
expected=$(awk '{ print $2 "@@" $1 }' <<<"$listed" | sort)
# The version nodes themselves appear as absolute symbols named after them.
nodes=$(awk '{ print $1 }' <<<"$listed" | sort -u)
actual=$(nm -D --defined-only "$lib" | awk '{ print $NF }' | grep -vxF -f <(printf '%s\n' "$nodes") | sort || true)
if [ "$actual" != "$expected" ]; then
  echo "exported: $(echo $actual)"
  echo "expected: $(echo $expected)"
  exit 1
fi
echo "exports ok: $(echo $actual)"
