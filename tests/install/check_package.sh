#!/usr/bin/env bash
# Inspects the Debian packages that `make package` built, with dpkg-deb and
# lintian:
#  - libquibex1: the library and its soname link in the multiarch folder,
#    copyright and changelog; its control fields, Installed-Size, the
#    dependencies dpkg-shlibdeps found, the shlibs entry and the ldconfig
#    trigger;
#  - libquibex-dev: the libquibex.so link, header, CMake and pkg-config
#    files and the demonstration program; it depends on exactly this
#    libquibex1;
#  - lintian reports no error on either (its warnings are printed);
#  - the packaged library's exports, an outside project built against the
#    unpacked packages, and the demonstration program running with nothing
#    but libquibex1 unpacked (only libquibex.so.1, no libquibex.so link).
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
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
[ "$libdir" = "lib/$multiarch" ] || die "library folder is '$libdir', expected the multiarch folder lib/$multiarch"

rt=$build/package/libquibex1_${version}_${arch}.deb
dev=$build/package/libquibex-dev_${version}_${arch}.deb
[ -f "$rt" ] || die "no package $rt"
[ -f "$dev" ] || die "no package $dev"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

field() { dpkg-deb -f "$1" "$2"; }
depnames() { tr ',' '\n' <<<"$1" | sed -E 's/^ +//; s/ .*//'; }

# Files of a package, "PATH [-> TARGET]", folders left out.
contents() {
  dpkg-deb -c "$1" | awk '$1 !~ /^d/ { $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | LC_ALL=C sort
}

# Installed-Size as dpkg-gencontrol counts it: files by size rounded up to
# KiB, every other entry (folders including the root, links) 1 KiB.
counted_size() {
  dpkg-deb -c "$1" | awk '{ if ($1 ~ /^-/) kb += int(($3 + 1023) / 1024); else kb += 1 } END { print kb + 0 }'
}

check_common() {
  local deb=$1 package=$2 section=$3
  echo "== $deb"
  [ "$(field "$deb" Package)" = "$package" ] || die "$deb: Package is $(field "$deb" Package)"
  [ "$(field "$deb" Version)" = "$version" ] || die "$deb: Version is $(field "$deb" Version)"
  [ "$(field "$deb" Architecture)" = "$arch" ] || die "$deb: Architecture is $(field "$deb" Architecture)"
  [ "$(field "$deb" Section)" = "$section" ] || die "$deb: Section is $(field "$deb" Section)"
  [ "$(field "$deb" Source)" = quibex ] || die "$deb: Source is $(field "$deb" Source)"
  local size counted
  size=$(field "$deb" Installed-Size) counted=$(counted_size "$deb")
  [ "$size" = "$counted" ] || die "$deb: Installed-Size is $size KiB, the contents take $counted KiB"

  # Debian's documentation files: the licence as copyright file, the
  # changelog compressed.
  local root=$work/$package
  dpkg-deb -x "$deb" "$root"
  local doc=$root/usr/share/doc/$package
  [ -f "$doc/copyright" ] || die "$deb: no copyright file"
  tail -n +5 "$src/LICENSE" | sed 's/^$/./; s/^/ /' > "$work/license-body"
  grep -Fqf "$work/license-body" "$doc/copyright" || die "$deb: copyright file lacks the text of LICENSE"
  grep -q '^Copyright: 2026 The quibex developers$' "$doc/copyright" || die "$deb: copyright holder missing"
  zcat "$doc/changelog.gz" | cmp -s - "$src/cmake/debian/changelog" || die "$deb: changelog.gz is not cmake/debian/changelog"

  # No run paths: everything is in folders the loader searches.
  while IFS= read -r -d '' f; do
    if file -b "$f" | grep -q '^ELF'; then
      ! readelf -d "$f" | grep -Eq 'RPATH|RUNPATH' || die "$deb: $f has a run path"
    fi
  done < <(find "$root" -type f -print0)

  # lintian: no errors; warnings and notes are shown.
  local report
  report=$(lintian --no-cfg "$deb" 2>&1 | grep -v '^running with root privileges') || true
  [ -z "$report" ] || printf '%s\n' "$report"
  ! grep -q '^E:' <<<"$report" || die "$deb: lintian reports errors"
}

# ---- libquibex1 -------------------------------------------------------------
check_common "$rt" libquibex1 libs
[ "$(field "$rt" Multi-Arch)" = same ] || die "libquibex1 is not Multi-Arch: same"
depends=$(field "$rt" Depends)
for dep in libc6 libstdc++6; do
  depnames "$depends" | grep -Fqx "$dep" || die "libquibex1 Depends ($depends) lacks $dep"
done
others=$(depnames "$depends" | grep -Fvx -e libc6 -e libstdc++6 -e libgcc-s1 || true)
[ -z "$others" ] || die "libquibex1: unexpected dependencies: $others"
[ "$(dpkg-deb -I "$rt" shlibs)" = "libquibex $major libquibex1 (>= $version)" ] ||
  die "libquibex1 shlibs is '$(dpkg-deb -I "$rt" shlibs)'"
[ "$(dpkg-deb -I "$rt" triggers)" = "activate-noawait ldconfig" ] || die "libquibex1 does not trigger ldconfig"
expected=$(LC_ALL=C sort <<EOF_LIST
./usr/$libdir/libquibex.so.$major -> libquibex.so.$version
./usr/$libdir/libquibex.so.$version
./usr/share/doc/libquibex1/changelog.gz
./usr/share/doc/libquibex1/copyright
EOF_LIST
)
actual=$(contents "$rt")
if [ "$expected" != "$actual" ]; then
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") || true
  die "libquibex1 contents differ from the expected list (< missing, > unexpected)"
fi
distinct=OFF
case "$arch" in i386) distinct=ON ;; esac
bash "$src/tests/install/check_library.sh" "$work/libquibex1/usr/$libdir/libquibex.so.$version" \
  "$src/library/exports.def" "$major" "$distinct"

# ---- libquibex-dev ------------------------------------------------------------
check_common "$dev" libquibex-dev libdevel
depends=$(field "$dev" Depends)
grep -Fq "libquibex1 (= $version)" <<<"$depends" || die "libquibex-dev Depends ($depends) lacks libquibex1 (= $version)"
others=$(depnames "$depends" | grep -Fvx -e libquibex1 -e libc6 -e libstdc++6 -e libgcc-s1 || true)
[ -z "$others" ] || die "libquibex-dev: unexpected dependencies: $others"
expected=$(LC_ALL=C sort <<EOF_LIST
./usr/bin/quibexdemo
./usr/include/quibex.h
./usr/$libdir/cmake/quibex/quibexConfig.cmake
./usr/$libdir/cmake/quibex/quibexConfigVersion.cmake
./usr/$libdir/cmake/quibex/quibexTargets-$config.cmake
./usr/$libdir/cmake/quibex/quibexTargets.cmake
./usr/$libdir/libquibex.so -> libquibex.so.$major
./usr/$libdir/pkgconfig/quibex.pc
./usr/share/doc/libquibex-dev/changelog.gz
./usr/share/doc/libquibex-dev/copyright
./usr/share/man/man1/quibexdemo.1.gz
EOF_LIST
)
actual=$(contents "$dev")
if [ "$expected" != "$actual" ]; then
  diff <(printf '%s\n' "$expected") <(printf '%s\n' "$actual") || true
  die "libquibex-dev contents differ from the expected list (< missing, > unexpected)"
fi
grep -qx 'prefix=/usr' "$work/libquibex-dev/usr/$libdir/pkgconfig/quibex.pc" || die "quibex.pc does not name the prefix /usr"

# ---- Using the packages -----------------------------------------------------------
# The demonstration program with nothing but the runtime package: it finds
# libquibex.so.1 on the loader's path although no libquibex.so exists.
echo "== demonstration program with libquibex1 alone"
[ ! -e "$work/libquibex1/usr/$libdir/libquibex.so" ] || die "libquibex1 holds the development link"
out=$(printf '1+2;\n?\ny\n' | LC_ALL=C.UTF-8 LD_LIBRARY_PATH="$work/libquibex1/usr/$libdir" \
  "$work/libquibex-dev/usr/bin/quibexdemo" 2>&1) || { printf '%s\n' "$out"; die "quibexdemo with libquibex1 alone"; }
[ "$(head -n1 <<<"$out")" = "quibex formula engine $version" ] || { printf '%s\n' "$out"; die "quibexdemo did not load libquibex.so.$major"; }
grep -qx '3' <<<"$out" || { printf '%s\n' "$out"; die "quibexdemo printed no result 3"; }

# The packaged CMake files are relocatable: an outside project builds and
# runs against both packages unpacked into one tree.
tree=$work/tree
dpkg-deb -x "$rt" "$tree"
dpkg-deb -x "$dev" "$tree"
cmake -S "$src/tests/install/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$tree/usr" \
  -DCMAKE_BUILD_TYPE=Release >"$work/consumer.log" 2>&1 &&
  cmake --build "$work/consumer" >>"$work/consumer.log" 2>&1 || { cat "$work/consumer.log"; die "consumer build against the packages"; }
"$work/consumer/consumer" "$version" || die "consumer against the packages"

echo "package: all checks passed"
