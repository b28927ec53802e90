#!/usr/bin/env bash
# Runs a Windows program under Wine with a Wine prefix of its own:
#
#   wine-run.sh PREFIX PROGRAM.exe [ARGUMENTS...]
#
# The prefix is created at the first run (a lock keeps parallel first runs
# from creating it twice). Wine's own messages are off, and so are the
# .NET and HTML engines it would offer to install. The program's exit
# status is this script's.
set -u
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix/system.reg" ]; then
      wineboot -i >/dev/null 2>&1
      wineserver -w
    fi
  ) 9>"$prefix.lock"
fi
exec wine "$@"
