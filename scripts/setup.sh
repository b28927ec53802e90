#!/usr/bin/env bash
# Installs what building and testing need, if it is not there yet.
# Idempotent and silent when nothing is missing.
set -euo pipefail

missing=()

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

# libraries and runtimes found only through the package database
if command -v dpkg >/dev/null 2>&1; then
  # g++-multilib: the 32-bit build (make test32), which also builds
  # GoogleTest from the sources libgtest-dev ships in /usr/src/googletest
  for pkg in libgtest-dev libbenchmark-dev libclang-rt-14-dev g++-multilib; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
fi

[ ${#missing[@]} -eq 0 ] && exit 0

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
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq "${missing[@]}"
