#!/bin/sh
# A virtual display for the Windows dialog tests, started once for a test run (a CTest
# fixture) and stopped at its end.
#   xvfb-fixture.sh start <state file> <wine prefix>   start Xvfb; the state file gets ":N PID"
#   xvfb-fixture.sh stop <state file> <wine prefix>    stop it
# The prefix's wineserver is stopped on both occasions: its programs hold the display they
# were started with.
set -e
action=$1 state=$2 prefix=$3
stop_wine() { [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k </dev/null >/dev/null 2>&1 || true; }

case "$action" in
start)
  stop_wine
  [ -f "$state" ] && "$0" stop "$state" "$prefix"
  rm -f "$state" "$state.number"
  setsid Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$state.number" </dev/null >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 100); do
    [ -s "$state.number" ] && break
    sleep 0.1
  done
  if [ ! -s "$state.number" ]; then
    kill "$pid" 2>/dev/null || true
    echo "Xvfb did not start" >&2
    exit 1
  fi
  echo ":$(head -n1 "$state.number") $pid" >"$state"
  rm -f "$state.number"
  ;;
stop)
  stop_wine
  if [ -f "$state" ]; then
    read -r _ pid <"$state" || true
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -f "$state"
  fi
  ;;
*)
  echo "usage: $0 start|stop <state file> <wine prefix>" >&2
  exit 2
  ;;
esac
