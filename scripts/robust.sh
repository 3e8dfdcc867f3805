#!/bin/sh
# Robustness checks: the test suites under AddressSanitizer + UBSan (with
# LeakSanitizer) and under ThreadSanitizer, the client integration tests
# under valgrind memcheck, and a timed run of every fuzz harness.
#
#   scripts/robust.sh [--quick] [--fuzz-seconds N] [--soak-seconds N]
#
# Full mode builds the asan and tsan presets completely and runs their whole
# ctest suites. --quick (the CI form) builds and runs only the client,
# robustness and decoder tests under each sanitizer, and fuzzes each harness
# for 8 s instead of 30. --soak-seconds sets the soak's length (default 3).
set -eu
cd "$(dirname "$0")/.."

quick=0
fuzz_seconds=30
soak_seconds=3
while [ $# -gt 0 ]; do
  case $1 in
    --quick) quick=1; fuzz_seconds=8 ;;
    --fuzz-seconds) fuzz_seconds=$2; shift ;;
    --soak-seconds) soak_seconds=$2; shift ;;
    *) echo "usage: $0 [--quick] [--fuzz-seconds N] [--soak-seconds N]" >&2; exit 2 ;;
  esac
  shift
done

./scripts/install-deps.sh native

start=$(date +%s)
step() { echo "== $* ($(( $(date +%s) - start )) s)"; }
failed=""
fail() { echo "!! $*"; failed="$failed\n  $*"; }

export DRAVOLIN_SOAK_SECONDS=$soak_seconds
export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

# Tests that exercise threads, sockets and decoders of untrusted input, longest first (see
# run_programs).
client_tests="client_server_test client_chap_test client_connection_test client_api_test client_engine_test client_protocol_test"
robust_tests="robust_fault_matrix_test fuzz_corpus_replay_test robust_soak_test robust_concurrency_test"
quick_tests="$robust_tests $client_tests robust_ipsec_apply_fault_test"

# run_programs <build dir> <log suffix> <wrapper command or ""> <program>...
# Runs the test programs of a build that exist in it, two at a time: most of them wait on
# sockets and time-outs, so two lanes halve the wall time on two CPUs, and with the longest
# first the lanes end close together. A failed program's log is shown and recorded.
run_programs() {
  dir=$1 suffix=$2 wrap=$3
  shift 3
  rm -f "$dir/failed-programs"
  for t in "$@"; do
    [ -x "$dir/bin/$t" ] && echo "$t"
  done | xargs -P 2 -I{} sh -c '
    if ! $3 "$1/bin/$4" --gtest_brief=1 > "$1/$4$2" 2>&1; then
      tail -60 "$1/$4$2"
      echo "$4" >> "$1/failed-programs"
    fi' sh "$dir" "$suffix" "$wrap" {}
  if [ -f "$dir/failed-programs" ]; then
    while read -r t; do
      fail "${wrap%% *}${wrap:+ }$t in $dir (log: $dir/$t$suffix)"
    done < "$dir/failed-programs"
  fi
}

sanitizer_suite() {
  preset=$1
  step "$preset: configure and build"
  cmake --preset "$preset" > "build/$preset-configure.log"
  if [ $quick -eq 1 ]; then
    # Only targets that exist in this tree (peers' folders come and go).
    targets=""
    for t in $quick_tests dravolin-testserver; do
      if cmake --build --preset "$preset" --target help 2>/dev/null | grep -q "\.\.\. $t\$"; then
        targets="$targets $t"
      fi
    done
    cmake --build --preset "$preset" --target $targets
    step "$preset: tests"
    run_programs "build/$preset" .log "" $quick_tests
  else
    cmake --build --preset "$preset"
    step "$preset: tests"
    ctest --preset "$preset" || fail "ctest --preset $preset"
  fi
}

sanitizer_suite asan
sanitizer_suite tsan

# valgrind over the client integration tests, in the plain native build.
step "valgrind: build"
cmake --preset native > build/native-configure.log
# The robustness tests run under LeakSanitizer above; in full mode also here.
vg_candidates=$client_tests
[ $quick -eq 1 ] || vg_candidates="$client_tests robust_fault_matrix_test robust_concurrency_test"
vg_tests=""
for t in $vg_candidates; do
  if cmake --build --preset native --target help 2>/dev/null | grep -q "\.\.\. $t\$"; then
    vg_tests="$vg_tests $t"
  fi
done
cmake --build --preset native --target $vg_tests dravolin-testserver
step "valgrind: client integration tests"
run_programs build/native .valgrind.log \
  "valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect --quiet" \
  $vg_tests

step "fuzz: build"
cmake --preset fuzz > build/fuzz-configure.log
cmake --build --preset fuzz --target fuzz_all
step "fuzz: $fuzz_seconds s per harness"
fuzz/run.sh -t "$fuzz_seconds" -b build/fuzz || fail "fuzzing (see build/fuzz/fuzz-logs)"

step "done"
if [ -n "$failed" ]; then
  printf "robustness checks FAILED:$failed\n"
  exit 1
fi
echo "robustness checks passed"
