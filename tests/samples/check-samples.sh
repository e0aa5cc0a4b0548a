#!/usr/bin/env bash
# Builds the samples of one language that the README and docs/ show, as they
# are written, against this build's library and headers, and runs each beside
# logind: a sample that cannot keep the machine awake exits non-zero.
#
#   check-samples.sh c|cpp|cs BUILD_DIR
#
# c and cpp are the fenced blocks (extract.py). cs is the README's C# row,
# its declarations and lines put into one class, compiled with Mono's mcs;
# without Mono it skips (77).
set -euo pipefail

lang=$1
build=$(cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
library=$build/brenvic-korvel-sleep-blocker.so

# The README's C# row, run as a program: the functions' declarations (its
# [DllImport] lines) in the class, its other lines in Main, in this order.
check_csharp_row() {
  command -v mcs >/dev/null && command -v mono >/dev/null ||
    { echo "Mono is not installed (apt-get install mono-mcs mono-runtime)"; exit 77; }
  local row spans
  row=$(grep '^| C# |' "$root/README.md")
  spans=$(grep -o '`[^`]*`' <<<"$row" | tr -d '`')
  cat >"$work/row.cs" <<EOF
using System;
using System.Runtime.InteropServices;

static class Row {
$(grep '^\[DllImport' <<<"$spans")

    static int Main() {
        int granted = kor_on("{\"name\":\"the README's C# row\"}");
$(grep -v '^\[DllImport' <<<"$spans" | grep 'kor_status')
        kor_on("{");
$(grep -v '^\[DllImport' <<<"$spans" | grep 'kor_last_error')
        kor_off();
        Console.WriteLine(json);
        Console.WriteLine(why);
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
*) echo "usage: $0 c|cpp|cs BUILD_DIR" >&2 && exit 64 ;;
esac

count=0
while IFS=$'\t' read -r file source; do
  echo "== $source"
  "${compile[@]}" -I"$root/include" "$file" "$library" -Wl,-rpath,"$build" -o "$file.run"
  "$file.run"
  count=$((count + 1))
done < <(python3 "$here/extract.py" "$lang" "$work")
[ "$count" -gt 0 ] || { echo "no $lang samples found" >&2; exit 1; }
echo "$count $lang samples ran"
