#!/usr/bin/env bash
# The service as several machines would run it, on this one:
#   scripts/cluster.sh <build-dir> [servers]
# In a network namespace of its own (so nothing of it touches this machine's
# network): a throw-away PostgreSQL cluster, two forum servers (or as many as
# asked) on it, the front (scripts/front.sh) on the four standard loopback
# ports, then the client. Closing the client or Ctrl+C stops and removes all
# of it.
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
[ -n "${TAVERNLY_ISOLATED:-}" ] || exec "$here/front.sh" isolated "$0" "$@"
[ "${TAVERNLY_ISOLATED:-}" = 1 ] || { echo "cluster.sh: needs a network namespace of its own (unshare -n)" >&2; exit 1; }

work=$(mktemp -d /tmp/tavernly-cluster.XXXXXX)
pg_dir=
pids=()
cleanup() {
    local pid
    trap - EXIT INT TERM
    "$here/front.sh" down
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

read -r -a options <<<"$("$here/front.sh" options)"
ports=()
for i in $(seq "$count"); do
    "$server_bin" --database "$url" --data "$work/data$i" --list-port 0 --create-port 0 \
        --post-port 0 --http-port 0 "${options[@]}" >"$work/server$i.out" 2>"$work/server$i.log" &
    pids+=($!)
    wait_for_line "$work/server$i.out" "$!" "server $i"
    # "listening list=P create=P post=P http=P"
    ports+=($(sed -n 's/^listening list=\([0-9]*\) create=\([0-9]*\) post=\([0-9]*\) http=\([0-9]*\).*/\1 \2 \3 \4/p' \
        "$work/server$i.out"))
    echo "Server $i: $(cat "$work/server$i.out"), log $work/server$i.log"
done

"$here/front.sh" up "${front[@]}" -- "${ports[@]}"

"$client_bin"
