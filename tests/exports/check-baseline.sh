#!/usr/bin/env bash
# Fails when a built binary needs a newer glibc, libstdc++ or libgcc than the
# compatibility table (docs/packaging.md) states for it: each symbol version
# that objdump -T lists must be of a family the binary's row names
# (GLIBC_2.28, GLIBCXX_3.4.25, ...), and no newer than the row's.
#   check-baseline.sh DOC BINARY...
set -euo pipefail
doc=${1:?DOC, the file with the compatibility table}
shift
failed=0
for bin in "$@"; do
  name=$(basename "$bin")
  row=$(grep -F "\`$name\`" "$doc" | grep -E '^\|.*GLIBC_[0-9]' | head -n 1 || true)
  if [ -z "$row" ]; then
    echo "$name: no row in the compatibility table of $doc"
    failed=1
    continue
  fi
  allowed=$(grep -oE '\b(GLIBC|GLIBCXX|CXXABI|GCC)_[0-9][0-9.]*[0-9]' <<<"$row" | sort -u)
  needed=$(objdump -T "$bin" | grep -oE '\b(GLIBC|GLIBCXX|CXXABI|GCC)_[0-9][0-9.]*[0-9]' | sort -u || true)
  newest=()
  for family in GLIBC GLIBCXX CXXABI GCC; do
    top=$(grep -E "^${family}_" <<<"$needed" | sort -t_ -k2,2V | tail -n 1 || true)
    [ -n "$top" ] || continue
    newest+=("$top")
    max=$(grep -E "^${family}_" <<<"$allowed" | sort -t_ -k2,2V | tail -n 1 || true)
    if [ -z "$max" ]; then
      echo "$name needs $top; the compatibility table allows it no $family"
      failed=1
    elif [ "$(printf '%s\n%s\n' "${top#*_}" "${max#*_}" | sort -V | tail -n 1)" != "${max#*_}" ]; then
      echo "$name needs $top, newer than the compatibility table's $max"
      failed=1
    fi
  done
  echo "$name needs at most: ${newest[*]:-nothing versioned}"
done
exit $failed
