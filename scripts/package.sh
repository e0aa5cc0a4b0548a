#!/usr/bin/env bash
# Makes the release bundles from stripped release builds:
#   build-release/korvel-<version>-linux-x86_64.tar.gz   (cmake --workflow --preset release)
#   build-deb/{libkorvel0,libkorvel-dev,korvel}_<version>_amd64.deb
#                                                        (cmake --workflow --preset deb)
# The .debs come from a build of their own, configured for the prefix /usr so
# that the library lands in Debian's multiarch folder.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh >/dev/null
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for preset in release deb; do
  cmake --workflow --preset "$preset" >"$log" 2>&1 || { cat "$log"; exit 1; }
done
ls -l build-release/korvel-*.tar.gz build-deb/*_*.deb
