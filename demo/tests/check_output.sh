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
set -u
demo=$1 input=$2 expect=$3

status_want=0 locale= alone=0 blocks=() forbidden=() block= have_block=0
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
  demo=$tmp/demo
fi
if [ -n "$locale" ]; then
  charset=${locale#*.}
  localedef -i "${locale%%.*}" -f "$charset" "$tmp/$locale" >/dev/null 2>&1 || {
    echo "SKIP: cannot build locale $locale"; exit 77; }
  iconv -f UTF-8 -t "$charset" "$input" > "$tmp/input" || exit 1
  LOCPATH=$tmp LC_ALL=$locale "$demo" < "$tmp/input" > "$tmp/raw"
  status=$?
  iconv -f "$charset" -t UTF-8 "$tmp/raw" > "$tmp/output" || { echo "FAIL: output is not $charset"; exit 1; }
else
  "$demo" < "$tmp/input" > "$tmp/output"
  status=$?
fi
output=$(cat "$tmp/output")

fail=0
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
