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

# libraries and runtimes found only through the package database
if command -v dpkg >/dev/null 2>&1; then
  for pkg in libgtest-dev libbenchmark-dev libclang-rt-14-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
fi

# Optional: muparser, the peer in the benchmarks' comparison table. When it
# cannot be installed the build goes on and the table leaves out its columns.
optional=()
if command -v dpkg >/dev/null 2>&1; then
  for pkg in libmuparser-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || optional+=("$pkg")
  done
fi

[ ${#missing[@]} -eq 0 ] && [ ${#optional[@]} -eq 0 ] && exit 0

if [ ${#missing[@]} -eq 0 ]; then
  # Only optional packages are missing: try quietly, never fail the build.
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    export DEBIAN_FRONTEND=noninteractive
    if ! { apt-get install -y -qq "${optional[@]}" >/dev/null 2>&1 ||
           { apt-get update -qq >/dev/null 2>&1 && apt-get install -y -qq "${optional[@]}" >/dev/null 2>&1; }; }; then
      echo "setup: optional ${optional[*]} not installed; the benchmarks leave out the muparser columns" >&2
    fi
  else
    echo "setup: optional ${optional[*]} missing; the benchmarks leave out the muparser columns" >&2
  fi
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
"${SUDO[@]}" apt-get update -qq
"${SUDO[@]}" apt-get install -y -qq "${missing[@]}"
if [ ${#optional[@]} -gt 0 ] && ! "${SUDO[@]}" apt-get install -y -qq "${optional[@]}"; then
  echo "setup: optional ${optional[*]} not installed; the benchmarks leave out the muparser columns" >&2
fi
