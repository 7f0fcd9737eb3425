#!/usr/bin/env bash
# A throw-away PostgreSQL cluster on a free loopback port:
#   scripts/pg-throwaway.sh start   prints its database URL, then its folder
#   scripts/pg-throwaway.sh stop DIR   stops it and removes the folder
#   scripts/pg-throwaway.sh run COMMAND...   runs COMMAND with TAVERNLY_TEST_DATABASE
#       set to a new cluster's URL (to "none" when PostgreSQL is not installed),
#       then removes the cluster, whatever way COMMAND ended (this script
#       killed too, as by ctest's timeout); TAVERNLY_TEST_PGDIR
#       names its folder, for the faults below
#   scripts/pg-throwaway.sh freeze DIR | thaw DIR   stops every process of the
#       cluster with SIGSTOP, or lets them run on (a stalled database)
#   scripts/pg-throwaway.sh halt DIR | resume DIR   stops the cluster at once,
#       or starts it again on its port (a database restarting)
# The cluster lives in a new folder under /tmp, trusts local connections from
# loopback only, and skips disk flushes (a killed process loses nothing, a
# power cut may). Run as root, it runs as the unprivileged user nobody, since
# PostgreSQL refuses to run as root. Exits with 3 when PostgreSQL is not installed.
# What pg_ctl says goes to pg_ctl.log in the folder.
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

pg_start() { # bin dir port
    as_owner "$1/pg_ctl" -D "$2/data" -l "$2/server.log" -w -t 60 -s start \
        -o "-c listen_addresses=127.0.0.1 -c port=$3 -c unix_socket_directories='$2'
            -c fsync=off -c full_page_writes=off -c shared_buffers=64MB
            -c max_connections=200" >>"$2/pg_ctl.log" 2>&1
}

cluster_dir() { # dir: refuses anything but a throw-away cluster
    case $1 in /tmp/tavernly-pg.*) ;; *) echo "pg-throwaway.sh: not a throw-away cluster: $1" >&2; exit 2 ;; esac
}

signal_all() { # signal dir: the postmaster and every process it started
    local pid
    pid=$(head -n1 "$2/data/postmaster.pid")
    kill "-$1" "$pid" $(pgrep -P "$pid")
}

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
        if pg_start "$bin" "$dir" "$port" &&
           as_owner "$bin/createdb" -h 127.0.0.1 -p "$port" -U tavernly tavernly; then
            echo "$port" >"$dir/port"
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
    cluster_dir "$dir"
    [ -d "$dir" ] || return 0
    bin=$(bindir) || bin=
    if [ -n "$bin" ] && [ -f "$dir/data/postmaster.pid" ]; then
        # A cluster left frozen by a fault run stops too; nothing in it is
        # kept, so no shutdown checkpoint either.
        signal_all CONT "$dir" 2>/dev/null || true
        as_owner "$bin/pg_ctl" -D "$dir/data" -m immediate -w -t 30 -s stop >/dev/null 2>&1 || true
    fi
    rm -rf "$dir"
}

# Removes the cluster once the process $1 is gone, however it ended: a test
# that runs into ctest's timeout is killed with SIGKILL, and no trap runs then.
# The command it ran ($2) goes too. Detached, its output nowhere, so that
# nothing waits for it.
reaper() { # pid command-pid dir
    while kill -0 "$1" 2>/dev/null; do sleep 1; done
    kill -KILL "$2" 2>/dev/null || true
    stop "$3"
}

run() {
    local out status=0
    if ! bindir >/dev/null; then
        TAVERNLY_TEST_DATABASE=none "$@"
        return
    fi
    out=$(start)
    run_dir=$(sed -n 2p <<<"$out")
    command=
    trap '[ -z "$command" ] || kill -KILL "$command" 2>/dev/null; stop "$run_dir"' EXIT
    trap 'exit 130' INT TERM
    TAVERNLY_TEST_DATABASE=$(sed -n 1p <<<"$out") TAVERNLY_TEST_PGDIR=$run_dir "$@" &
    command=$!
    setsid bash -c "$(declare -f bindir as_owner cluster_dir signal_all stop reaper); reaper $$ $command '$run_dir'" \
        </dev/null >/dev/null 2>&1 &
    wait "$command" || status=$?
    stop "$run_dir"
    trap - EXIT
    return "$status"
}

case ${1:-} in
start) start ;;
run) shift; [ $# -gt 0 ] || { echo "usage: $0 run COMMAND..." >&2; exit 2; }; run "$@" ;;
stop) stop "${2:?usage: $0 stop DIR}" ;;
freeze|thaw)
    cluster_dir "${2:?usage: $0 $1 DIR}"
    if [ "$1" = freeze ]; then signal_all STOP "$2"; else signal_all CONT "$2"; fi ;;
halt)
    cluster_dir "${2:?usage: $0 halt DIR}"
    as_owner "$(bindir)/pg_ctl" -D "$2/data" -m immediate -w -t 30 -s stop >/dev/null ;;
resume)
    # The port stays taken while connections the cluster dropped still linger.
    cluster_dir "${2:?usage: $0 resume DIR}"
    for tries in $(seq 20); do
        pg_start "$(bindir)" "$2" "$(cat "$2/port")" && exit 0
        sleep 0.25
    done
    exit 1 ;;
*) echo "usage: $0 start | stop DIR | run COMMAND... | freeze|thaw|halt|resume DIR" >&2; exit 2 ;;
esac
