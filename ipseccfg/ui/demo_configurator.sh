#!/bin/sh
# Shows the configurator at work under Wine: builds the program, its console
# twin and the stand-in policy agent, registers the stand-in as "PolicyAgent"
# in a prefix of its own, applies settings with switches, shows what is
# configured (/show, then the raw store), and takes it away again (/remove).
# Usage: demo_configurator.sh [Windows build folder [win32|win64]]
# (default: build/win32; the kind from the folder's CMake cache, else win32)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/win32}
mkdir -p "$build"
build=$(cd "$build" && pwd) # Wine wants an absolute prefix path
arch=${2:-}
if [ -z "$arch" ]; then
  arch=win32
  grep -q 'toolchain-x86_64-mingw' "$build/CMakeCache.txt" 2>/dev/null && arch=win64
fi
case $arch in
win32) toolchain=toolchain-i686-mingw.cmake wine_run="$root/cmake/wine-run.sh" ;;
win64) toolchain=toolchain-x86_64-mingw.cmake wine_run="$root/cmake/wine64-run.sh" ;;
*)
  echo "demo_configurator.sh: the kind is win32 or win64, not '$arch'" >&2
  exit 64
  ;;
esac
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" >/dev/null
fi
cmake --build "$build" -j2 --target DravolinIPSecCfg DravolinIPSecCfgCom \
  DravolinPolicyAgentStandIn >/dev/null

export DRAVOLIN_WINEPREFIX_FIXED=1
export DRAVOLIN_WINEPREFIX="$build/wineprefix-ipseccfg-demo"
export WINEPREFIX="$DRAVOLIN_WINEPREFIX" WINEDEBUG=-all
run() { "$wine_run" "$@" 2>/dev/null; }
# The console twin, as "DravolinIPSecCfg" typed in a console runs it; its
# messages (standard error) kept, Wine's own noise dropped.
twin() {
  code=0
  text=$("$wine_run" "$build/bin/DravolinIPSecCfg.com" "$@" 2>&1) || code=$?
  printf '%s\n' "$text" | tr -d '\r'
  echo "exit code: $code"
  return $code
}

agent=$(run winepath -w "$build/bin/DravolinPolicyAgentStandIn.exe" | tr -d '\r')
# The prefix is the demo's own: the service stays registered between runs.
run sc create PolicyAgent binPath= "$agent" >/dev/null ||
  run sc config PolicyAgent binPath= "$agent" >/dev/null || true
base='HKLM\SOFTWARE\Policies\Microsoft\Windows\IPSec\Policy\Local'
run reg delete "$base" /f >/dev/null || true
run reg delete 'HKLM\SOFTWARE\DravolinTests\PolicyAgentStandIn' /f >/dev/null || true

echo "== DravolinIPSecCfg -a192.168.1.10 -p3260 -kSecret"
status=0
twin -a192.168.1.10 -p3260 -kSecret || status=$?
echo "== DravolinIPSecCfg /show"
twin /show || true
echo "== DravolinIPSecCfg /show /json"
twin /show /json || true
echo "== what the policy agent stand-in received"
run reg query 'HKLM\SOFTWARE\DravolinTests\PolicyAgentStandIn' /v Log | tr -d '\r'
echo "== the stored policy tree, raw"
run reg query "$base" /s | tr -d '\r'
echo "== DravolinIPSecCfg /remove"
twin /remove || true
echo "== DravolinIPSecCfg /show"
twin /show || true
exit $status
