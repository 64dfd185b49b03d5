#!/bin/sh
# Runs a command while http_server.py serves on 127.0.0.1; the server's port
# is appended to the command's arguments. The server is stopped afterwards.
set -u
here=$(cd "$(dirname "$0")" && pwd)
portfile=$(mktemp)
python3 "$here/http_server.py" "$portfile" &
server=$!
trap 'kill $server 2>/dev/null; rm -f "$portfile"' EXIT
i=0
while [ ! -s "$portfile" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
[ -s "$portfile" ] || { echo "with-http-server: the server did not start"; exit 1; }
"$@" "$(cat "$portfile")"
