#!/bin/sh
# Shows the configurator at work under Wine: builds the program and the
# stand-in policy agent, registers the stand-in as "PolicyAgent" in a prefix
# of its own, runs the program with switches, and prints what it stored.
# Usage: demo_configurator.sh [win32 build folder] (default: build/win32)
set -eu
root=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$root/build/win32}
mkdir -p "$build"
build=$(cd "$build" && pwd) # Wine wants an absolute prefix path
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686-mingw.cmake" >/dev/null
fi
cmake --build "$build" -j2 --target DravolinIPSecCfg DravolinPolicyAgentStandIn >/dev/null

export DRAVOLIN_WINEPREFIX_FIXED=1
export DRAVOLIN_WINEPREFIX="$build/wineprefix-ipseccfg-demo"
export WINEPREFIX="$DRAVOLIN_WINEPREFIX" WINEDEBUG=-all
run() { "$root/cmake/wine-run.sh" "$@" 2>/dev/null; }

agent=$(run winepath -w "$build/bin/DravolinPolicyAgentStandIn.exe" | tr -d '\r')
# The prefix is the demo's own: the service stays registered between runs.
run sc create PolicyAgent binPath= "$agent" >/dev/null ||
  run sc config PolicyAgent binPath= "$agent" >/dev/null || true
base='HKLM\SOFTWARE\Policies\Microsoft\Windows\IPSec\Policy\Local'
run reg delete "$base" /f >/dev/null || true
run reg delete 'HKLM\SOFTWARE\DravolinTests\PolicyAgentStandIn' /f >/dev/null || true

echo "== DravolinIPSecCfg.exe -a192.168.1.10 -p3260 -kSecret"
set +e
run "$build/bin/DravolinIPSecCfg.exe" -a192.168.1.10 -p3260 -kSecret
status=$?
set -e
echo "exit code: $status"
echo "== what the policy agent stand-in received"
run reg query 'HKLM\SOFTWARE\DravolinTests\PolicyAgentStandIn' /v Log | tr -d '\r'
echo "== the stored policy tree"
run reg query "$base" /s | tr -d '\r'
exit $status
