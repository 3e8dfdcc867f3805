#!/bin/sh
# Builds every preset and runs every test: natively, then the x64 Windows build under Wine's
# 64-bit loader (on every machine), then the x86 Windows build under Wine where this machine
# runs i386 programs. Where it does not (found out by starting one), the x86 build is still
# built and checked statically (export table, imports, PE headers), one line names the x86
# test programs that did not run and why, and the script still succeeds: the same tests ran
# on x64. When the Windows toolchains or Wine cannot be installed, the native half still
# runs; the script then fails and says which half could not run and why.
#
# DRAVOLIN_NO_I386=1 takes the "cannot run i386" path on any machine. DRAVOLIN_INSTALL_DEPS,
# DRAVOLIN_CMAKE and DRAVOLIN_CTEST replace the commands (default scripts/install-deps.sh,
# cmake, ctest), so that a test can follow the script's decisions.
set -e
cd "$(dirname "$0")/.."
install_deps=${DRAVOLIN_INSTALL_DEPS:-./scripts/install-deps.sh}
cmake=${DRAVOLIN_CMAKE:-cmake}
ctest=${DRAVOLIN_CTEST:-ctest}

$install_deps native

windows_problem=""
windows_log=$(mktemp "${TMPDIR:-/tmp}/dravolin-install.XXXXXX")
trap 'rm -f "$windows_log"' EXIT
if ! $install_deps win32 2>"$windows_log"; then
  windows_problem=$(grep -e 'could not install' -e 'apt:' "$windows_log" ||
    echo "install-deps.sh win32 failed (its messages are above)")
fi
cat "$windows_log" >&2

$cmake --preset native
$cmake --build --preset native
$ctest --preset native

if [ -n "$windows_problem" ]; then
  echo "test.sh: the native tests ran; the Windows tests could not run, because the Windows" \
    "toolchains or Wine could not be installed:" >&2
  echo "$windows_problem" | sed 's/^/  /' >&2
  exit 1
fi

# Both Windows builds first: the x64 installer carries the x86 DravolinClient.dll.
$cmake --preset win32
$cmake --build --preset win32
$cmake --preset win64
$cmake --build --preset win64
$ctest --preset win64

if why=$(./scripts/can-run-i386.sh); then
  $ctest --preset win32
  exit 0
fi
$ctest --preset win32 -L static
not_run=$($ctest --preset win32 -N -LE static | sed -n 's/^ *Test *#[0-9]*: *//p' | tr '\n' ' ')
echo "test.sh: x86 Windows tests not run ($why): ${not_run% }; they ran on the x64 build."
