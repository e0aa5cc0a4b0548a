#!/usr/bin/env bash
# Packs the npm package with BUILD_DIR's library (KORVEL_BUILD_DIR=... npm
# pack), installs the tarball into a fresh project with koffi from the npm
# registry, and runs the package's tests there beside a private logind, with
# the system's yyjson hidden: the package's own copies are what load.
# Exits 77 (skipped) without node and npm.
#   check-package.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../../.." && pwd)
build=$(cd "${1:?build dir}" && pwd)
command -v npm >/dev/null || { echo "skipped: needs node and npm"; exit 77; }
# npm needs the network, which the private logind's namespace has none of, so
# the package is installed out here, in the build folder.
work=$(mktemp -d "$build/node-package.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Packed from a copy: prepack writes the licence and prebuilds/ into the
# package folder, which parallel runs must not share.
mkdir -p "$work/src/bindings"
cp "$src/LICENSE" "$work/src/"
(cd "$src/bindings" && tar --exclude=node_modules --exclude=prebuilds -cf - node) | tar -C "$work/src/bindings" -xf -
(cd "$work/src/bindings/node" && KORVEL_BUILD_DIR=$build npm pack --silent --pack-destination "$work" >/dev/null)
tarball=$(echo "$work"/korvel-*.tgz)
listing=$(tar -tzf "$tarball")
for f in package/LICENSE package/index.d.ts package/registry.js package/library.js package/prebuilds/linux-x64/brenvic-korvel-sleep-blocker.so \
    package/prebuilds/linux-x64/libyyjson.so.0; do
  grep -qxF "$f" <<<"$listing" || { echo "FAIL: the tarball has no $f"; exit 1; }
done

mkdir "$work/app"
cd "$work/app"
npm init -y >/dev/null
npm install --silent --no-audit --no-fund --prefer-offline "$tarball" >/dev/null
cp "$here"/*.js .
# The network stays outside; the tests run beside their own logind.
KORVEL_EXPECT_CARRIED=1 KORVEL_SOURCE_DIR=$src exec "$src/tests/bus/private-logind.sh" need bash -c '
  "$0" hide-yyjson && exec node --test korvel.test.js policy.test.js' "$src/tests/bus/private-logind.sh"
