#!/bin/sh
# Runs an x64 Windows program (or one of Wine's own) under Wine's 64-bit loader: wine-run.sh
# with DRAVOLIN_WINE_ARCH=win64.
DRAVOLIN_WINE_ARCH=win64 exec "$(dirname "$0")/wine-run.sh" "$@"
