#!/usr/bin/env bash
# The service as several machines would run it, on this one:
#   scripts/cluster.sh <build-dir> [servers]
# A throw-away PostgreSQL cluster, two forum servers (or as many as asked) on
# it, HAProxy on the four standard loopback ports in front of them, then the
# client. Closing the client or Ctrl+C stops and removes all of it.
set -euo pipefail

build=${1:?usage: scripts/cluster.sh <build-dir> [servers]}
count=${2:-2}
here=$(cd "$(dirname "$0")" && pwd)
server_bin="$build/server/tavernly-server"
client_bin="$build/tavernly"
front=(8478 8476 8477 6340)

for bin in "$server_bin" "$client_bin"; do
    [ -x "$bin" ] || { echo "cluster.sh: $bin is not built" >&2; exit 1; }
done
command -v haproxy >/dev/null || { echo "cluster.sh: haproxy is not installed (scripts/install-deps.sh cluster)" >&2; exit 1; }
for port in "${front[@]}"; do
    if ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then
        echo "cluster.sh: port $port is in use (a forum server already running?)" >&2
        exit 1
    fi
done

work=$(mktemp -d /tmp/tavernly-cluster.XXXXXX)
pg_dir=
pids=()
cleanup() {
    local pid
    trap - EXIT INT TERM
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    [ -n "$pg_dir" ] && "$here/pg-throwaway.sh" stop "$pg_dir"
    rm -rf "$work"
    echo "Cluster stopped and removed."
}
trap cleanup EXIT
trap 'exit 130' INT TERM

pg=$("$here/pg-throwaway.sh" start)
url=$(sed -n 1p <<<"$pg")
pg_dir=$(sed -n 2p <<<"$pg")
echo "PostgreSQL: $url"

wait_for_line() { # file pid what
    local _
    for _ in $(seq 150); do
        grep -q '^listening ' "$1" && return 0
        kill -0 "$2" 2>/dev/null || break
        sleep 0.1
    done
    echo "cluster.sh: $3 did not start; its log:" >&2
    cat "$work"/*.log >&2
    exit 1
}

quads=()
for i in $(seq "$count"); do
    "$server_bin" --database "$url" --data "$work/data$i" --list-port 0 --create-port 0 \
        --post-port 0 --http-port 0 --trust-proxy 127.0.0.2 >"$work/server$i.out" 2>"$work/server$i.log" &
    pids+=($!)
    wait_for_line "$work/server$i.out" "$!" "server $i"
    # "listening list=P create=P post=P http=P"
    quads+=("$(sed -n 's/^listening list=\([0-9]*\) create=\([0-9]*\) post=\([0-9]*\) http=\([0-9]*\).*/\1,\2,\3,\4/p' \
        "$work/server$i.out")")
    echo "Server $i: $(cat "$work/server$i.out"), log $work/server$i.log"
done

"$here/haproxy-config.sh" "${front[@]}" -- "${quads[@]}" >"$work/haproxy.cfg"
haproxy -f "$work/haproxy.cfg" -db 2>"$work/haproxy.log" &
pids+=($!)
for _ in $(seq 100); do
    up=0
    for port in "${front[@]}"; do
        ss -Hltn "sport = :$port" 2>/dev/null | grep -q . && up=$((up + 1))
    done
    [ "$up" -eq ${#front[@]} ] && break
    kill -0 "${pids[-1]}" 2>/dev/null || { cat "$work/haproxy.log" >&2; exit 1; }
    sleep 0.1
done
echo "HAProxy on 127.0.0.1 ports ${front[*]}; logs in $work"

"$client_bin"
