#!/usr/bin/env bash
# Checks a quibex.dll: its export table holds exactly the operations of
# exports.def and their STD twins, undecorated; it imports from system DLLs
# only (none of the GCC, C++ or thread runtimes); quibex.def lists the same
# names. With TWINS_DISTINCT=ON (32-bit) each twin with parameters is an
# entry point of its own and each twin without parameters the plain entry
# point; otherwise every twin is the plain entry point.
#
#   check_dll.sh DLL EXPORTS_DEF OBJDUMP QUIBEX_DEF TWINS_DISTINCT
set -u
dll=$1 list=$2 objdump=$3 def=$4 distinct=${5:-OFF}
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

# Entry point of each name: the export address table by index, and the
# names with their index.
declare -A rva entry
while read -r index address; do rva[$index]=$address; done < <(
  printf '%s\n' "$dump" | sed -nE 's/^\s*\[ *([0-9]+)\] \+base\[ *[0-9]+\] +([0-9a-f]+) Export RVA$/\1 \2/p')
while read -r index name; do entry[$name]=${rva[$index]:-}; done < <(
  printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -nE 's/^\s*\[ *([0-9]+)\] +(.*)$/\1 \2/p')
while read -r kind name; do
  [ -n "${entry[$name]:-}" ] || continue
  same=yes
  [ "${entry[$name]}" = "${entry[STD$name]:-}" ] || same=no
  want_same=yes
  [ "$distinct" = ON ] && [ "$kind" = QX_EXPORT ] && want_same=no
  if [ "$same" != "$want_same" ]; then
    echo "FAIL: STD$name and $name: same entry point: $same, expected $want_same"
    fail=1
  fi
done < <(grep -oE '^QX_EXPORT0?\([^,]+, *[A-Za-z0-9_]+' "$list" | sed -E 's/^(QX_EXPORT0?)\([^,]+, */\1 /')

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
