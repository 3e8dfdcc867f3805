#!/bin/sh
# Runs the Python suite's network tests inside a private network namespace whose loopback has
# an Ethernet MTU (1500), so that every reply larger than one segment arrives in pieces.
#   netns.sh COMMAND...      (e.g. python3 -m pytest ...)
# Exits 77 (skipped for CTest) where no namespace can be made (not root, no unshare or ip).
set -u
if [ "${DRAVOLIN_IN_NETNS:-}" != 1 ]; then
  for tool in unshare ip; do
    command -v "$tool" >/dev/null 2>&1 || { echo "skipped: no '$tool' here"; exit 77; }
  done
  unshare -n true 2>/dev/null || { echo "skipped: unshare -n needs root"; exit 77; }
  DRAVOLIN_IN_NETNS=1 exec unshare -n sh "$0" "$@"
fi
ip link set lo mtu 1500 up || { echo "FAILED: cannot set up loopback"; exit 1; }
ip link show lo | grep -q "mtu 1500" || { echo "FAILED: loopback MTU is not 1500"; exit 1; }
exec "$@"
