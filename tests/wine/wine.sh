#!/bin/sh
# Runs the Windows programs of the test build under Wine, in the test run's
# own prefix.
#   wine.sh setup PREFIX STANDIN      a fresh prefix, the PowerShell stand-in in place
#   wine.sh run PREFIX PROGRAM ARGS   one program
#   wine.sh stop PREFIX               ends the prefix's wineserver
set -eu
mode=$1
prefix=$2
shift 2
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all
# No Mono or Gecko prompts; the stand-in, not Wine's own powershell.exe.
export WINEDLLOVERRIDES="mscoree,mshtml=;powershell.exe=n"

case "$mode" in
setup)
  # Debian's wine64 claims Windows' fixed addresses before the kernel places
  # anything else only when its preloader sits beside it; without one a
  # program now and then dies before it starts (docs/windows.md).
  if [ -x /usr/lib/wine/wine64 ] && [ ! -e /usr/lib/wine/wine64-preloader ]; then
    echo "wine.sh: /usr/lib/wine/wine64-preloader is missing (Debian package wine64-preloader)" >&2
    exit 1
  fi
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"
  wineboot --init >/dev/null 2>&1
  wineserver -w
  target="$prefix/drive_c/windows/system32/WindowsPowerShell/v1.0"
  mkdir -p "$target"
  cp "$1" "$target/powershell.exe"
  ;;
run)
  # Each program starts its own server: one started while the last one is
  # still shutting down can fail at once, with nothing printed.
  wineserver -w
  exec wine "$@"
  ;;
stop)
  wineserver -k >/dev/null 2>&1 || true
  ;;
*)
  echo "usage: wine.sh setup|run|stop PREFIX ..." >&2
  exit 2
  ;;
esac
