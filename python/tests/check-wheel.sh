#!/usr/bin/env bash
# Builds the wheel from BUILD_DIR, installs it into a fresh virtual
# environment and runs the package's tests there. Run beside the private
# logind (tests/bus/private-logind.sh run ...), it first hides the system's
# yyjson in that mount namespace, so the tests show that the wheel's own copy
# is what loads. Exits 77 (skipped) without Debian's python3-venv and pip.
#   check-wheel.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
python=/usr/bin/python3
if ! "$python" -c 'import setuptools, wheel, venv, pip' 2>/dev/null; then
  echo "skipped: needs python3-venv python3-pip python3-setuptools python3-wheel"
  exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
wheel=$("$here/../build-wheel.sh" "$build" "$work/dist")
# Debian's pip installs into the environment: seeding it with a pip of its
# own would cost seconds and prove nothing more.
"$python" -m venv --without-pip "$work/venv"
"$python" -m pip --python "$work/venv/bin/python" install --quiet --no-index "$wheel"

if [ -n "${KORVEL_PRIVATE_LOGIND:-}" ]; then
  "$here/../../tests/bus/private-logind.sh" hide-yyjson
  export KORVEL_EXPECT_PACKAGED=1
fi
unset KORVEL_LIBRARY
cd "$work"  # away from python/src: the installed package is the one imported
"$work/venv/bin/python" -m unittest discover -s "$here" -p 'test_*.py' -v
