#!/bin/sh
# Builds both presets and runs every test: natively, then the Win32 build under Wine.
# When the Win32 toolchain or Wine cannot be installed, the native half still runs; the
# script then fails and says which half could not run and why.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh native

win32_problem=""
win32_log=$(mktemp "${TMPDIR:-/tmp}/dravolin-install.XXXXXX")
trap 'rm -f "$win32_log"' EXIT
if ! ./scripts/install-deps.sh win32 2>"$win32_log"; then
  win32_problem=$(grep -e 'could not install' -e 'apt:' "$win32_log" ||
    echo "install-deps.sh win32 failed (its messages are above)")
fi
cat "$win32_log" >&2

cmake --preset native
cmake --build --preset native
ctest --preset native

if [ -n "$win32_problem" ]; then
  echo "test.sh: the native tests ran; the Win32 tests could not run, because the Win32" \
    "toolchain or Wine could not be installed:" >&2
  echo "$win32_problem" | sed 's/^/  /' >&2
  exit 1
fi
cmake --preset win32
cmake --build --preset win32
ctest --preset win32
