#!/bin/sh
# dravolinctl's time limits on a network that behaves like a real one: a private network
# namespace whose loopback has an MTU of 1500 (a 200 KB log arrives in many pieces) and a slow
# link (a token bucket of 1 Mbit/s) that a streaming reply must survive under a 1 s idle limit,
# then a reply that stops. (Connect attempts that get no answer: the socket tests' full accept
# queue.)
#   netns_timeouts.sh CTL SERVER        (exit 77: no private namespace can be made here)
set -u
CTL=$1
SERVER=$2
if [ "${DRAVOLIN_IN_NETNS:-}" != 1 ]; then
    if ! unshare -n true 2>/dev/null; then
        echo "no private network namespace here"; exit 77
    fi
    DRAVOLIN_IN_NETNS=1 exec unshare -n "$0" "$@"
fi
fail() { echo "FAIL: $*"; exit 1; }
ip link set lo mtu 1500 up || exit 77
work=$(mktemp -d) || exit 1
trap 'kill $spid 2>/dev/null; rm -rf "$work"' EXIT

start() { # start [server options...]: sets port
    kill ${spid:-} 2>/dev/null
    "$SERVER" --exit-after 120 --user admin:pw --log-size 200000 "$@" > "$work/listen" &
    spid=$!
    for _ in $(seq 100); do [ -s "$work/listen" ] && break; sleep 0.05; done
    port=$(awk '{print $6}' "$work/listen" | tr -d '()')
    [ -n "$port" ] || fail "server did not start"
}
seconds() { date +%s; }

start
"$CTL" --port "$port" --user admin --password pw --quiet getlog --dir "$work" || fail "getlog"
[ "$(stat -c %s "$work/service.log")" = 200000 ] || fail "log size"

# A slow link: 200 KB take about 2 s, longer than the idle limit; the reply keeps arriving.
if tc qdisc add dev lo root tbf rate 1mbit burst 32kbit latency 400ms 2>/dev/null; then
    rm -f "$work/service.log"
    t0=$(seconds)
    "$CTL" --port "$port" --user admin --password pw --timeout 1 --quiet getlog --dir "$work" ||
        fail "slow getlog tripped the idle limit"
    [ "$(stat -c %s "$work/service.log")" = 200000 ] || fail "slow log size"
    echo "slow getlog: $(( $(seconds) - t0 )) s under a 1 s idle limit"
    tc qdisc del dev lo root
else
    echo "no token bucket qdisc here: slow link not tested"
fi

# A reply that stops: the idle limit ends it with exit 2 and no records.
start --fault hang,on=statistics
t0=$(seconds)
out=$("$CTL" --port "$port" --user admin --password pw --timeout 2 statistics 2>"$work/err")
rc=$?
[ $rc = 2 ] || fail "hang: exit $rc"
[ -z "$out" ] || fail "hang: partial records printed"
grep -q "timed out" "$work/err" || fail "hang: $(cat "$work/err")"
[ $(( $(seconds) - t0 )) -lt 30 ] || fail "hang: took too long"

echo "netns time-outs passed"
