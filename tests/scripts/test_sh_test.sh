#!/bin/sh
# Follows scripts/test.sh's decisions through stand-in install, cmake and ctest commands:
# which presets it builds and tests, in which order, on a machine that runs i386 programs and
# on one that does not (DRAVOLIN_NO_I386=1, the same path as a real failure to start one),
# and what it says and returns. Builds and runs nothing itself.
set -u
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/test.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/test-sh-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/check.sh"
show_run() { cat "$work/out" "$work/calls"; }

# Each stand-in logs its call as one line; ctest fails where $FAIL names the call, and lists
# two x86 tests, one of them static, for "-N -LE static".
for tool in install-deps cmake ctest; do
  cat >"$work/$tool" <<STUB
#!/bin/sh
echo "$tool \$*" >>"\$STUB_DIR/calls"
case "$tool \$*" in
"ctest --preset win32 -N -LE static") printf '  Test  #1: client_api_test\n  Test  #2: ctl_msi_test\n\nTotal Tests: 2\n' ;;
esac
[ -n "\${FAIL:-}" ] && [ "$tool \$*" = "\$FAIL" ] && exit 1
exit 0
STUB
  chmod +x "$work/$tool"
done

run() { # NAME [VARIABLE=VALUE...]
  name=$1
  shift
  rm -f "$work/calls"
  status=0
  env STUB_DIR="$work" DRAVOLIN_INSTALL_DEPS="$work/install-deps" DRAVOLIN_CMAKE="$work/cmake" \
    DRAVOLIN_CTEST="$work/ctest" "$@" sh "$script" </dev/null >"$work/out" 2>&1 || status=$?
}
printed() { grep -q -F -e "$1" "$work/out"; }
called() { grep -q -x -F -e "$1" "$work/calls"; }
# Line numbers order the calls.
before() { [ "$(grep -n -x -F "$1" "$work/calls" | cut -d: -f1)" -lt "$(grep -n -x -F "$2" "$work/calls" | cut -d: -f1)" ]; }

run "no i386" DRAVOLIN_NO_I386=1
check "exit 0" [ "$status" -eq 0 ]
check "native tests" called "ctest --preset native"
check "x64 tests" called "ctest --preset win64"
check "x86 built before the x64 tests (its DLL goes into the x64 MSI)" \
  before "cmake --build --preset win32" "ctest --preset win64"
check "x86 static checks" called "ctest --preset win32 -L static"
check "no x86 run" not called "ctest --preset win32"
check "one line naming what did not run and why" \
  printed "x86 Windows tests not run (DRAVOLIN_NO_I386=1): client_api_test ctl_msi_test; they ran on the x64 build."

run "i386 runs" DRAVOLIN_WINE32_LOADER=/bin/true
check "exit 0" [ "$status" -eq 0 ]
check "x64 tests" called "ctest --preset win64"
check "all x86 tests" called "ctest --preset win32"
check "no static-only run" not called "ctest --preset win32 -L static"
check "nothing said of skipped tests" not printed "not run"

run "x64 tests fail" DRAVOLIN_NO_I386=1 FAIL="ctest --preset win64"
check "exit non-zero" [ "$status" -ne 0 ]
check "stops there" not called "ctest --preset win32 -L static"

run "x86 static checks fail" DRAVOLIN_NO_I386=1 FAIL="ctest --preset win32 -L static"
check "exit non-zero" [ "$status" -ne 0 ]
check "no success line" not printed "they ran on the x64 build"

run "Windows tools cannot be installed" FAIL="install-deps win32"
check "exit 1" [ "$status" -eq 1 ]
check "native tests still ran" called "ctest --preset native"
check "no Windows build" not called "cmake --preset win64"
check "says why" printed "the Windows tests could not run"

check_summary test.sh
