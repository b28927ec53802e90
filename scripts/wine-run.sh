#!/usr/bin/env bash
# Runs a Windows program under Wine with a Wine prefix of its own:
#
#   wine-run.sh PREFIX PROGRAM.exe [ARGUMENTS...]
#
# The prefix is created at the first run (a lock keeps parallel first runs
# from creating it twice). A marker written once wineboot has finished says
# it is ready: wineboot writes system.reg early, and a test that took that
# for a finished prefix could start while Wine was still setting it up
# ("Application could not be started"). Wine's own messages are off, and so
# are the .NET and HTML engines it would offer to install. The program's
# exit status is this script's.
set -u
prefix=$1
shift
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
if [ ! -f "$prefix.ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    if [ ! -f "$prefix.ready" ]; then
      wineboot -i >/dev/null 2>&1
      wineserver -w
      touch "$prefix.ready"
    fi
  ) 9>"$prefix.lock"
fi
exec wine "$@"
