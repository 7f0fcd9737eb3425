#!/usr/bin/env bash
# Runs the client against a local forum server: `scripts/run.sh <build-dir>`.
# If no server listens on the four ports yet, starts one (its forums live in
# the user's data folder) and stops it again when the client exits.
set -euo pipefail

build=${1:?usage: scripts/run.sh <build-dir>}
server_bin="$build/server/tavernly-server"
client_bin="$build/tavernly"
ports=(8478 8476 8477 6340)

listening() { # port
    if command -v ss >/dev/null 2>&1; then
        ss -Hltn "sport = :$1" 2>/dev/null | grep -q .
    else
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
    fi
}

if [ ! -x "$client_bin" ]; then
    echo "run.sh: the client $client_bin is not built" >&2
    exit 1
fi

busy=0
for port in "${ports[@]}"; do
    listening "$port" && busy=$((busy + 1))
done

server_pid=
if [ "$busy" -eq 0 ]; then
    if [ ! -x "$server_bin" ]; then
        echo "run.sh: the server $server_bin is not built" >&2
        exit 1
    fi
    log="$build/tavernly-server.log"
    ready=$(mktemp)
    "$server_bin" >"$ready" 2>>"$log" &
    server_pid=$!
    stop_server() {
        kill -TERM "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
        rm -f "$ready"
    }
    trap stop_server EXIT
    trap 'exit 130' INT TERM
    for _ in $(seq 100); do
        grep -q '^listening ' "$ready" && break
        if ! kill -0 "$server_pid" 2>/dev/null; then
            echo "run.sh: the server did not start; see $log" >&2
            exit 1
        fi
        sleep 0.1
    done
    if ! grep -q '^listening ' "$ready"; then
        echo "run.sh: the server did not get ready in 10 s; see $log" >&2
        exit 1
    fi
    echo "Forum server started ($(cat "$ready")); its log: $log"
elif [ "$busy" -lt "${#ports[@]}" ]; then
    echo "run.sh: only some of the ports ${ports[*]} are in use; not starting a server" >&2
else
    echo "A forum server already listens on ports ${ports[*]}; using it."
fi

"$client_bin"
