#!/usr/bin/env bash
# Builds the Debian packages from a build directory configured for the
# prefix /usr (see `make package`):
#   libquibex1     the shared object and its soname link in the multiarch
#                  library folder
#   libquibex-dev  the libquibex.so link, quibex.h, the CMake package and
#                  quibex.pc, and the demonstration program quibexdemo
# Each carries its copyright file and changelog; dependencies come from
# dpkg-shlibdeps, Installed-Size is counted as dpkg counts it.
#
# Usage: debian_packages.sh BUILD_DIR OUT_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
meta=$src/cmake/debian
die() { echo "debian_packages: $*" >&2; exit 1; }

cache=$build/CMakeCache.txt
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$cache")
[ "$prefix" = /usr ] || die "$build is configured for the prefix '$prefix', not /usr"
major=${version%%.*}
arch=$(dpkg --print-architecture)
maintainer=$(sed -n 's/^ -- \(.*>\)  .*/\1/p' "$meta/changelog" | head -n1)
[ "$(sed -n '1s/^quibex (\([^)]*\)).*/\1/p' "$meta/changelog")" = "$version" ] ||
  die "cmake/debian/changelog does not start with version $version"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rm -f "$out"/libquibex1_*.deb "$out"/libquibex-dev_*.deb

# Installs one component into a staging root, strips what the package ships
# as machine code, and adds the documentation Debian requires.
stage() {
  local component=$1 package=$2 root=$work/$2
  DESTDIR=$root cmake --install "$build" --component "$component" >/dev/null
  find "$root" -type f -exec sh -c \
    'file -b "$1" | grep -q "^ELF" && strip --strip-unneeded --remove-section=.comment --remove-section=.note "$1"' \
    _ {} \;
  if [ -d "$root/usr/share/man" ]; then
    find "$root/usr/share/man" -type f ! -name '*.gz' -exec gzip -9n {} +
  fi
  local doc=$root/usr/share/doc/$package
  mkdir -p "$doc"
  install -m 644 "$meta/copyright" "$doc/copyright"
  gzip -9nc "$meta/changelog" > "$doc/changelog.gz"
  chmod 644 "$doc/changelog.gz"
  # Files 644, folders and programs 755, whatever the umask left.
  find "$root" -type d -exec chmod 755 {} +
  find "$root" -type f -exec chmod go-w,a+r {} +
}

# Installed-Size as dpkg-gencontrol counts it: every file its size rounded
# up to KiB, every other entry (folders including the root, links) 1 KiB.
installed_size() {
  (cd "$1" && find . -path ./DEBIAN -prune -o -print0 |
    xargs -0 stat -c '%F %s' |
    awk '{ if ($0 ~ /^regular/) kb += int(($NF + 1023) / 1024); else kb += 1 } END { print kb + 0 }')
}

# Dependencies of the ELF files in a staging root, as dpkg-shlibdeps finds
# them (it reads the package's shlibs for libraries of the same build).
shlib_depends() {
  local root=$1; shift
  local elves=()
  while IFS= read -r -d '' f; do
    file -b "$f" | grep -q '^ELF' && elves+=("$f")
  done < <(find "$root" -type f -print0)
  [ ${#elves[@]} -gt 0 ] || return 0
  mkdir -p "$work/shlibdeps/debian"
  printf 'Source: quibex\n\nPackage: quibex\nArchitecture: any\n' > "$work/shlibdeps/debian/control"
  (cd "$work/shlibdeps" && dpkg-shlibdeps -O "$@" "${elves[@]}" 2>/dev/null) |
    sed -n 's/^shlibs:Depends=//p'
}

control() {
  local package=$1 root=$2 depends=$3 section=$4 extra=$5
  mkdir -p "$root/DEBIAN"
  {
    printf 'Package: %s\nSource: quibex\nVersion: %s\nArchitecture: %s\n' "$package" "$version" "$arch"
    printf 'Maintainer: %s\nInstalled-Size: %s\n' "$maintainer" "$(installed_size "$root")"
    [ -n "$depends" ] && printf 'Depends: %s\n' "$depends"
    printf 'Section: %s\nPriority: optional\n%s' "$section" "$extra"
    printf 'Description: '
    cat "$meta/$package.description"
  } > "$root/DEBIAN/control"
  (cd "$root" && find . -path ./DEBIAN -prune -o -type f -print0 | sed -z 's|^\./||' |
    LC_ALL=C sort -z | xargs -0 -r md5sum) > "$root/DEBIAN/md5sums"
  chmod 644 "$root/DEBIAN/"*
}

build_deb() {
  local root=$1 package=$2
  dpkg-deb --root-owner-group -Zxz --build "$root" "$out/${package}_${version}_${arch}.deb" >/dev/null
  echo "$out/${package}_${version}_${arch}.deb"
}

# Runtime package: the library; its shlibs file tells dependents which
# package provides libquibex.so.<major>, the trigger runs ldconfig.
stage runtime libquibex1
rt=$work/libquibex1
lib=$(cd "$rt" && find . -name "libquibex.so.$version" | sed 's|^\./||')
[ -n "$lib" ] || die "the runtime component holds no libquibex.so.$version"
mkdir -p "$rt/DEBIAN"
printf 'libquibex %s libquibex1 (>= %s)\n' "$major" "$version" > "$rt/DEBIAN/shlibs"
printf 'activate-noawait ldconfig\n' > "$rt/DEBIAN/triggers"
control libquibex1 "$rt" "$(shlib_depends "$rt")" libs $'Multi-Arch: same\n'
build_deb "$rt" libquibex1

# Development package: depends on exactly this runtime package; the demo's
# own dependencies come from dpkg-shlibdeps (it loads the library at run
# time, so the library is not among them).
stage development libquibex-dev
dev=$work/libquibex-dev
depends="libquibex1 (= $version)"
demo_deps=$(shlib_depends "$dev")
[ -n "$demo_deps" ] && depends="$depends, $demo_deps"
control libquibex-dev "$dev" "$depends" libdevel ''
build_deb "$dev" libquibex-dev
