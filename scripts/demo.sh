#!/bin/sh
# Main job: builds the native preset, starts the stand-in management server on a free
# loopback port (a demo user, CHAP secrets, a generated service log) and runs dravolinctl
# through one secure session: CHAP with mutual authentication and the encrypted channel,
# device and permission listings, statistics, a parameter set and read back, the service
# log with a progress bar, logoff. The server is always stopped at the end.
set -eu
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake --preset native
cmake --build --preset native

bin=build/native/bin
work=$(mktemp -d "${TMPDIR:-/tmp}/dravolin-demo.XXXXXX")
server_pid=""
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Demo identities. The secrets reach dravolinctl through its environment variables, never
# through its command line.
user=demo
chap_secret=demo-chap-secret
server_name=demo-server
server_secret=demo-server-secret

# Port 0: the server picks a free port and prints it. Its standard input is a pipe that this
# script holds open: however the script ends, even killed, the server sees the pipe close and
# stops. --exit-after is a last backstop.
mkfifo "$work/hold"
"$bin/dravolin-testserver" --port 0 \
    --user "$user:demo-password" \
    --chap-user "$user:$chap_secret:$server_name:$server_secret" \
    --log-name demo-service.log --log-size 24000000 \
    --exit-on-stdin-close --exit-after 600 \
    <"$work/hold" >"$work/server.out" 2>"$work/server.err" &
server_pid=$!
exec 3>"$work/hold"

port=""
tries=0
while [ -z "$port" ]; do
    if ! kill -0 "$server_pid" 2>/dev/null; then
        echo "demo: the server did not start:" >&2
        cat "$work/server.err" >&2
        exit 1
    fi
    tries=$((tries + 1))
    if [ "$tries" -gt 100 ]; then
        echo "demo: the server did not report its port" >&2
        exit 1
    fi
    # "listening 127.0.0.1 <port> (service port <service port>)"
    port=$(sed -n 's/^listening [^ ]* [0-9]* (service port \([0-9]*\)).*/\1/p' "$work/server.out")
    [ -n "$port" ] || sleep 0.1 3>&-
done
echo "== stand-in server: service port $port on 127.0.0.1 (management port $((port + 1)))"

mkdir -p "$work/logs"
cat >"$work/session.txt" <<SESSION
list-devices
list-permissions
statistics
set LogLevel=3
get LogLevel
getlog --dir $work/logs
logoff
SESSION

echo "== session (one connection, CHAP as '$user', server proves '$server_name', encrypted):"
sed 's/^/   /' "$work/session.txt"
echo
DRAVOLIN_SECRET=$chap_secret DRAVOLIN_PEER_SECRET=$server_secret \
    "$bin/dravolinctl" --host 127.0.0.1 --port "$port" \
    --chap "$user" --peer "$server_name" --encrypt \
    --batch "$work/session.txt" 3>&-

echo
echo "== a wrong CHAP secret is refused (exit code 2):"
status=0
DRAVOLIN_SECRET=not-the-secret DRAVOLIN_PEER_SECRET=$server_secret \
    "$bin/dravolinctl" --port "$port" --chap "$user" --peer "$server_name" --encrypt \
    statistics 3>&- || status=$?
echo "   exit code $status"
[ "$status" -eq 2 ]

echo
echo "== client session finished; stopping the server"
kill "$server_pid" 2>/dev/null || true
wait "$server_pid" 2>/dev/null || true
server_pid=""

# The configurator is a Windows program: build it for Windows and run it under Wine with the
# stand-in policy agent, then show what it stored in the registry. The x86 build (the
# original platform) where this machine runs i386 programs, else the x64 build.
echo
if why=$(./scripts/can-run-i386.sh); then
  preset=win32
  echo "== the IPsec configurator (x86 build, build/win32, run under Wine)"
else
  preset=win64
  echo "== the IPsec configurator (x64 build, build/win64, run under Wine's 64-bit loader;"
  echo "   not the x86 build: $why)"
fi
cmake --preset $preset >/dev/null
./ipseccfg/ui/demo_configurator.sh build/$preset $preset
