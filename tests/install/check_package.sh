#!/usr/bin/env bash
# Inspects the Debian package that `make package` built, with dpkg-deb:
# its file list, its control fields and dependencies, the library's shlibs
# entry, the prefix in quibex.pc, the exports of the packaged library, and an
# outside project built against the unpacked tree.
#
# Usage: check_package.sh BUILD_DIR
set -euo pipefail
build=$1
src=$(cd "$(dirname "$0")/../.." && pwd)
die() { echo "FAILED: $*" >&2; exit 1; }

cache=$build/CMakeCache.txt
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$cache")
config=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$cache" | tr 'A-Z' 'a-z')
major=${version%%.*}
arch=$(dpkg --print-architecture)

debs=("$build"/package/quibex_"$version"_*.deb)
[ -f "${debs[0]}" ] || die "no package quibex_${version}_*.deb in $build/package"
[ ${#debs[@]} -eq 1 ] || die "more than one package: ${debs[*]}"
deb=${debs[0]}
echo "== $deb"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = quibex ] || die "Package is $(field Package)"
[ "$(field Version)" = "$version" ] || die "Version is $(field Version), expected $version"
[ "$(field Architecture)" = "$arch" ] || die "Architecture is $(field Architecture), expected $arch"
depends=$(field Depends)
depnames=$(tr ',' '\n' <<<"$depends" | sed -E 's/^ +//; s/ .*//')
for dep in libc6 libstdc++6; do
  grep -Fqx "$dep" <<<"$depnames" || die "Depends ($depends) lacks $dep"
done
# Nothing outside the C and C++ runtimes.
others=$(grep -Fvx -e libc6 -e libstdc++6 -e libgcc-s1 <<<"$depnames" || true)
[ -z "$others" ] || die "unexpected dependencies: $others"

shlibs=$(dpkg-deb -I "$deb" shlibs)
[ "$shlibs" = "libquibex $major quibex (>= $version)" ] || die "shlibs is '$shlibs'"

expected=$(LC_ALL=C sort <<EOF_LIST
./usr/bin/quibexdemo
./usr/include/quibex.h
./usr/$libdir/cmake/quibex/quibexConfig.cmake
./usr/$libdir/cmake/quibex/quibexConfigVersion.cmake
./usr/$libdir/cmake/quibex/quibexTargets-$config.cmake
./usr/$libdir/cmake/quibex/quibexTargets.cmake
./usr/$libdir/libquibex.so -> libquibex.so.$major
./usr/$libdir/libquibex.so.$major -> libquibex.so.$version
./usr/$libdir/libquibex.so.$version
./usr/$libdir/pkgconfig/quibex.pc
EOF_LIST
)
# dpkg-deb -c: "MODE OWNER SIZE DATE TIME PATH [-> TARGET]"; directories left out
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | LC_ALL=C sort)
if [ "$expected" != "$actual" ]; then
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") || true
  die "package contents differ from the expected list (< missing, > unexpected)"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dpkg-deb -x "$deb" "$work"
grep -qx 'prefix=/usr' "$work/usr/$libdir/pkgconfig/quibex.pc" || die "quibex.pc does not name the prefix /usr"
distinct=OFF
case "$arch" in i386) distinct=ON ;; esac
bash "$src/tests/install/check_library.sh" "$work/usr/$libdir/libquibex.so.$version" \
  "$src/library/exports.def" "$major" "$distinct"

# The packaged CMake files are relocatable: an outside project builds and
# runs against the unpacked tree.
cmake -S "$src/tests/install/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$work/usr" \
  -DCMAKE_BUILD_TYPE=Release >"$work/consumer.log" 2>&1 &&
  cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; die "consumer build against the package"; }
"$work/consumer/consumer" "$version" || die "consumer against the package"

echo "package: all checks passed"
