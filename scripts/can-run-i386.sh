#!/bin/sh
# Whether this machine can run the x86 Windows build's programs under Wine, found out by
# starting an i386 program (Wine's own 32-bit loader), never guessed from the kernel.
# Exit 0 when it can; otherwise exit 1 with the reason on standard output, in a few words.
#
# DRAVOLIN_NO_I386=1 answers "cannot" without trying (to test that path on any machine);
# DRAVOLIN_WINE32_LOADER names another loader to try (default /usr/lib/wine/wine).
if [ "${DRAVOLIN_NO_I386:-}" = 1 ]; then
  echo "DRAVOLIN_NO_I386=1"
  exit 1
fi
loader=${DRAVOLIN_WINE32_LOADER:-/usr/lib/wine/wine}
if [ ! -e "$loader" ]; then
  echo "Wine's 32-bit loader $loader is not installed"
  exit 1
fi
if error=$("$loader" --version 2>&1 >/dev/null); then
  exit 0
fi
error=$(printf '%s' "$error" | tail -n 1 | sed 's/^.*: //')
echo "this machine cannot start i386 programs: $loader: ${error:-failed}"
exit 1
