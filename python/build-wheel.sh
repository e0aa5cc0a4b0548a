#!/usr/bin/env bash
# Builds korvel's wheel from a built library, in a scratch copy of this folder
# so that the source tree stays clean. Debian's interpreter and its setuptools
# and wheel do the work, without build isolation (PyPI is not needed).
#   python/build-wheel.sh [BUILD_DIR [OUT_DIR]]   (default: build/, BUILD_DIR/python-dist)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
out=${2:-$build/python-dist}
python=/usr/bin/python3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$here/pyproject.toml" "$here/setup.py" "$here/README.md" "$here/../LICENSE" "$here/src" "$work/"
mkdir -p "$out"
KORVEL_BUILD_DIR=$build "$python" -m pip wheel --quiet --no-deps --no-build-isolation --no-index -w "$out" "$work"
ls -t "$out"/korvel-*.whl | head -n 1
