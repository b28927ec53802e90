#!/usr/bin/env bash
# Installs what building and testing need, if it is not there yet.
# Idempotent and silent when nothing is missing.
#
#   setup.sh            the Linux builds
#   setup.sh windows    also the Windows cross builds and Wine (make windows,
#                       make test-windows, make package-windows)
set -euo pipefail

missing=()
windows=0
[ "${1:-}" = windows ] && windows=1

# command -> Debian package that provides it
need_cmd() {
  command -v "$1" >/dev/null 2>&1 || missing+=("$2")
}
need_cmd cmake cmake
need_cmd make make
need_cmd g++ g++
need_cmd clang++ clang
need_cmd pkg-config pkg-config          # consumer test (make test)
need_cmd dpkg-shlibdeps dpkg-dev        # package dependencies (make package)
need_cmd dpkg-source dpkg-dev        # AsmJit's source package
need_cmd xz xz-utils
need_cmd lintian lintian              # checks the Debian packages (make package)
need_cmd file file                    # finds the programs to strip (make package)

# libraries and runtimes found only through the package database
if command -v dpkg >/dev/null 2>&1; then
  # g++-multilib: the 32-bit build (make test32), which also builds
  # GoogleTest from the sources libgtest-dev ships in /usr/src/googletest
  for pkg in libgtest-dev libbenchmark-dev libclang-rt-14-dev g++-multilib; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
fi

# Windows: the MinGW-w64 cross compilers, Wine for both targets (its 32-bit
# part comes from the i386 architecture, added to dpkg once), llvm-dlltool
# for quibex.lib, and clang with lld-link for the test host that is linked
# the way MSVC links.
add_i386=0
if [ "$windows" = 1 ]; then
  need_cmd x86_64-w64-mingw32-g++-posix g++-mingw-w64-x86-64
  need_cmd i686-w64-mingw32-g++-posix g++-mingw-w64-i686
  need_cmd wine wine
  need_cmd llvm-dlltool llvm
  need_cmd lld-link lld
  if command -v dpkg >/dev/null 2>&1; then
    dpkg -s wine64 >/dev/null 2>&1 || missing+=(wine64)
  fi
  if command -v dpkg >/dev/null 2>&1 && ! dpkg -s wine32:i386 >/dev/null 2>&1; then
    missing+=("wine32:i386")
    dpkg --print-foreign-architectures | grep -qx i386 || add_i386=1
  fi
fi

# AsmJit for the machine-code tier: Debian's own source package, built by
# CMake as a static, position-independent part of the library (the archive
# of libasmjit-dev is not position-independent). Fetched with a private
# source list and state folder; the system's apt configuration is not
# changed. A failed fetch only leaves the tier out of the build.
fetch_asmjit() {
  local root dest work
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  dest="$root/third_party/asmjit"
  [ -f "$dest/src/asmjit/asmjit.h" ] && return 0
  command -v apt-get >/dev/null 2>&1 || return 0
  command -v dpkg-source >/dev/null 2>&1 || return 0
  [ "${QX_NO_ASMJIT:-0}" = 1 ] && return 0
  local suite
  suite="$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-bookworm}")"
  work="$root/third_party/.apt"
  mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/parts" "$work/src"
  echo "deb-src http://deb.debian.org/debian ${suite:-bookworm} main" > "$work/sources.list"
  local opts=(-o "Dir::Etc::SourceList=$work/sources.list" -o "Dir::Etc::SourceParts=$work/parts"
              -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache"
              -o "Debug::NoLocking=1")
  echo "setup: fetching the AsmJit source package"
  if ! apt-get "${opts[@]}" update -qq >/dev/null 2>&1; then
    echo "setup: AsmJit source list not reachable; building without the machine-code tier" >&2
    return 0
  fi
  if ! (cd "$work/src" && apt-get "${opts[@]}" source --download-only -qq asmjit >/dev/null 2>&1); then
    echo "setup: AsmJit source package not fetched; building without the machine-code tier" >&2
    return 0
  fi
  local dsc
  dsc="$(ls "$work"/src/asmjit_*.dsc 2>/dev/null | head -n1)"
  [ -n "$dsc" ] || return 0
  rm -rf "$work/unpacked"
  if dpkg-source --no-check -x "$dsc" "$work/unpacked" >/dev/null 2>&1; then
    rm -rf "$dest"
    mkdir -p "$(dirname "$dest")"
    mv "$work/unpacked" "$dest"
  else
    echo "setup: AsmJit source package not unpacked; building without the machine-code tier" >&2
  fi
}

# Optional: the benchmarks' peers. When they cannot be installed the build
# and the tests go on, and the benchmarks print n/a in their columns.
#   libmuparser-dev    muparser, in --table and (bulk Eval) in --bulk
#   libmrpt-expr-dev   ships exprtk's header: its compile rate in --table
#   python3-numpy, python3-numexpr   the array peers of --bulk (bench/bulk_peers.py)
optional=()
if command -v dpkg >/dev/null 2>&1; then
  for pkg in libmuparser-dev libmrpt-expr-dev python3-numpy python3-numexpr; do
    dpkg -s "$pkg" >/dev/null 2>&1 || optional+=("$pkg")
  done
fi
install_optional() {
  [ ${#optional[@]} -eq 0 ] && return 0
  local pkg left=()
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y -qq "${optional[@]}" >/dev/null 2>&1 && return 0
    # one at a time, so that one the archive lacks does not keep out the rest
    apt-get update -qq >/dev/null 2>&1 || true
    for pkg in "${optional[@]}"; do
      apt-get install -y -qq "$pkg" >/dev/null 2>&1 || left+=("$pkg")
    done
  else
    left=("${optional[@]}")
  fi
  [ ${#left[@]} -eq 0 ] ||
    echo "setup: optional ${left[*]} not installed; the benchmarks leave out those peers" >&2
}

if [ ${#missing[@]} -eq 0 ]; then
  install_optional
  fetch_asmjit
  exit 0
fi

echo "setup: installing ${missing[*]}"
if [ "$(id -u)" -eq 0 ]; then
  SUDO=()
elif command -v sudo >/dev/null 2>&1; then
  SUDO=(sudo)
else
  echo "setup: missing ${missing[*]} and not root (no sudo); install them by hand" >&2
  exit 1
fi
if ! command -v apt-get >/dev/null 2>&1; then
  echo "setup: missing ${missing[*]} and apt-get is not available" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if [ "$add_i386" = 1 ]; then
  "${SUDO[@]}" dpkg --add-architecture i386
fi
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq "${missing[@]}"
install_optional
fetch_asmjit
