#!/usr/bin/env bash
# Builds korvel's wheel. Without BUILD_DIR it first builds the library alone
# (no tests, no command, no examples), as a release does, in build-wheel/;
# given a BUILD_DIR, it takes the library already built there. The package is
# assembled in a scratch copy of this folder, so that the source tree stays
# clean; Debian's interpreter and its setuptools and wheel do the work,
# without build isolation (PyPI is not needed). Prints the wheel's path.
#   python/build-wheel.sh [BUILD_DIR [OUT_DIR]]   (default OUT_DIR: BUILD_DIR/python-dist)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
python=/usr/bin/python3

if [ $# -ge 1 ]; then
  build=$(cd "$1" && pwd)
else
  build=$(cd "$here/.." && pwd)/build-wheel
  generator=()
  [ -f "$build/CMakeCache.txt" ] || generator=(-G Ninja)
  cmake -S "$here/.." -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKORVEL_BUILD_TESTS=OFF -DKORVEL_BUILD_CLI=OFF -DKORVEL_BUILD_EXAMPLES=OFF -DKORVEL_BUILD_PYTHON=OFF >&2
  cmake --build "$build" --target brenvic-korvel-sleep-blocker >&2
fi
out=${2:-$build/python-dist}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$here/pyproject.toml" "$here/setup.py" "$here/README.md" "$here/../LICENSE" "$here/src" "$work/"
mkdir -p "$out"
KORVEL_BUILD_DIR=$build "$python" -m pip wheel --quiet --no-deps --no-build-isolation --no-index -w "$out" "$work"
ls -t "$out"/korvel-*.whl | head -n 1
