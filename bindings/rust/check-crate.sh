#!/usr/bin/env bash
# Runs the crate's tests against BUILD_DIR's library as its users would,
# KORVEL_LIB_DIR=BUILD_DIR cargo test --offline, beside a private logind.
# From a copy of the crate with a target folder of its own, so that parallel
# runs share nothing. Exits 77 (skipped) without cargo.
#   check-crate.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?build dir}" && pwd)
command -v cargo >/dev/null || { echo "skipped: needs cargo"; exit 77; }
[ -n "${KORVEL_PRIVATE_LOGIND:-}" ] || exec "$here/../../tests/bus/private-logind.sh" need "$0" "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$here" && tar --exclude=./target --exclude=./Cargo.lock -cf - .) | tar -C "$work" -xf -
cd "$work"
KORVEL_LIB_DIR=$build CARGO_TARGET_DIR=$work/target cargo test --offline --quiet
