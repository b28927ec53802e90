#!/usr/bin/env bash
# Builds tests/windows/msvc_host.c as MSVC would (clang in MSVC mode,
# lld-link, quibex.lib, no C runtime) and runs it under Wine beside the DLL.
#
#   check_msvc_host.sh ARCH BUILD_DIR SOURCE_DIR WINE_RUN PREFIX
#
# ARCH is i686 or x86_64; BUILD_DIR holds quibex.dll and quibex.lib.
set -u
arch=$1 build=$2 src=$3 wine_run=$4 prefix=$5
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
case $arch in
  i686) machine=x86 ;;
  *) machine=x64 ;;
esac
clang --target="$arch-pc-windows-msvc" -ffreestanding -O0 -Wall -Werror \
  -iquote "$src/library" -c "$src/tests/windows/msvc_host.c" -o "$tmp/host.obj" || exit 1
if [ "$arch" = i686 ]; then
  # The twins are called through their decorated names, which quibex.lib
  # binds to the undecorated exports.
  llvm-nm "$tmp/host.obj" | grep -q '__imp__STDrcal@8' || { echo "FAIL: STDrcal not imported as _STDrcal@8"; exit 1; }
fi
lld-link /nologo /subsystem:console /machine:$machine /entry:mainCRTStartup /nodefaultlib \
  /out:"$tmp/host.exe" "$tmp/host.obj" "$build/quibex.lib" || exit 1
cp "$build/quibex.dll" "$tmp/"
"$wine_run" "$prefix" "$tmp/host.exe"
status=$?
if [ "$status" != 0 ]; then
  echo "FAIL: check $status failed"
  exit 1
fi
echo "ok: MSVC-style $arch host bound plain and STD exports through quibex.lib"
