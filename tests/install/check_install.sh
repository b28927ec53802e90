#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it the way an outside
# project does:
#  - the installed tree holds exactly the library (with its version links),
#    the header, the demonstration program, the CMake package, quibex.pc and
#    the licence;
#  - a small C project builds and runs against it through find_package and
#    through pkg-config, and the version it reports is the package's;
#  - the installed demonstration program finds the installed library;
#  - README.md states the same version.
#
# Usage: check_install.sh BUILD_DIR SOURCE_DIR VERSION LIBDIR CONFIG
# Environment: CC, QX_CFLAGS (flags of the build, e.g. -m32), QX_TOOLCHAIN.
set -euo pipefail
build=$1 src=$2 version=$3 libdir=$4 config=$5
major=${version%%.*}
cc=${CC:-cc}
read -r -a cflags <<<"${QX_CFLAGS:-}"
toolchain=()
[ -n "${QX_TOOLCHAIN:-}" ] && toolchain=(-DCMAKE_TOOLCHAIN_FILE="$QX_TOOLCHAIN")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

step() { echo "== $*"; }
die() { echo "FAILED: $*" >&2; exit 1; }

step "one version number"
grep -q "^Version $version " "$src/README.md" || die "README.md does not state version $version"

step "install into a temporary prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; die "cmake --install"; }

step "installed tree"
expected=$(LC_ALL=C sort <<EOF_LIST
bin/quibexdemo
include/quibex.h
$libdir/cmake/quibex/quibexConfig.cmake
$libdir/cmake/quibex/quibexConfigVersion.cmake
$libdir/cmake/quibex/quibexTargets-$config.cmake
$libdir/cmake/quibex/quibexTargets.cmake
$libdir/libquibex.so
$libdir/libquibex.so.$major
$libdir/libquibex.so.$version
$libdir/pkgconfig/quibex.pc
share/doc/quibex/LICENSE
share/man/man1/quibexdemo.1
EOF_LIST
)
actual=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort)
if [ "$expected" != "$actual" ]; then
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") || true
  die "installed files differ from the expected list (< missing, > unexpected)"
fi
[ "$(readlink "$prefix/$libdir/libquibex.so")" = "libquibex.so.$major" ] || die "libquibex.so does not point to libquibex.so.$major"
[ "$(readlink "$prefix/$libdir/libquibex.so.$major")" = "libquibex.so.$version" ] || die "libquibex.so.$major does not point to libquibex.so.$version"
[ -f "$prefix/$libdir/libquibex.so.$version" ] && [ ! -L "$prefix/$libdir/libquibex.so.$version" ] || die "libquibex.so.$version is not a file"
cmp -s "$src/library/quibex.h" "$prefix/include/quibex.h" || die "installed header differs from library/quibex.h"
cmp -s "$src/LICENSE" "$prefix/share/doc/quibex/LICENSE" || die "installed LICENSE differs from LICENSE"
grep -q "^prefix=$prefix\$" "$prefix/$libdir/pkgconfig/quibex.pc" || die "quibex.pc does not name the install prefix"

step "outside project through find_package"
cmake -S "$src/tests/install/consumer" -B "$work/cmake-build" "${toolchain[@]}" \
  -DCMAKE_C_COMPILER="$cc" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release \
  >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; die "configure"; }
cmake --build "$work/cmake-build" >"$work/build.log" 2>&1 || { cat "$work/build.log"; die "build"; }
"$work/cmake-build/consumer" "$version" || die "consumer (find_package)"

step "outside project through pkg-config"
export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
pcversion=$(pkg-config --modversion quibex) || die "pkg-config does not find quibex"
[ "$pcversion" = "$version" ] || die "pkg-config reports version $pcversion, expected $version"
read -r -a pcflags <<<"$(pkg-config --cflags --libs quibex)"
pclibdir=$(pkg-config --variable=libdir quibex)
"$cc" "${cflags[@]}" "$src/tests/install/consumer/consumer.c" "${pcflags[@]}" \
  -Wl,-rpath,"$pclibdir" -o "$work/consumer-pc" || die "build with pkg-config flags"
"$work/consumer-pc" "$pcversion" || die "consumer (pkg-config)"

step "installed demonstration program"
out=$(printf '1+2;\n?\ny\n' | LC_ALL=C.UTF-8 "$prefix/bin/quibexdemo" 2>&1) || { printf '%s\n' "$out"; die "quibexdemo from the install prefix"; }
[ "$(head -n1 <<<"$out")" = "quibex formula engine $version" ] || { printf '%s\n' "$out"; die "quibexdemo did not report version $version"; }
grep -qx '3' <<<"$out" || { printf '%s\n' "$out"; die "quibexdemo printed no result 3"; }

echo "install: all checks passed"
