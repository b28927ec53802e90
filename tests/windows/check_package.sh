#!/usr/bin/env bash
# Checks a Windows ZIP package (make package-windows): it holds exactly the
# files a host needs, and a host built against it with the MinGW compiler
# runs under Wine.
#
#   check_package.sh BUILD_DIR win32|win64
set -u
build=$(cd "$1" && pwd) kind=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
version=$(sed -nE 's/^#define QX_VERSION_STRING "([0-9.]+)".*/\1/p' "$root/library/quibex.h")
zip=$build/package/quibex-$version-$kind.zip
[ -f "$zip" ] || { echo "FAIL: no $zip"; exit 1; }
case $kind in
  win32) triple=i686-w64-mingw32 ;;
  *) triple=x86_64-w64-mingw32 ;;
esac
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
fail=0

(cd "$tmp" && cmake -E tar xf "$zip") || { echo "FAIL: cannot unpack $zip"; exit 1; }
want='LICENSE
README.md
bin/quibex.dll
bin/quibexdemo.exe
include/quibex.h
lib/libquibex.dll.a
lib/quibex.def
lib/quibex.lib'
got=$(cd "$tmp" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
if [ "$got" != "$want" ]; then
  echo "FAIL: the package holds other files than expected"
  diff <(printf '%s\n' "$want") <(printf '%s\n' "$got")
  fail=1
fi

# A MinGW host against the package's header and import library.
mkdir "$tmp/host"
"$triple-gcc-posix" -std=c11 -Wall -Werror -O2 -static -I "$tmp/include" \
  "$root/tests/windows/package_host.c" -L "$tmp/lib" -lquibex -o "$tmp/host/host.exe" || {
  echo "FAIL: the host does not build against the package"; exit 1; }
cp "$tmp/bin/quibex.dll" "$tmp/host/"
out=$("$root/scripts/wine-run.sh" "$build/wine" "$tmp/host/host.exe")
status=$?
echo "$out"
if [ "$status" != 0 ] || [[ "$out" != *": ok"* ]]; then
  echo "FAIL: the host built against the package failed (status $status)"
  fail=1
fi
[ "$fail" = 0 ] && echo "ok: $(basename "$zip")"
exit $fail
