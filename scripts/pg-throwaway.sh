#!/usr/bin/env bash
# A throw-away PostgreSQL cluster on a free loopback port:
#   scripts/pg-throwaway.sh start   prints its database URL, then its folder
#   scripts/pg-throwaway.sh stop DIR   stops it and removes the folder
#   scripts/pg-throwaway.sh run COMMAND...   runs COMMAND with TAVERNLY_TEST_DATABASE
#       set to a new cluster's URL (to "none" when PostgreSQL is not installed),
#       then removes the cluster, whatever way COMMAND ended
# The cluster lives in a new folder under /tmp, trusts local connections from
# loopback only, and skips disk flushes (a killed process loses nothing, a
# power cut may). Run as root, it runs as the unprivileged user nobody, since
# PostgreSQL refuses to run as root. Exits with 3 when PostgreSQL is not installed.
set -euo pipefail

bindir() {
    local dir
    for dir in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
        [ -x "$dir/initdb" ] && [ -x "$dir/pg_ctl" ] && { echo "$dir"; return; }
    done
    command -v initdb >/dev/null && command -v pg_ctl >/dev/null &&
        dirname "$(command -v initdb)" && return
    return 1
}

as_owner() { # command...: as nobody when root
    if [ "$(id -u)" -eq 0 ]; then
        setpriv --reuid=nobody --regid="$(id -g nobody)" --clear-groups -- "$@"
    else
        "$@"
    fi
}

listening() { ss -Hltn "sport = :$1" 2>/dev/null | grep -q .; }

start() {
    local bin dir port tries
    bin=$(bindir) || { echo "pg-throwaway.sh: PostgreSQL is not installed" >&2; exit 3; }
    dir=$(mktemp -d /tmp/tavernly-pg.XXXXXX)
    chmod 755 "$dir"
    [ "$(id -u)" -eq 0 ] && chown nobody "$dir"
    if ! as_owner "$bin/initdb" -D "$dir/data" -U tavernly --auth=trust -E UTF8 --locale=C.UTF-8 \
            >"$dir/initdb.log" 2>&1; then
        cat "$dir/initdb.log" >&2
        rm -rf "$dir"
        exit 1
    fi
    # Loopback only; a port taken between the look and the start means another try.
    for tries in 1 2 3 4 5 6 7 8; do
        port=$((20000 + RANDOM % 40000))
        listening "$port" && continue
        if as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 -s start \
                -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories='$dir'
                    -c fsync=off -c full_page_writes=off -c shared_buffers=64MB
                    -c max_connections=200" >/dev/null 2>&1 &&
           as_owner "$bin/createdb" -h 127.0.0.1 -p "$port" -U tavernly tavernly; then
            echo "postgresql://tavernly@127.0.0.1:$port/tavernly"
            echo "$dir"
            return
        fi
        as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -s stop >/dev/null 2>&1 || true
    done
    cat "$dir/server.log" >&2 || true
    rm -rf "$dir"
    echo "pg-throwaway.sh: PostgreSQL did not start" >&2
    exit 1
}

stop() {
    local dir=$1 bin
    case $dir in /tmp/tavernly-pg.*) ;; *) echo "pg-throwaway.sh: not a throw-away cluster: $dir" >&2; exit 2 ;; esac
    [ -d "$dir" ] || return 0
    bin=$(bindir) || bin=
    if [ -n "$bin" ] && [ -f "$dir/data/postmaster.pid" ]; then
        # Nothing in it is kept, so no shutdown checkpoint either.
        as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w -t 30 -s stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
}

run() {
    local out status=0
    if ! bindir >/dev/null; then
        TAVERNLY_TEST_DATABASE=none "$@"
        return
    fi
    out=$(start)
    run_dir=$(sed -n 2p <<<"$out")
    trap 'stop "$run_dir"' EXIT
    trap 'exit 130' INT TERM
    TAVERNLY_TEST_DATABASE=$(sed -n 1p <<<"$out") "$@" || status=$?
    stop "$run_dir"
    trap - EXIT
    return "$status"
}

case ${1:-} in
start) start ;;
run) shift; [ $# -gt 0 ] || { echo "usage: $0 run COMMAND..." >&2; exit 2; }; run "$@" ;;
stop) stop "${2:?usage: $0 stop DIR}" ;;
*) echo "usage: $0 start | stop DIR | run COMMAND..." >&2; exit 2 ;;
esac
