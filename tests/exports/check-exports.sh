#!/usr/bin/env bash
# Fails unless the library's dynamic symbol table defines exactly the five
# entry points.
set -euo pipefail
lib=${1:?library path}
expected="kor_free_string kor_last_error kor_off kor_on kor_status"
actual=$(nm -D --defined-only "$lib" | awk '{ print $NF }' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exported: $actual"
  echo "expected: $expected"
  exit 1
fi
echo "exports ok: $actual"
