#!/bin/sh
# Runs a Windows program under wine64 on the display that cmake/xvfb-fixture.sh started, in a
# Wine prefix whose windows are drawn (cmake/wine-run.sh with QB_WINE_DISPLAY).
#   wine-display-run.sh <state file> <wine prefix> program.exe args...
set -e
state=$1 prefix=$2
shift 2
read -r display _ <"$state" || { echo "no display: $state (is the display fixture running?)" >&2; exit 1; }
export DISPLAY="$display" QB_WINE_PREFIX="$prefix" QB_WINE_DISPLAY=1
exec "$(dirname "$0")/wine-run.sh" "$@"
