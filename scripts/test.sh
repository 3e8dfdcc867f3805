#!/bin/sh
# Builds both presets and runs every test: natively, then the Win32 build
# under Wine.
set -e
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset native
cmake --build --preset native
ctest --preset native
cmake --preset win32
cmake --build --preset win32
ctest --preset win32
