#!/bin/sh
# Builds the benchmarks (native, Release, in build/bench) and runs them
# against the stand-in server on loopback; prints the result table.
#   bench/run.sh [client_bench options, e.g. --rounds 9 --rows 1,7]
# The table is also written to build/bench/results.md.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh native
build=build/bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DDRAVOLIN_BUILD_BENCH=ON \
  >"$build.configure.log" 2>&1 || {
  cat "$build.configure.log"
  exit 1
}
targets="client_bench dravolin-testserver"
codec=""
if cmake --build "$build" --target help 2>/dev/null | grep -q "dravolin_frame_codec_bench"; then
  targets="$targets dravolin_frame_codec_bench"
  codec=yes
fi
cmake --build "$build" -j2 --target $targets >"$build/build.log" 2>&1 || {
  tail -50 "$build/build.log"
  exit 1
}

echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
echo "kernel: $(uname -r); $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "load: $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at the start"
echo

codec_args=""
if [ -n "$codec" ]; then
  echo "frame codec benchmark (row 3)..." >&2
  "$build/bin/dravolin_frame_codec_bench" >"$build/frame_codec.txt" 2>"$build/frame_codec.err" || {
    cat "$build/frame_codec.err" >&2
    echo "dravolin_frame_codec_bench failed" >&2
  }
  codec_args="--codec $build/frame_codec.txt"
else
  echo "dravolin_frame_codec_bench is not built in this tree: row 3 left out" >&2
fi
echo "client benchmark (rows 1, 2, 4-7)..." >&2
"$build/bin/client_bench" --server "$build/bin/dravolin-testserver" \
  --out "$build/results.md" $codec_args "$@"
