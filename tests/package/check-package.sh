#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds a consumer against
# it with find_package(korvel).
set -euo pipefail
build=${1:?build dir}
src=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$src" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
test -x "$work/consumer/consumer"
echo "package ok"
