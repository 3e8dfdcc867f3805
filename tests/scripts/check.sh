# Checks for the script tests, sourced by them. A test defines show_run (what to print under a
# failed check: the run's output, its calls) and sets $name before each run.
passed=0
failed=0

check() { # DESCRIPTION COMMAND...
  what=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $name: $what" >&2
    show_run | sed 's/^/  | /' >&2
  fi
}
not() { ! "$@"; }

# check_summary WHAT: the closing line; fails when a check failed.
check_summary() {
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
