#!/bin/sh
# Runs the libFuzzer programs of a "fuzz" preset build, each for a fixed time,
# starting from the seed corpus in fuzz/corpus/<harness>. New inputs go to a
# work corpus in the build folder (the seeds in the repository stay as they
# are); a failing input lands in <build>/fuzz-artifacts and fails the run.
#
#   fuzz/run.sh [-t seconds-per-target] [-b build-dir] [harness ...]
#
# Prints executions and coverage (libFuzzer's "cov:" figure) per harness.
set -u
cd "$(dirname "$0")/.."
seconds=30
build=build/fuzz
while getopts "t:b:" opt; do
  case $opt in
    t) seconds=$OPTARG ;;
    b) build=$OPTARG ;;
    *) echo "usage: $0 [-t seconds] [-b build-dir] [harness ...]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
if [ $# -eq 0 ]; then
  set -- $(ls fuzz/corpus)
fi

mkdir -p "$build/fuzz-work" "$build/fuzz-artifacts" "$build/fuzz-logs"
summary="$build/fuzz-logs/summary.txt"
printf '%-14s %10s %8s %8s %s\n' harness execs cov corpus result > "$summary"
status=0
for h in "$@"; do
  prog="$build/bin/fuzz_$h"
  if [ ! -x "$prog" ]; then
    printf '%-14s %10s %8s %8s %s\n' "$h" - - - "not built" >> "$summary"
    status=1
    continue
  fi
  work="$build/fuzz-work/$h"
  mkdir -p "$work"
  log="$build/fuzz-logs/$h.log"
  # Bounded memory: a decoder that sizes a list from a count it has not
  # checked against the data trips the malloc limit.
  "$prog" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 \
    -rss_limit_mb=2048 -malloc_limit_mb=512 -max_len=8192 \
    -artifact_prefix="$build/fuzz-artifacts/$h-" \
    "$work" "fuzz/corpus/$h" > "$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | sed 's/cov: //')
  corpus=$(ls "$work" | wc -l)
  if [ $rc -eq 0 ]; then
    result=ok
  else
    result="FAILED (rc $rc, see $log)"
    status=1
  fi
  printf '%-14s %10s %8s %8s %s\n' "$h" "${execs:-?}" "${cov:-?}" "$corpus" "$result" >> "$summary"
done
cat "$summary"
exit $status
