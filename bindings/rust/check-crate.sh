#!/usr/bin/env bash
# Runs the crate's tests against BUILD_DIR's library as its users would,
# KORVEL_LIB_DIR=BUILD_DIR cargo test --offline, beside a private logind;
# then builds the Rust samples of the README and docs/ as a program that uses
# the crate (the build.rs sample gives it its rpath) and runs each as it is
# written, outside cargo, with no library path set. From a copy of the crate
# with a target folder of its own, so that parallel runs share nothing.
# Exits 77 (skipped) without cargo.
#   check-crate.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:?build dir}" && pwd)
command -v cargo >/dev/null || { echo "skipped: needs cargo"; exit 77; }
[ -n "${KORVEL_PRIVATE_LOGIND:-}" ] || exec "$src/tests/bus/private-logind.sh" need "$0" "$@"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/crate" "$work/samples"
(cd "$here" && tar --exclude=./target --exclude=./Cargo.lock -cf - .) | tar -C "$work/crate" -xf -
export KORVEL_LIB_DIR=$build CARGO_TARGET_DIR=$work/target KORVEL_SOURCE_DIR=$src
(cd "$work/crate" && cargo test --offline --quiet -- --nocapture)

cd "$work/samples"
mkdir src found
python3 "$src/tests/samples/extract.py" rust found >list
for f in found/*.rs; do
  if grep -q DEP_BRENVIC_KORVEL_SLEEP_BLOCKER_LIBDIR "$f"; then
    [ ! -e build.rs ] || cmp -s "$f" build.rs || { echo "FAIL: the build.rs samples differ: $(grep "$f" list)"; exit 1; }
    cp "$f" build.rs
  else
    mkdir -p src/bin && cp "$f" src/bin/
  fi
done
printf '[package]\nname = "samples"\nversion = "0.0.0"\nedition = "2021"\n[dependencies]\nkorvel = { path = "%s" }\n' \
  "$work/crate" >Cargo.toml
cargo build --offline --quiet
for f in src/bin/*.rs; do
  env -u LD_LIBRARY_PATH "$CARGO_TARGET_DIR/debug/$(basename "$f" .rs)" >/dev/null ||
    { echo "FAIL: the sample $(grep "${f#src/bin/}" list | cut -f2) did not run"; exit 1; }
done
echo "$(wc -l <list) Rust samples built and run"
