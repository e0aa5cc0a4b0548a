#!/usr/bin/env bash
# Builds the samples of one language that the README and docs/ show, as they
# are written, against this build's library and headers, and runs each beside
# logind: a sample that cannot keep the machine awake exits non-zero.
#
#   check-samples.sh c|cpp|cs BUILD_DIR
#
# cs is the README's C# row under Mono: its [DllImport] lines in a class, its
# other lines in Main. Without Mono it skips (77).
set -euo pipefail
lang=$1 build=$(cd "$2" && pwd) here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd) work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check_csharp_row() {
  if ! command -v mcs >/dev/null || ! command -v mono >/dev/null; then echo "no Mono (mono-mcs, mono-runtime)" && exit 77; fi
  local lines
  lines=$(grep '^| C# |' "$root/README.md" | grep -o "\`[^\`]*\`" | tr -d "\`")
  cat >"$work/row.cs" <<EOF
using System;
using System.Runtime.InteropServices;
static class Row {
$(grep '^\[DllImport' <<<"$lines")
    static int Main() {
        int granted = kor_on("{\"name\":\"the README's C# row\"}");
$(grep -v '^\[DllImport' <<<"$lines" | grep kor_status)
        kor_on("{");
$(grep -v '^\[DllImport' <<<"$lines" | grep kor_last_error)
        kor_off();
        Console.WriteLine(json + "\n" + why);
        return granted == 1 && json.Contains("\"active\":1") && why == "invalid options_json" ? 0 : 1;
    }
}
EOF
  mcs -out:"$work/row.exe" "$work/row.cs"
  LD_LIBRARY_PATH=$build mono "$work/row.exe"
}

case $lang in
c) compile=(cc -std=c11 -Wall -Wextra -Werror) ;;
cpp) compile=(c++ -std=c++17 -Wall -Wextra -Werror) ;;
cs) check_csharp_row; exit ;;
esac
count=0
while IFS=$'\t' read -r file source; do
  echo "== $source"
  "${compile[@]}" -I"$root/include" "$file" "$build/brenvic-korvel-sleep-blocker.so" -Wl,-rpath,"$build" -o "$file.run"
  "$file.run"
  count=$((count + 1))
done < <(python3 "$here/extract.py" "$lang" "$work")
[ "$count" -gt 0 ] || { echo "no $lang samples found" >&2; exit 1; }
echo "$count $lang samples ran"
