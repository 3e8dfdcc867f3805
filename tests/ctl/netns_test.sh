#!/bin/sh
# The stand-in server and dravolinctl on a link of real size: inside a private network
# namespace whose loopback has an Ethernet MTU (1500), so every frame larger than one TCP
# segment reaches the client in several receives. Checks an encrypted "getlog" of 8 MiB
# (byte-identical to the served body) and an encrypted listing of a few hundred devices, and
# the same two in plain text.
#
#   netns_test.sh SERVER CTL WORKDIR [EMULATOR...]
#
# Exits 77 (reported by CTest as skipped, never as passed) where no network namespace can be
# made: not root, no user namespaces, no unshare or ip.
set -u
SKIP=77

if [ "${DRAVOLIN_IN_NETNS:-}" != 1 ]; then
    for tool in unshare ip ss cmp; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "skipped: no '$tool' on this machine"
            exit $SKIP
        fi
    done
    if ! unshare -n true 2>/dev/null; then
        echo "skipped: cannot create a network namespace here (unshare -n needs root)"
        exit $SKIP
    fi
    DRAVOLIN_IN_NETNS=1 exec unshare -n sh "$0" "$@"
fi

SERVER=$1
CTL=$2
WORK=$3
shift 3
# The rest: an emulator to run the programs with (Wine for the Win32 build), or nothing.

fail() {
    echo "FAILED: $*"
    exit 1
}

ip link set lo up || fail "cannot bring loopback up"
ip link set lo mtu 1500 || fail "cannot set the loopback MTU"
ip link show lo | grep -q " mtu 1500 " || fail "loopback MTU is not 1500: $(ip link show lo)"

rm -rf "$WORK"
mkdir -p "$WORK" || fail "cannot create $WORK"
cd "$WORK" || exit 1

if [ $# -gt 0 ]; then
    # Wine creates sockets in its wineserver, so the programs need a wineserver of their own
    # started inside this namespace: a prefix of their own (kept for the next run), ended
    # with the test.
    export DRAVOLIN_WINEPREFIX="$WORK.wineprefix" DRAVOLIN_WINEPREFIX_FIXED=1
fi
end_wineserver() {
    if [ -n "${DRAVOLIN_WINEPREFIX_FIXED:-}" ]; then
        WINEPREFIX="$DRAVOLIN_WINEPREFIX" wineserver -k 2>/dev/null
    fi
}

SIZE=8388608
"$@" "$SERVER" --port 0 --bind 127.0.0.1 --user admin:pw --chap-user alice:secret \
    --peer server:peersecret --log-size $SIZE --log-name netns.log --exit-after 600 \
    >server.out 2>server.err &
SERVER_PID=$!
trap 'kill $SERVER_PID 2>/dev/null; wait $SERVER_PID 2>/dev/null; end_wineserver' EXIT

PORT=
for _ in $(seq 1 300); do
    PORT=$(sed -n 's/.*(service port \([0-9]*\)).*/\1/p' server.out 2>/dev/null | tr -d '\r')
    [ -n "$PORT" ] && break
    kill -0 $SERVER_PID 2>/dev/null || fail "the server did not start: $(cat server.err)"
    sleep 0.1
done
[ -n "$PORT" ] || fail "the server printed no port"
# The server must listen inside this namespace (not through a wineserver outside it).
ss -tln 2>/dev/null | grep -q "127.0.0.1:$((PORT + 1)) " ||
    fail "the server does not listen on this namespace's loopback"

"$@" "$SERVER" --write-log expected.log --log-size $SIZE >/dev/null 2>&1 ||
    fail "cannot write the expected log"

PLAIN="--port $PORT --user admin --password pw"
ENCRYPTED="--port $PORT --chap alice --secret secret --peer server --peer-secret peersecret --encrypt"

# A listing of a few hundred devices (several segments in one reply).
: >add.txt
for i in $(seq 1 300); do
    echo "add netns$i" >>add.txt
done
# shellcheck disable=SC2086
"$@" "$CTL" $PLAIN --batch add.txt >add.out 2>&1 || fail "adding devices: $(tail -3 add.out)"

for mode in plain encrypted; do
    if [ $mode = plain ]; then opts=$PLAIN; else opts=$ENCRYPTED; fi
    mkdir -p $mode
    # shellcheck disable=SC2086
    "$@" "$CTL" $opts list-devices >$mode/list.out 2>$mode/list.err ||
        fail "$mode listing: exit $? $(cat $mode/list.err)"
    devices=$(tr -d '\r' <$mode/list.out | grep -c '^Device=netns')
    [ "$devices" = 300 ] || fail "$mode listing shows $devices of 300 devices"
    # shellcheck disable=SC2086
    "$@" "$CTL" $opts --no-progress getlog --dir $mode >$mode/getlog.out 2>$mode/getlog.err ||
        fail "$mode getlog: exit $? $(cat $mode/getlog.err)"
    cmp -s expected.log $mode/netns.log || fail "$mode getlog: the file differs from the served body"
    echo "$mode: listing of $devices devices and getlog of $SIZE bytes over MTU 1500: ok"
done
echo "network namespace test passed"
