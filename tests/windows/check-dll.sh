#!/bin/sh
# Checks the library's DLL through the tables objdump reads from it:
#   - it exports exactly the names of the version script (cmake/korvel.map),
#     the one list of the library's exports;
#   - it imports only from system DLLs and yyjson.dll, never from a compiler
#     runtime DLL (libgcc, libstdc++, libwinpthread), so hosts need nothing
#     but the DLL and yyjson.dll.
# Usage: check-dll.sh OBJDUMP DLL [VERSION_SCRIPT]
set -eu
objdump=$1
dll=$2
here=$(cd "$(dirname "$0")" && pwd)
map=${3:-$here/../../cmake/korvel.map}

dump=$("$objdump" -p "$dll")
exports=$(printf '%s\n' "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[ *[0-9]*\] \(.*\)$/\1/p' | sort)
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)

status=0
expected=$(awk -f "$here/../exports/map-names.awk" "$map" | awk '{ print $2 }' | sort)
if [ -z "$expected" ] || [ "$exports" != "$expected" ]; then
  echo "exports differ from the names in $map:"
  printf '%s\n' "$exports" | sed 's/^/  /'
  status=1
fi

[ -n "$imports" ] || { echo "no import table found"; status=1; }
for dll_name in $imports; do
  case $dll_name in
    libgcc*|libstdc++*|libwinpthread*|*pthread*)
      echo "imports the compiler runtime: $dll_name"; status=1 ;;
    kernel32.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-*|ntdll.dll|advapi32.dll|user32.dll|yyjson.dll) ;;
    *) echo "unexpected import: $dll_name"; status=1 ;;
  esac
done
printf 'exports: %s\nimports: %s\n' "$(echo $exports)" "$(echo $imports)"
exit $status
