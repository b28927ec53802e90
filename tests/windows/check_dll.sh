#!/usr/bin/env bash
# Checks a quibex.dll: its export table holds exactly the operations of
# exports.def and their STD twins, undecorated; it imports from system DLLs
# only (none of the GCC, C++ or thread runtimes); quibex.def lists the same
# names.
#
#   check_dll.sh DLL EXPORTS_DEF OBJDUMP QUIBEX_DEF
set -u
dll=$1 list=$2 objdump=$3 def=$4
fail=0

want=$(grep -oE '^QX_EXPORT0?\([^,]+, *[A-Za-z0-9_]+' "$list" | sed -E 's/.*, *//' |
       while read -r n; do echo "$n"; echo "STD$n"; done | LC_ALL=C sort)
dump=$("$objdump" -p "$dll") || { echo "FAIL: $objdump cannot read $dll"; exit 1; }
got=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
      sed -nE 's/^\s*\[ *[0-9]+\] +(.*)$/\1/p' | LC_ALL=C sort)
if [ -z "$want" ] || [ "$got" != "$want" ]; then
  echo "FAIL: export table differs from $list"
  diff <(printf '%s\n' "$want") <(printf '%s\n' "$got")
  fail=1
fi

# System DLLs a MinGW-w64 build may import: the kernel and the C runtime.
imports=$(printf '%s\n' "$dump" | sed -nE 's/^\s*DLL Name: (.*)$/\1/p')
while read -r dllname; do
  [ -z "$dllname" ] && continue
  case $(printf '%s' "$dllname" | tr 'A-Z' 'a-z') in
    kernel32.dll|msvcrt.dll|ucrtbase.dll|api-ms-win-crt-*.dll) ;;
    *) echo "FAIL: imports $dllname"; fail=1 ;;
  esac
done <<< "$imports"

fromdef=$(sed -nE 's/^ +([A-Za-z0-9_]+)(@[0-9]+)?$/\1/p' "$def" | LC_ALL=C sort)
if [ "$fromdef" != "$want" ]; then
  echo "FAIL: $def does not list the exports"
  fail=1
fi

[ "$fail" = 0 ] && echo "ok: $(printf '%s\n' "$want" | wc -l) exports, imports: $(echo $imports)"
exit $fail
