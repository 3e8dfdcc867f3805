#!/bin/sh
# Runs a Windows program (or one of Wine's own: msiexec, winepath, reg) under Wine in a prefix
# private to the build tree. The prefix is created on first use (under a lock, since CTest runs
# tests in parallel) and reused afterwards, so a user's own prefix is never touched.
#
# DRAVOLIN_WINE_ARCH: win32 (the default; cmake/wine64-run.sh sets win64) picks the prefix kind
# and the loader. win64 always goes through Wine's 64-bit loader and server directly, never
# through /usr/bin/wine, wineboot or wineserver: those start Wine's i386 half whenever it is
# installed, and fail on a machine whose kernel runs no i386 code. The same launch is used on
# every machine, so a suite that passes on one passes on the other.
set -e
case ${DRAVOLIN_WINE_ARCH:-win32} in
win64)
  dravolin_wine_loader=${DRAVOLIN_WINE64_LOADER:-/usr/lib/wine/wine64}
  dravolin_wine_server=${DRAVOLIN_WINE64_SERVER:-/usr/lib/wine/wineserver64}
  export WINEARCH=win64 WINELOADER="$dravolin_wine_loader" WINESERVER="$dravolin_wine_server"
  wine() { "$dravolin_wine_loader" "$@"; }
  wineserver() { "$dravolin_wine_server" "$@"; }
  wineboot() { "$dravolin_wine_loader" wineboot.exe "$@"; }
  wine_program=$dravolin_wine_loader
  prefix_name=wineprefix-win64
  ;;
win32)
  export WINEARCH=win32
  wine_program=wine
  prefix_name=wineprefix
  ;;
*)
  echo "wine-run.sh: DRAVOLIN_WINE_ARCH must be win32 or win64, not '$DRAVOLIN_WINE_ARCH'" >&2
  exit 64
  ;;
esac
: "${DRAVOLIN_WINEPREFIX:=$(pwd)/$prefix_name}"
case "$1" in
*/*) build_dir=$(cd "$(dirname "$1")/.." 2>/dev/null && pwd) ;;
esac
# Put the prefix next to bin/ when the program lives in <build>/bin.
if [ -n "$build_dir" ] && [ -d "$build_dir/bin" ] && [ -z "$DRAVOLIN_WINEPREFIX_FIXED" ]; then
  DRAVOLIN_WINEPREFIX="$build_dir/wineprefix"
fi
export WINEPREFIX="$DRAVOLIN_WINEPREFIX"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
mkdir -p "$(dirname "$WINEPREFIX")"
(
  flock 9
  if [ ! -f "$WINEPREFIX/.dravolin-ready" ]; then
    rm -rf "$WINEPREFIX"
    wineboot -i >/dev/null 2>&1 9>&- || true
    wineserver -w
    touch "$WINEPREFIX/.dravolin-ready"
  fi
  # DRAVOLIN_WINE_DESKTOP=WxH: the prefix's programs run in a desktop window of that size that
  # Wine manages itself (activation and focus stay inside Wine, with or without a window
  # manager on the display). Written before the prefix's first session that needs it.
  if [ -n "${DRAVOLIN_WINE_DESKTOP:-}" ] &&
    [ "$(cat "$WINEPREFIX/.dravolin-desktop" 2>/dev/null)" != "$DRAVOLIN_WINE_DESKTOP" ]; then
    wineserver -w 9>&- || true
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f \
      </dev/null >/dev/null 2>&1 9>&-
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$DRAVOLIN_WINE_DESKTOP" /f \
      </dev/null >/dev/null 2>&1 9>&-
    wineserver -w 9>&-
    echo "$DRAVOLIN_WINE_DESKTOP" >"$WINEPREFIX/.dravolin-desktop"
  fi
  # One wineserver and one set of Wine's own processes (services, devices, explorer) for the
  # prefix, started apart from this program's output: started by the program itself they
  # would inherit it and hold CTest's pipe open until the last Wine program of the run ends.
  # The server stays a few seconds after its last program, so one that starts just then does
  # not find it ending ("wine client error: ... Connection reset by peer"). When the server
  # already runs, wineserver exits at once and nothing else is done.
  if wineserver -p5 </dev/null >/dev/null 2>&1 9>&-; then
    wine wineboot </dev/null >/dev/null 2>&1 9>&- || true
  fi
) 9>"$WINEPREFIX.lock"
exec "$wine_program" "$@"
