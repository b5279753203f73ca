#!/bin/sh
# Runs a Windows program under wine64: CTest's cross-compiling emulator, or by hand
# (cmake/wine-run.sh program.exe args...).
#
# Prefix: $WINEPREFIX, else $QB_WINE_PREFIX (the build tree's own, set by the toolchain file, so
# that test runs of different build trees do not share a registry), else a per-user prefix in
# $TMPDIR. The per-user prefix is made once and is the template that the others are copied
# from: crashes end the program instead of starting a debugger, and windows need no display.
# With QB_WINE_DISPLAY set, a copied prefix draws its windows on $DISPLAY instead (the dialog
# tests, cmake/wine-display-run.sh).
#
# The wineserver and Wine's system processes are started detached from the caller's pipes;
# otherwise they hold CTest's output pipe open and CTest waits for them.
set -e
WINE=/usr/lib/wine/wine64
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
template="${TMPDIR:-/tmp}/qbnotify-wine-$(id -u)"
prefix="${WINEPREFIX:-${QB_WINE_PREFIX:-$template}}"

# Runs a command with no standard streams and without the lock descriptors (a server started
# here must not hold a lock).
quiet() { "$@" </dev/null >/dev/null 2>&1 8>&- 9>&-; }

make_template() {
  export WINEPREFIX="$template"
  quiet wineboot -i || true
  quiet $WINE reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /d "" /f
  quiet $WINE reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Auto /d 1 /f
  quiet $WINE reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f
  quiet $WINE reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f
  quiet wineserver -k || true
  quiet wineserver -w || true  # the registry is saved once the server has ended
  touch "$template/.qbnotify-ready"
}

# Runs under the lock of the prefix it makes.
make_prefix() {
  [ -f "$1/.qbnotify-ready" ] && return 0
  if [ "$1" = "$template" ]; then
    make_template
  else
    (
      flock 8
      [ -f "$template/.qbnotify-ready" ] || make_template
    ) 8>"$template.lock"
    # Hard links share the template's files; the registry files, which the server replaces
    # when it saves them, get copies of their own. The file "wineserver" names the server's
    # directory: without it the copy gets a server of its own.
    rm -rf "$1"
    cp -al "$template" "$1"
    rm -f "$1/wineserver"
    for file in "$1"/*.reg; do cp --remove-destination "$template/${file##*/}" "$file"; done
    if [ -n "$QB_WINE_DISPLAY" ]; then
      # The copy draws its windows: without the template's null graphics driver.
      WINEPREFIX="$1" DISPLAY= quiet $WINE reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f || true
      WINEPREFIX="$1" quiet wineserver -k || true
      WINEPREFIX="$1" quiet wineserver -w || true
    fi
  fi
}

if [ ! -f "$prefix/.qbnotify-ready" ]; then
  mkdir -p "$(dirname "$prefix")"
  (
    flock 9
    make_prefix "$prefix"
  ) 9>"$prefix.lock"
fi
export WINEPREFIX="$prefix"

# A new server: start the system processes now, while no other program of ours can start them.
(
  flock 9
  if quiet wineserver -p30; then quiet $WINE cmd /c exit || true; fi
) 9>"$prefix.lock"

exec $WINE "$@"
