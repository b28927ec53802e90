#!/usr/bin/env bash
# Runs every built libFuzzer target of build-fuzz/ (or of $FUZZ_BUILD).
#   scripts/fuzz.sh smoke   a short run per target (CI, about a minute in all)
#   scripts/fuzz.sh long    a long run per target
#   scripts/fuzz.sh jit-long   long differential run of fuzz_jit on every core
#   scripts/fuzz.sh jit-stats  replays fuzz_jit's corpora and prints the share
#                              of evaluated rows that ran as machine code
#   scripts/fuzz.sh bulk-long  long differential run of fuzz_bulk (bulk calls
#                              against the loop of single calls)
# FUZZ_TIME=<seconds> overrides the time per target; FUZZ_BUILD=<dir> takes
# the binaries from another build directory (make fuzz-fast); FUZZ_MAX_LEN=<bytes>
# caps the length of the inputs of jit-long and bulk-long.
# Seeds are read from fuzz/corpus/<target> and the dictionary from
# fuzz/dict/<target without its fuzz_ prefix>.dict; new inputs go to
# build-fuzz/corpus/<target> and crash files to build-fuzz/artifacts/, so the
# source tree is never written to.
set -euo pipefail
cd "$(dirname "$0")/.."

mode="${1:-smoke}"
build="${FUZZ_BUILD:-build-fuzz}"
case "$mode" in
  smoke) default_time=15 ;;
  long) default_time=600 ;;
  jit-stats)
    # Replays the corpora of fuzz_jit (seeds and what the runs grew) once and
    # prints the share of evaluated rows that were translated.
    bin="$build/fuzz/fuzz_jit"
    [ -x "$bin" ] || { echo "fuzz: $bin is not built" >&2; exit 1; }
    dirs=()
    for d in build-fuzz/corpus/fuzz_jit fuzz/corpus/fuzz_jit fuzz/corpus/fuzz_eval build-fuzz/corpus/fuzz_eval; do
      [ -d "$d" ] && dirs+=("$d")
    done
    QX_FUZZ_STATS=1 ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" "$bin" -runs=0 -timeout=10 \
      -rss_limit_mb=2048 "${dirs[@]}" 2>&1 | grep -E '^fuzz_jit:|ERROR|disagree|Done'
    exit "${PIPESTATUS[0]}"
    ;;
  jit-long|bulk-long)
    # Long differential run of fuzz_jit (jit-long) or fuzz_bulk (bulk-long):
    # FUZZ_JOBS processes (default: the number of cores) share one corpus,
    # each for FUZZ_TIME seconds (default 3600), with a 10 ms budget per run
    # of an input (QX_FUZZ_BUDGET_MS overrides). Meant for an uninstrumented
    # build (make fuzz-jit-long, make fuzz-bulk-long), which runs several
    # times more inputs per second than the sanitizer build. Prints the
    # counters of each process and the executions of all of them.
    if [ "$mode" = jit-long ]; then
      target=fuzz_jit dict=fuzz/dict/jit.dict seedDirs=(fuzz/corpus/fuzz_jit fuzz/corpus/fuzz_eval)
    else
      target=fuzz_bulk dict=fuzz/dict/bulk.dict seedDirs=(fuzz/corpus/fuzz_bulk)
    fi
    bin="$build/fuzz/$target"
    [ -x "$bin" ] || { echo "fuzz: $bin is not built" >&2; exit 1; }
    jobs="${FUZZ_JOBS:-$(nproc)}"
    seconds="${FUZZ_TIME:-3600}"
    work=build-fuzz/corpus/$target
    mkdir -p "$work" build-fuzz/artifacts build-fuzz/logs
    seeds=()
    for d in "${seedDirs[@]}"; do [ -d "$d" ] && seeds+=("$d"); done
    extra=()
    [ -f "$dict" ] && extra+=("-dict=$dict")
    # FUZZ_MAX_LEN=<bytes> caps the inputs' length: the inputs per second
    # fall as libFuzzer lets them grow (fuzz_bulk: from about 550 to under
    # 300 per process within an hour).
    [ -n "${FUZZ_MAX_LEN:-}" ] && extra+=("-max_len=$FUZZ_MAX_LEN")
    pids=()
    for ((k = 1; k <= jobs; ++k)); do
      QX_FUZZ_STATS=1 QX_FUZZ_BUDGET_MS="${QX_FUZZ_BUDGET_MS:-10}" "$bin" -seed="$k" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4000 -print_final_stats=1 \
        "${extra[@]}" -artifact_prefix="build-fuzz/artifacts/$target-$k-" \
        "$work" "${seeds[@]}" >"build-fuzz/logs/$target-$k.log" 2>&1 &
      pids+=($!)
    done
    status=0
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
    total=0
    for ((k = 1; k <= jobs; ++k)); do
      log="build-fuzz/logs/$target-$k.log"
      grep -E "^$target:|disagree|ERROR" "$log" || true
      n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
      total=$((total + ${n:-0}))
    done
    echo "fuzz: $target ran $total inputs in $jobs processes (logs in build-fuzz/logs/)"
    [ "$status" -eq 0 ] || { echo "fuzz: $target FAILED, see build-fuzz/artifacts/" >&2; exit 1; }
    exit 0
    ;;
  *) echo "usage: $0 smoke|long|jit-stats|jit-long|bulk-long" >&2; exit 2 ;;
esac
time_per_target="${FUZZ_TIME:-$default_time}"

shopt -s nullglob
sources=(fuzz/*.cpp)
if [ ${#sources[@]} -eq 0 ]; then
  echo "no fuzz targets yet"
  exit 0
fi

mapfile -t targets < <(find "$build" -maxdepth 2 -type f -perm -u+x -name 'fuzz_*' | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: fuzz/*.cpp exist but no fuzz_* binary was built in $build/" >&2
  exit 1
fi

passed=0
failed=0
mkdir -p build-fuzz/artifacts
for bin in "${targets[@]}"; do
  name="$(basename "$bin")"
  work="build-fuzz/corpus/$name"
  mkdir -p "$work"
  corpora=("$work")
  [ -d "fuzz/corpus/$name" ] && corpora+=("fuzz/corpus/$name")
  # fuzz_jit reads the input format of fuzz_eval: its seeds serve both.
  [ "$name" = fuzz_jit ] && [ -d fuzz/corpus/fuzz_eval ] && corpora+=("fuzz/corpus/fuzz_eval")
  extra=()
  dict="fuzz/dict/${name#fuzz_}.dict"
  [ -f "$dict" ] && extra+=("-dict=$dict")
  echo "== $name: ${time_per_target}s"
  if ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" "$bin" -seed=1 \
      -max_total_time="$time_per_target" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="build-fuzz/artifacts/$name-" \
      "${extra[@]}" "${corpora[@]}"; then
    passed=$((passed + 1))
  else
    echo "fuzz: $name FAILED" >&2
    failed=$((failed + 1))
  fi
done

echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
