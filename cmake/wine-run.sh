#!/bin/sh
# Runs a Windows program under wine64 for CTest: creates the Wine prefix on first use (crashes
# fail instead of opening a debugger; windows need no display), keeps a wineserver running
# detached from CTest's pipes, then execs the program.
set -e
: "${WINEPREFIX:=${TMPDIR:-/tmp}/qbnotify-wine-$(id -u)}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
WINE=/usr/lib/wine/wine64

mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.qbnotify-ready" ]; then
    wineboot -i </dev/null >/dev/null 2>&1 || true
    $WINE reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d "" /f </dev/null >/dev/null 2>&1
    $WINE reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 1 /f </dev/null >/dev/null 2>&1
    if [ -z "$QB_WINE_DISPLAY" ]; then
      $WINE reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    fi
    $WINE reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
    wineserver -k </dev/null >/dev/null 2>&1 || true
    touch "$WINEPREFIX/.qbnotify-ready"
  fi
) 9>"$WINEPREFIX.lock"

wineserver -p30 </dev/null >/dev/null 2>&1 || true
exec $WINE "$@"
