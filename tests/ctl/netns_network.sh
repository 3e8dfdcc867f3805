#!/bin/sh
# dravolinctl and the stand-in on a network like today's, in a private network and mount
# namespace (loopback MTU 1500, a private /etc/hosts): IPv6 sessions (literal address with and
# without brackets, a name that resolves to ::1 only), a name with two addresses whose first
# one refuses or is black-holed (a firewall drop rule) while the second answers, the failure
# text that names both, and TCP keep-alive finding a server whose packets are dropped after
# the login long before the reply time-out.
#
#   netns_network.sh SERVER CTL WORKDIR [EMULATOR...]
#
# Exits 77 (skipped) where no namespace can be made; parts that need a firewall say so and
# are left out when neither iptables nor nft works here.
set -u
SKIP=77

if [ "${DRAVOLIN_IN_NETNS:-}" != 1 ]; then
    for tool in unshare ip mount; do
        if ! command -v "$tool" >/dev/null 2>&1; then
            echo "skipped: no '$tool' on this machine"
            exit $SKIP
        fi
    done
    if ! unshare -n -m true 2>/dev/null; then
        echo "skipped: cannot create a network namespace here (unshare -n -m needs root)"
        exit $SKIP
    fi
    DRAVOLIN_IN_NETNS=1 exec unshare -n -m sh "$0" "$@"
fi

SERVER=$1
CTL=$2
WORK=$3
shift 3
# The rest: an emulator to run the programs with (Wine for a Windows build), or nothing.

fail() {
    echo "FAILED: $*"
    [ -f "$WORK/err" ] && sed 's/^/  stderr: /' "$WORK/err"
    exit 1
}

ip link set lo mtu 1500 up || fail "cannot bring loopback up"
ip -6 addr show dev lo | grep -q '::1' || { echo "skipped: no IPv6 loopback"; exit $SKIP; }
rm -rf "$WORK"
mkdir -p "$WORK" || fail "cannot make $WORK"

# Names of our own, in a private copy of /etc/hosts (this mount namespace only).
{
    echo "127.0.0.1 localhost"
    echo "::1 v6only.test"
    echo "::1 dual.test"
    echo "127.0.0.1 dual.test"
} > "$WORK/hosts"
mount --bind "$WORK/hosts" /etc/hosts || fail "cannot mount a private /etc/hosts"

if [ $# -gt 0 ]; then
    # Wine creates sockets in its wineserver, so the programs need a wineserver of their own
    # started inside this namespace (one of the build's prefix may run outside it): a prefix of
    # their own (kept for the next run), its wineserver ended with the test.
    export DRAVOLIN_WINEPREFIX="$WORK.wineprefix" DRAVOLIN_WINEPREFIX_FIXED=1
fi
end_wineserver() {
    if [ -n "${DRAVOLIN_WINEPREFIX_FIXED:-}" ]; then
        WINEPREFIX="$DRAVOLIN_WINEPREFIX" wineserver -k 2>/dev/null
    fi
}

spid=
cpid=
trap 'kill $spid $cpid 2>/dev/null; wait 2>/dev/null; end_wineserver' EXIT

start() { # start [server options...]: sets port (the service port)
    [ -n "$spid" ] && kill "$spid" 2>/dev/null && wait "$spid" 2>/dev/null
    rm -f "$WORK/listen"
    "$@" "$SERVER" --exit-after 300 --user admin:pw --chap-user alice:secret \
        --peer server:peersecret $SERVER_ARGS > "$WORK/listen" 2>/dev/null &
    spid=$!
    # A first run under Wine makes the prefix first (tens of seconds on a busy machine).
    for _ in $(seq 3000); do
        [ -s "$WORK/listen" ] && break
        kill -0 "$spid" 2>/dev/null || break
        sleep 0.1
    done
    port=$(sed -n 's/.*(service port \([0-9]*\)).*/\1/p' "$WORK/listen")
    [ -n "$port" ] || fail "server did not start ($SERVER_ARGS)"
}
run() { # run ARGS...: dravolinctl with the emulator, stderr to $WORK/err
    EMU="$EMULATOR" sh -c 'exec $EMU "$0" "$@"' "$CTL" "$@" 2>"$WORK/err"
}
EMULATOR="$*"
seconds() { date +%s; }

# --- IPv6 sessions -------------------------------------------------------------------------
SERVER_ARGS="--bind ::1"
start $EMULATOR
for host in ::1 '[::1]' v6only.test; do
    out=$(run --host "$host" --port "$port" --user admin --password pw list-devices) ||
        fail "plain session to $host"
    echo "$out" | grep -q disk0 || fail "no device listed over $host: $out"
    out=$(run --host "$host" --port "$port" --chap alice --secret secret --peer server \
        --peer-secret peersecret --encrypt list-devices) || fail "encrypted session to $host"
    echo "$out" | grep -q disk0 || fail "no device listed over $host (encrypted)"
done
echo "IPv6: ::1, [::1] and a name that resolves to ::1 only"

SERVER_ARGS="--bind ::"
start $EMULATOR
for host in 127.0.0.1 ::1 dual.test; do
    run --host "$host" --port "$port" --user admin --password pw --quiet get LogLevel \
        >/dev/null || fail "dual-stack stand-in over $host"
done
echo "dual stack: 127.0.0.1 and ::1 to one listener on ::"

# --- Two addresses: the first refuses ------------------------------------------------------
# dual.test resolves to ::1 first (IPv6 goes first), then 127.0.0.1; the stand-in listens on
# 127.0.0.1 only.
SERVER_ARGS="--bind 127.0.0.1"
start $EMULATOR
run --host dual.test --port "$port" --user admin --password pw --quiet get LogLevel \
    >/dev/null || fail "the second address was not tried after the first refused"
kill "$spid"; wait "$spid" 2>/dev/null; spid=
run --host dual.test --port "$port" --user admin --password pw get LogLevel >/dev/null &&
    fail "connected with nothing listening"
grep -q "\[::1\]:$((port + 1))" "$WORK/err" || fail "the IPv6 address is not named"
grep -q "127.0.0.1:$((port + 1))" "$WORK/err" || fail "the IPv4 address is not named"
echo "first address refused, second answered; both named: $(cat "$WORK/err")"

# --- A firewall for the rest ---------------------------------------------------------------
fw=
if iptables -A INPUT -p tcp --sport 1 -j DROP 2>/dev/null && iptables -D INPUT -p tcp --sport 1 -j DROP &&
    ip6tables -A INPUT -p tcp --sport 1 -j DROP 2>/dev/null && ip6tables -D INPUT -p tcp --sport 1 -j DROP; then
    fw=iptables
fi
if [ -z "$fw" ]; then
    # Reported as skipped, never as passed: half of the test did not run.
    echo "skipped: no working iptables/ip6tables here: black-holed address and keep-alive" \
        "not tested (the IPv6 and refused-address parts above passed)"
    exit $SKIP
fi

# --- Two addresses: the first is black-holed -----------------------------------------------
SERVER_ARGS="--bind 127.0.0.1"
start $EMULATOR
# Dropped on the way in: a drop on the way out would tell the sender at once (EPERM).
ip6tables -A INPUT -p tcp -d ::1 --dport $((port + 1)) -j DROP || fail "ip6tables drop"
t0=$(seconds)
run --host dual.test --port "$port" --connect-timeout 20 --user admin --password pw --quiet \
    get LogLevel >/dev/null || fail "the second address did not answer within the time-out"
took=$(( $(seconds) - t0 ))
[ "$took" -lt 15 ] || fail "black-holed first address: took $took s"
echo "first address black-holed, second answered in about $took s"
kill "$spid"; wait "$spid" 2>/dev/null; spid=
t0=$(seconds)
run --host dual.test --port "$port" --connect-timeout 2 get LogLevel >/dev/null &&
    fail "connected with nothing answering"
took=$(( $(seconds) - t0 ))
grep -q "timed out" "$WORK/err" || fail "black hole: not a time-out"
grep -q "\[::1\]:$((port + 1)): no answer" "$WORK/err" || fail "black hole: ::1 not named"
grep -q "127.0.0.1:$((port + 1))" "$WORK/err" || fail "black hole: 127.0.0.1 not named"
[ "$took" -lt 30 ] || fail "black hole: the connect time-out did not end it ($took s)"
echo "black hole and refusal within the 2 s connect time-out: $(cat "$WORK/err")"
ip6tables -F INPUT

# --- Keep-alive ----------------------------------------------------------------------------
# The reply never comes (the stand-in hangs on "statistics"), then every packet from the
# server is dropped: keep-alive (1 s idle, 1 s interval, 2 probes) must end the wait long
# before the 120 s reply time-out, with the connection lost because the server stopped
# answering.
for host in 127.0.0.1 ::1; do
    SERVER_ARGS="--bind $host --fault hang,on=statistics"
    start $EMULATOR
    t0=$(seconds)
    run --host "$host" --port "$port" --keepalive 1,1,2 --timeout 120 --user admin \
        --password pw statistics >/dev/null &
    cpid=$!
    sleep 2 # logged in, "statistics" sent and acknowledged
    if [ "$host" = ::1 ]; then
        ip6tables -A INPUT -p tcp --sport $((port + 1)) -j DROP || fail "ip6tables drop"
    else
        iptables -A INPUT -p tcp --sport $((port + 1)) -j DROP || fail "iptables drop"
    fi
    td=$(seconds)
    wait "$cpid"
    rc=$?
    cpid=
    took=$(( $(seconds) - td ))
    [ $rc = 2 ] || fail "keep-alive over $host: exit $rc"
    grep -q "stopped answering" "$WORK/err" || fail "keep-alive over $host: wrong reason"
    [ "$took" -lt 60 ] || fail "keep-alive over $host: took $took s (reply time-out 120 s)"
    echo "keep-alive over $host: dead server found $took s after its packets were dropped" \
        "(1 s idle, 1 s interval, 2 probes)"
    iptables -F INPUT
    ip6tables -F INPUT
done

echo "netns network tests passed"
