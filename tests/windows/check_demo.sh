#!/usr/bin/env bash
# Runs quibexdemo.exe under Wine with its input and output redirected:
#
#   check_demo.sh WINE_RUN PREFIX DEMO INPUT EXPECTED
#
# The output must be GBK text (code page 936) with Windows line ends which,
# read as UTF-8 with LF line ends, is EXPECTED byte for byte: the Linux
# demo's output for INPUT. On a console (Wine's, on a terminal) the same
# text must show. A copy of the demo with no quibex.dll beside it must print
# the message for a missing library.
set -u
wine_run=$1 prefix=$2 demo=$3 input=$4 expected=$5
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
fail=0

"$wine_run" "$prefix" "$demo" < "$input" > "$tmp/raw"
status=$?
[ "$status" = 0 ] || { echo "FAIL: exit status $status"; fail=1; }
if ! iconv -f GBK -t UTF-8 "$tmp/raw" > "$tmp/utf8"; then
  echo "FAIL: the output is not GBK text"
  fail=1
fi
# Every line end is CR LF.
if [ ! -s "$tmp/raw" ] || [ "$(LC_ALL=C grep -c $'\r$' "$tmp/raw")" != "$(wc -l < "$tmp/raw")" ]; then
  echo "FAIL: a line ends without CR"
  fail=1
fi
tr -d '\r' < "$tmp/utf8" > "$tmp/text"
if ! cmp -s "$tmp/text" "$expected"; then
  echo "FAIL: output differs from $expected"
  diff "$expected" "$tmp/text"
  fail=1
fi

# On a console: with a terminal as its output, Wine gives the program a
# console, the demo writes UTF-16 through WriteConsoleW and Wine shows it on
# the terminal as UTF-8. The screen updates (cursor moves over blanks,
# cursor hiding) are turned back into text before comparing.
if command -v script >/dev/null 2>&1 && command -v perl >/dev/null 2>&1; then
  script -qec "$(printf '%q ' "$wine_run" "$prefix" "$demo") < $(printf '%q' "$input")" /dev/null > "$tmp/console" 2>&1
  perl -pe 's/\e\[(\d*)C/" " x ($1 eq "" ? 1 : $1)/ge; s/\e\[[0-9;?]*[A-Za-z]//g; s/\e\][^\a]*\a//g; s/\r//g' \
    "$tmp/console" > "$tmp/console.text"
  if ! cmp -s "$tmp/console.text" "$expected"; then
    echo "FAIL: console output differs from $expected"
    diff "$expected" "$tmp/console.text"
    fail=1
  fi
else
  echo "note: script or perl missing, console output not checked"
fi

# Without the library beside it (the Wine prefix's system folders do not
# hold one either).
mkdir "$tmp/alone"
cp "$demo" "$tmp/alone/quibexdemo.exe"
printf 'x\n' | "$wine_run" "$prefix" "$tmp/alone/quibexdemo.exe" > "$tmp/alone.raw"
status=$?
message='找不到quibex.dll！请将该库放到WINDOWS的搜索路径内！'
if ! iconv -f GBK -t UTF-8 "$tmp/alone.raw" | grep -qF "$message"; then
  echo "FAIL: no message for the missing library"
  iconv -f GBK -t UTF-8 "$tmp/alone.raw"
  fail=1
fi
[ "$status" != 0 ] || { echo "FAIL: exit status 0 without the library"; fail=1; }

[ "$fail" = 0 ] && echo "ok: redirected output equals the Linux demo's ($(wc -l < "$expected") lines)"
exit $fail
