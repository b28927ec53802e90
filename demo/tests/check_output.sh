#!/usr/bin/env bash
# Runs quibexdemo on a console session and checks what it prints.
#
#   check_output.sh DEMO INPUT EXPECT
#
# EXPECT holds blocks of expected output separated by lines "...": each block
# (all its lines, joined by line ends) must occur in the output after the
# previous one. Other lines of EXPECT with a special meaning:
#   # text           a comment
#   !!! text         text that must not occur anywhere in the output
#   exit: N          the expected exit status (default 0)
#   locale: NAME     run in locale NAME, built with localedef for the run (the
#                    case is skipped, status 77, when that is not possible);
#                    for a GBK locale INPUT is converted from UTF-8 to GBK and
#                    the output back to UTF-8 before it is checked
#   alone            run a copy of DEMO placed where no library lies beside it
#   library-path     with alone: LD_LIBRARY_PATH names DEMO's own directory
#   broken-library   with alone: a file that is no library lies beside the
#                    copy under the library's run-time name
#
# A line "<<< text" in INPUT is not typed: the input after it is held back
# until the output holds text (at most 10 seconds, else the case fails).
# Such input comes through a pipe, one line at a time, as a user types it,
# so a question the program asks must be on screen before it waits.
set -u
demo=$1 input=$2 expect=$3

status_want=0 locale= alone=0 library_path=0 broken_library=0 blocks=() forbidden=() block= have_block=0
flush() {
  if [ "$have_block" = 1 ]; then blocks+=("$block"); fi
  block= have_block=0
}
while IFS= read -r line || [ -n "$line" ]; do
  case $line in
    '#'*) ;;
    '!!! '*) forbidden+=("${line#'!!! '}") ;;
    'exit: '*) status_want=${line#'exit: '} ;;
    'locale: '*) locale=${line#'locale: '} ;;
    'alone') alone=1 ;;
    'library-path') library_path=1 ;;
    'broken-library') broken_library=1 ;;
    '...') flush ;;
    *) if [ "$have_block" = 1 ]; then block+=$'\n'"$line"; else block=$line have_block=1; fi ;;
  esac
done < "$expect"
flush

tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
cp "$input" "$tmp/input"
if [ "$alone" = 1 ]; then
  cp "$demo" "$tmp/demo" || exit 1
  if [ "$library_path" = 1 ]; then
    export LD_LIBRARY_PATH=$(cd "$(dirname "$demo")" && pwd)${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
  fi
  if [ "$broken_library" = 1 ]; then
    printf 'This text stands where the library should be; the loader must refuse it.\n%.0s' 1 2 3 \
      > "$tmp/libquibex.so.1"
  fi
  demo=$tmp/demo
fi
fail=0

# Runs the demo on $tmp/input with its output in $1; sets status.
run_demo() {
  local out=$1
  if ! grep -q '^<<< ' "$tmp/input"; then
    "$demo" < "$tmp/input" > "$out"
    status=$?
    return
  fi
  mkfifo "$tmp/pipe" || exit 1
  : > "$out"
  "$demo" < "$tmp/pipe" > "$out" &
  local pid=$! line want tries
  trap '' PIPE  # the program may end before all input is sent
  exec 3> "$tmp/pipe"
  while IFS= read -r line || [ -n "$line" ]; do
    case $line in
      '<<< '*)
        want=${line#'<<< '} tries=0
        until grep -qF -- "$want" "$out"; do
          if [ $((tries += 1)) -gt 100 ]; then
            printf 'FAIL: not shown before the program waited for input: %s\n' "$want"
            fail=1
            kill "$pid" 2>/dev/null
            break 2
          fi
          sleep 0.1
        done ;;
      *) printf '%s\n' "$line" >&3 2>/dev/null ;;
    esac
  done < "$tmp/input"
  exec 3>&-
  wait "$pid"
  status=$?
}

if [ -n "$locale" ]; then
  charset=${locale#*.}
  localedef -i "${locale%%.*}" -f "$charset" "$tmp/$locale" >/dev/null 2>&1 || {
    echo "SKIP: cannot build locale $locale"; exit 77; }
  iconv -f UTF-8 -t "$charset" "$input" > "$tmp/input" || exit 1
  export LOCPATH=$tmp LC_ALL=$locale
  run_demo "$tmp/raw"
  iconv -f "$charset" -t UTF-8 "$tmp/raw" > "$tmp/output" || { echo "FAIL: output is not $charset"; exit 1; }
else
  run_demo "$tmp/output"
fi
output=$(cat "$tmp/output")

if [ "$status" != "$status_want" ]; then
  echo "FAIL: exit status $status, expected $status_want"
  fail=1
fi
rest=$output
for b in "${blocks[@]}"; do
  if [[ "$rest" == *"$b"* ]]; then
    rest=${rest#*"$b"}
  else
    printf 'FAIL: expected next:\n%s\n' "$b"
    fail=1
    break
  fi
done
for f in "${forbidden[@]}"; do
  if [[ "$output" == *"$f"* ]]; then
    printf 'FAIL: unexpected: %s\n' "$f"
    fail=1
  fi
done
if [ "$fail" = 1 ]; then
  printf '%s\n----- output -----\n%s\n' "----- $input" "$output"
  exit 1
fi
echo "ok: ${#blocks[@]} blocks"
