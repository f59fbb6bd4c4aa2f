#!/bin/sh
# Runs a Windows program under Wine in a private, non-interactive prefix:
#   wine-run.sh <prefix folder> <program.exe> [arguments...]
# The first call starts the prefix's wineserver (kept up for a minute after the last program, so
# that each test process starts in a fraction of a second) and the prefix's background services,
# with their output detached: started by a test program instead, they would hold its output pipe
# open long after it ended.
#
# A program that ends with an error without having written a byte to its output never ran (a test
# program prints its banner first): Wine failed to start it, which happens now and then while the
# prefix's server comes or goes. It is started once more; a program that ran is never repeated.
WINEPREFIX=$1
shift
WINEDEBUG=-all
WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
mkdir -p "$WINEPREFIX"
start_server() {
  if wineserver -p 60 </dev/null >/dev/null 2>&1; then
    wineboot -i </dev/null >/dev/null 2>&1
  fi
}
start_server
out=$(mktemp) || exit 1
status_file=$(mktemp) || exit 1
trap 'rm -f "$out" "$status_file"' EXIT
# Standard output passes through as it comes (a copy tells whether anything came).
run() {
  { wine "$@"; echo $? >"$status_file"; } | tee "$out"
  status=$(cat "$status_file")
}
run "$@"
if [ "$status" -ne 0 ] && [ ! -s "$out" ]; then
  echo "wine-run.sh: $1 ended with status $status before writing anything; starting it again" >&2
  start_server
  run "$@"
fi
exit "$status"
