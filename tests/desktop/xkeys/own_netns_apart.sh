#!/usr/bin/env bash
# The namespace own_netns.sh gives a test keeps the tool's fixed port apart
# from a listener of the user's: with a listener on 127.0.0.1:9000 outside,
# a command inside binds the same port, talks to its own listener, and the
# one outside sees no connection. The "outside" is itself a namespace of its
# own, so that this test never meets a real demo either. Exit 77 (skipped)
# where no namespace can be had.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
command -v python3 >/dev/null || { echo "skipped: python3 is not installed"; exit 77; }

if [ "${1:-}" != --outside ]; then
  exec "$here/own_netns.sh" "$here/$(basename "$0")" --outside
fi

work=$(mktemp -d)
trap 'kill "$user" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT

# The user's listener: counts its connections until it is stopped.
python3 -u - "$work/user.log" > "$work/user.out" <<'EOF' &
import socket, sys
server = socket.socket()
server.bind(("127.0.0.1", 9000))
server.listen()
print("ready", flush=True)
with open(sys.argv[1], "w") as log:
    while True:
        server.accept()
        log.write("connect\n")
        log.flush()
EOF
user=$!
for _ in $(seq 50); do grep -q ready "$work/user.out" && break; sleep 0.1; done
grep -q ready "$work/user.out" || { echo "FAIL: the user's listener did not start"; exit 1; }

# Inside: the same port is free, and a connection to it reaches the listener
# made there.
inside=$("$here/own_netns.sh" python3 - <<'EOF'
import socket
server = socket.socket()
server.bind(("127.0.0.1", 9000))
server.listen()
client = socket.create_connection(("127.0.0.1", 9000), timeout=5)
peer, _ = server.accept()
client.sendall(b"ver\n")
print(peer.recv(16).decode().strip())
EOF
)
status=$?
[ "$status" = 0 ] || { echo "FAIL: inside, port 9000 could not be used ($status): $inside"; exit 1; }
[ "$inside" = ver ] || { echo "FAIL: inside, the own listener got '$inside'"; exit 1; }
kill -0 "$user" 2>/dev/null || { echo "FAIL: the user's listener has gone"; exit 1; }
[ ! -s "$work/user.log" ] || { echo "FAIL: the user's listener was connected to"; exit 1; }
echo "PASS: port 9000 inside, the user's listener untouched"
