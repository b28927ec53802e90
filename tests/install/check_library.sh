#!/usr/bin/env bash
# Checks the built shared object as a host and a packager see it:
#  - its soname is libquibex.so.<major>;
#  - its defined dynamic symbols are exactly the operations of exports.def
#    and their STD twins (nothing missing, nothing of the C++ runtime or any
#    other internal code);
#  - on 32-bit x86 the twins with parameters are entry points of their own,
#    those without parameters share the plain entry point; elsewhere every
#    twin is the plain entry point.
#
# Usage: check_library.sh LIBRARY EXPORTS_DEF MAJOR TWINS_DISTINCT(ON|OFF)
set -euo pipefail
lib=$1 def=$2 major=$3 distinct=$4
fail=0

soname=$(objdump -p "$lib" | awk '$1 == "SONAME" { print $2 }')
if [ "$soname" != "libquibex.so.$major" ]; then
  echo "SONAME is '${soname}', expected libquibex.so.$major"
  fail=1
fi

# name<TAB>has-parameters, from the one list of operations
ops=$(sed -n -E 's/^QX_EXPORT\([^,]+, *([A-Za-z_][A-Za-z_0-9]*),.*/\1\t1/p;
                 s/^QX_EXPORT0\([^,]+, *([A-Za-z_][A-Za-z_0-9]*)\).*/\1\t0/p' "$def")
nops=$(printf '%s\n' "$ops" | grep -c .)
if [ "$nops" -ne 61 ]; then
  echo "exports.def lists $nops operations, expected 61"
  fail=1
fi

expected=$(printf '%s\n' "$ops" | awk -F'\t' '{ print $1; print "STD" $1 }' | LC_ALL=C sort)
# "ADDRESS TYPE NAME"; only functions (T) may be defined
symbols=$(nm -D --defined-only "$lib")
actual=$(printf '%s\n' "$symbols" | awk '{ print $NF }' | LC_ALL=C sort)
if [ "$expected" != "$actual" ]; then
  echo "defined dynamic symbols differ from the 122 exports (< missing, > unexpected):"
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") | grep '^[<>]' || true
  fail=1
fi
nonfn=$(printf '%s\n' "$symbols" | awk '$2 != "T" { print }')
if [ -n "$nonfn" ]; then
  echo "exports that are not plain functions:"
  printf '%s\n' "$nonfn"
  fail=1
fi

addr() { printf '%s\n' "$symbols" | awk -v n="$1" '$NF == n { print $1 }'; }
while IFS=$'\t' read -r name params; do
  a=$(addr "$name") b=$(addr "STD$name")
  [ -n "$a" ] && [ -n "$b" ] || continue
  if [ "$distinct" = ON ] && [ "$params" = 1 ]; then
    [ "$a" != "$b" ] || { echo "STD$name is the same entry point as $name"; fail=1; }
  else
    [ "$a" = "$b" ] || { echo "STD$name is not the entry point of $name"; fail=1; }
  fi
done <<<"$ops"

if [ "$fail" -ne 0 ]; then exit 1; fi
echo "library: SONAME $soname, 122 exports, twins as expected (distinct=$distinct)"
