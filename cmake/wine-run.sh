#!/bin/sh
# Runs a Windows program under Wine in a private, non-interactive prefix:
#   wine-run.sh <prefix folder> <program.exe> [arguments...]
# The first call starts the prefix's wineserver (kept up for a minute after the last program, so
# that each test process starts in a fraction of a second) and the prefix's background services,
# with their output detached: started by a test program instead, they would hold its output pipe
# open long after it ended.
WINEPREFIX=$1
shift
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
mkdir -p "$WINEPREFIX"
if wineserver -p 60 </dev/null >/dev/null 2>&1; then
  wineboot -i </dev/null >/dev/null 2>&1
fi
exec wine "$@"
