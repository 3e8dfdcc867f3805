#!/bin/sh
# Connections per process: how many connections one process holds, natively, as the x64 DLL
# under Wine's 64-bit loader and as the x86 DLL under Wine (where this machine runs i386
# programs), each able to run a request, and the resident memory per idle connection. Starts
# the stand-in server (native, --open) and runs dravolin_scale_bench against it on 127.0.0.1.
# Uses the build trees of the presets (cmake --preset native, win64, win32) that exist; builds
# only the programs it needs.
#   bench/scale.sh [native-count [wine-count [x64-count]]]   (defaults 10000, 1500, 10000)
# SCALE_WINE_2GB=1 also runs the plain (not large-address-aware) x86 program with wine-count,
# to show where a 2 GiB process stops.
set -e
cd "$(dirname "$0")/.."
native_count=${1:-10000}
wine_count=${2:-1500}
x64_count=${3:-10000}
native=build/native
win32=build/win32
win64=build/win64
if [ -d "$win32" ] && ! why=$(./scripts/can-run-i386.sh); then
  echo "no x86 run: $why"
  win32=""
fi

cmake --build "$native" -j2 --target dravolin_scale_bench dravolin-testserver >/dev/null
if [ -n "$win32" ] && [ -d "$win32" ]; then
  cmake --build "$win32" -j2 --target dravolin_scale_bench dravolin_scale_bench_2gb >/dev/null
fi
if [ -d "$win64" ]; then
  cmake --build "$win64" -j2 --target dravolin_scale_bench >/dev/null
fi

# A socket per connection on each side: the descriptor limit of this shell and its children
# goes up to the hard limit (nothing system-wide changes).
ulimit -n "$(ulimit -Hn)"
echo "machine: $(nproc) CPUs; descriptors: $(ulimit -n); $(/usr/lib/wine/wine64 --version 2>/dev/null || echo 'no Wine')"
echo "$(date -u '+%Y-%m-%d %H:%M UTC'); load $(cut -d' ' -f1-3 /proc/loadavg)"

out=$(mktemp -d)
trap 'kill "$server" 2>/dev/null; rm -rf "$out"' EXIT
"$native/bin/dravolin-testserver" --open --exit-after 2400 >"$out/server.txt" 2>"$out/server.err" &
server=$!
for _ in 1 2 3 4 5 6 7 8 9 10; do
  [ -s "$out/server.txt" ] && break
  sleep 0.5
done
port=$(sed -n '1s/.*(service port \([0-9]*\)).*/\1/p' "$out/server.txt")
[ -n "$port" ] || { echo "the stand-in server did not start" >&2; exit 1; }

echo
echo "== native, $native_count connections"
"$native/bin/dravolin_scale_bench" --port "$port" --count "$native_count" --seconds 600 || true
if [ -d "$win64" ]; then
  echo
  echo "== x64 under Wine's 64-bit loader, $x64_count connections"
  cmake/wine64-run.sh "$win64/bin/dravolin_scale_bench.exe" --port "$port" --count "$x64_count" \
    --seconds 600 || true
fi
if [ -n "$win32" ] && [ -d "$win32" ]; then
  echo
  echo "== Win32 under Wine (large-address-aware program), $wine_count connections"
  cmake/wine-run.sh "$win32/bin/dravolin_scale_bench.exe" --port "$port" --count "$wine_count" \
    --seconds 600 || true
  if [ -n "${SCALE_WINE_2GB:-}" ]; then
    echo
    echo "== Win32 under Wine (plain 2 GiB program), $wine_count connections"
    cmake/wine-run.sh "$win32/bin/dravolin_scale_bench_2gb.exe" --port "$port" \
      --count "$wine_count" --seconds 600 || true
  fi
fi
