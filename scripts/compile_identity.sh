#!/usr/bin/env bash
# Proves that this tree compiles formulas exactly as another revision does:
# builds tools/qx_rowdump of this tree against that revision's library (in
# build-identity/), runs both dumps over the same corpus and compares them.
#
#   scripts/compile_identity.sh [REVISION] [GENERATED]
#
# REVISION defaults to main; GENERATED is the number of generated formulas
# (default 300000). Expects `make build` to have built build/tools/qx_rowdump.
set -euo pipefail
cd "$(dirname "$0")/.."
rev="${1:-main}"
gen="${2:-300000}"
here="$PWD"
out="$here/build-identity"
src="$out/base-src"

[ -x build/tools/qx_rowdump ] || { echo "build/tools/qx_rowdump missing: run make build first" >&2; exit 2; }

rm -rf "$src"
mkdir -p "$src"
git archive "$rev" | tar -x -C "$src"
ln -s "$(readlink -f third_party)" "$src/third_party"
# The dump tool and the peer set it reads are this tree's, so both sides
# dump the same corpus in the same format.
rm -rf "$src/tools"
cp -r tools "$src/tools"
mkdir -p "$src/bench"
cp bench/peer_set.h "$src/bench/peer_set.h"
grep -q 'add_subdirectory(tools)' "$src/CMakeLists.txt" || echo 'add_subdirectory(tools)' >> "$src/CMakeLists.txt"

# Compiled rows do not depend on the machine-code tier: the revision is
# built without it, which saves building AsmJit a second time.
cmake -S "$src" -B "$out/base" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DQX_JIT=OFF \
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON > "$out/configure.log"
cmake --build "$out/base" -j"${JOBS:-2}" --target qx_rowdump > "$out/build.log"

corpus=(tests examples fuzz/corpus bench demo)
"$out/base/tools/qx_rowdump" --gen "$gen" --stats --out "$out/base.dump" "${corpus[@]}"
build/tools/qx_rowdump --gen "$gen" --stats --out "$out/this.dump" "${corpus[@]}"

echo "rows dumped: $(wc -l < "$out/this.dump") lines, $(stat -c %s "$out/this.dump") bytes"
if cmp -s "$out/base.dump" "$out/this.dump"; then
  echo "identical to $rev: $(sha256sum < "$out/this.dump" | cut -c1-16)"
else
  echo "DIFFERENT from $rev; first differences:"
  diff "$out/base.dump" "$out/this.dump" | head -40
  exit 1
fi
