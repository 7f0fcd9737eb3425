#!/usr/bin/env bash
# The front of several forum servers on this machine, as the service runs on
# several machines; tests, `make cluster` and anyone checking it use this one
# script:
#   scripts/front.sh options
#       prints the options every server behind the front needs
#   scripts/front.sh up L C P H -- L1 C1 P1 H1 [L2 C2 P2 H2 ...]
#       puts a front on 127.0.0.1 ports L, C, P, H (list, create, post, pages)
#       for servers on 127.0.0.1 at the given ports; returns once it forwards.
#       It lasts until `down`, or until the process that ran `up` ends.
#   scripts/front.sh down
#       removes it
#   scripts/front.sh isolated COMMAND...
#       runs COMMAND in a network namespace of its own, loopback up, where
#       the front can be put (unshare -n as root, else a user namespace too);
#       (TAVERNLY_ISOLATED=1 in it); without one here, runs COMMAND as it is
#       with TAVERNLY_ISOLATED=0
#
# List, create and post: the kernel forwards each TCP connection (nftables
# DNAT, the next server for each new connection), so the connection stays one
# from the client to the server: the server's reset reaches the client as a
# reset, its orderly close as an orderly close, and the server sees the
# client's own address. A watcher asks each server's /health on its page port
# five times a second and takes a server that does not answer 200 out of the
# forwarding until it answers twice again. Pages: HAProxy (HTTP, its own
# health checks), reaching the servers from 127.0.0.2 with a PROXY header.
#
# The front changes the firewall of the network namespace it runs in, so it
# refuses to run in any that is not private: one with an interface besides
# loopback, or the one process 1 runs in.
set -euo pipefail
PATH=$PATH:/usr/sbin:/sbin # nft and ip, for a user without them on the path

here=$(cd "$(dirname "$0")" && pwd)
table=tavernly_front
proxy_source=127.0.0.2

die() { echo "front.sh: $*" >&2; exit "${status:-1}"; }
usage() { echo "usage: $0 options | up L C P H -- L1 C1 P1 H1 [...] | down | isolated COMMAND..." >&2; exit 2; }

interfaces() { awk -F: 'NR > 2 { gsub(/ /, "", $1); print $1 }' /proc/self/net/dev; }

private_namespace() {
    local self init
    self=$(readlink /proc/self/ns/net) || return 1
    if init=$(readlink /proc/1/ns/net 2>/dev/null) && [ "$self" = "$init" ]; then
        return 1
    fi
    [ "$(interfaces | tr '\n' ' ')" = "lo " ]
}

# The front's files: one folder per network namespace.
state_dir() { echo "${TMPDIR:-/tmp}/tavernly-front.$(stat -L -c %i /proc/self/ns/net)"; }

# True if the server's /health on this port answers 200 within 2 s.
healthy() {
    local fd line
    { exec {fd}<>"/dev/tcp/127.0.0.1/$1"; } 2>/dev/null || return 1
    printf 'GET /health HTTP/1.0\r\nHost: tavernly\r\n\r\n' >&"$fd"
    read -r -t 2 line <&"$fd" || line=
    exec {fd}<&-
    [[ $line == "HTTP/1."[01]" 200"* ]]
}

# The list port's answer, empty if none came within 2 s.
list() {
    local fd reply=
    { exec {fd}<>"/dev/tcp/127.0.0.1/$1"; } 2>/dev/null || return 0
    printf GETLIST >&"$fd"
    read -r -t 2 -d '' reply <&"$fd" 2>/dev/null || true
    exec {fd}<&-
    echo "$reply"
}

# Forwards the front's list, create and post ports to these servers (quads of
# ports, as given to up): one transaction, so a connection never sees half.
forward() { # front-ports servers...
    local -a front servers map
    local i column rules=""
    read -r -a front <<<"$1"
    shift
    servers=("$@")
    for column in 0 1 2; do
        map=()
        for i in "${!servers[@]}"; do
            read -r -a ports <<<"${servers[$i]}"
            map+=("$i : 127.0.0.1 . ${ports[$column]}")
        done
        rules+="        ip daddr 127.0.0.1 tcp dport ${front[$column]} dnat ip to numgen inc mod ${#servers[@]} map { $(IFS=,; echo "${map[*]}") }
"
    done
    nft -f - <<EOF
table ip $table
delete table ip $table
table ip $table {
    chain front {
        type nat hook output priority -100; policy accept;
$rules    }
}
EOF
}

# Runs in the background: checks every server, forwards to those up (to all
# when none is), ends the front when its owner is gone.
watch() { # dir owner front-ports servers...
    local dir=$1 owner=$2 front=$3 i port previous="" now
    shift 3
    local -a servers=("$@") up fails oks live
    for i in "${!servers[@]}"; do up[i]=1; fails[i]=0; oks[i]=0; done
    while [ -d "$dir" ] && kill -0 "$owner" 2>/dev/null; do
        for i in "${!servers[@]}"; do
            read -r -a ports <<<"${servers[$i]}"
            if healthy "${ports[3]}"; then
                fails[i]=0; oks[i]=$((oks[i] + 1))
                [ "${oks[i]}" -ge 2 ] && up[i]=1
            else
                oks[i]=0; fails[i]=$((fails[i] + 1))
                up[i]=0
            fi
        done
        live=()
        for i in "${!servers[@]}"; do [ "${up[i]}" = 1 ] && live+=("${servers[$i]}"); done
        [ ${#live[@]} -gt 0 ] || live=("${servers[@]}")
        now="${live[*]}"
        if [ "$now" != "$previous" ]; then
            forward "$front" "${live[@]}" && previous=$now
            echo "$(date +%T.%N | cut -c1-12) forwarding to: ${live[*]/%/;}"
        fi
        sleep 0.2
    done
    [ -d "$dir" ] && teardown "$dir"
}

teardown() { # dir
    local dir=$1 pid
    # The watcher last: this may be it.
    for pid in "$dir/haproxy.pid" "$dir/watcher.pid"; do
        [ -f "$pid" ] && [ "$(cat "$pid")" != "$$" ] && kill -TERM "$(cat "$pid")" 2>/dev/null || true
    done
    nft delete table ip "$table" 2>/dev/null || true
    rm -rf "$dir"
}

# deploy/haproxy.cfg, for these page ports, logging to standard error.
haproxy_config() { # front-pages-port page-ports...
    local front=$1
    shift
    awk -v front="$front" -v servers="$*" '
    /^ *log \/dev\/log / { sub(/log \/dev\/log.*/, "log stderr format raw local0") }
    /^ *bind 127\.0\.0\.1:/ { sub(/:[0-9]+$/, ":" front) }
    /^ *server / {
        if (written) next
        written = 1
        n = split(servers, port, " ")
        for (i = 1; i <= n; i++) {
            line = $0
            gsub(/tavernly1/, "tavernly" i, line)
            sub(/127\.0\.0\.1:[0-9]+/, "127.0.0.1:" port[i], line)
            print line
        }
        next
    }
    { print }
    ' "$here/../deploy/haproxy.cfg"
}

up() {
    local -a front servers pages
    local dir i tool
    [ $# -ge 9 ] && [ "$5" = "--" ] && [ $((($# - 5) % 4)) -eq 0 ] || usage
    for i in "$@"; do
        [ "$i" = "--" ] || [[ $i =~ ^[0-9]+$ && $i -gt 0 && $i -lt 65536 ]] || die "not a port: $i"
    done
    front=("$1" "$2" "$3" "$4")
    shift 5
    while [ $# -gt 0 ]; do
        servers+=("$1 $2 $3 $4")
        pages+=("$4")
        shift 4
    done
    private_namespace || die "refusing to change the firewall of a network namespace that is not" \
        "private (interfaces: $(interfaces | tr '\n' ' ')); run in one of its own:" \
        "scripts/front.sh isolated COMMAND, or unshare -n"
    for tool in nft haproxy; do
        command -v "$tool" >/dev/null || status=3 die "$tool is not installed (scripts/install-deps.sh cluster)"
    done
    dir=$(state_dir)
    [ -e "$dir" ] && die "a front is already up in this network namespace ($dir): front.sh down first"
    mkdir -p "$dir"
    trap 'teardown "$dir"; exit 130' INT TERM HUP
    ip link set lo up 2>/dev/null || true
    forward "${front[*]}" "${servers[@]}" || { teardown "$dir"; die "nftables refused the forwarding"; }

    haproxy_config "${front[3]}" "${pages[@]}" >"$dir/haproxy.cfg"
    setsid haproxy -f "$dir/haproxy.cfg" -db </dev/null >/dev/null 2>"$dir/haproxy.log" &
    echo $! >"$dir/haproxy.pid"
    setsid bash -c "$(declare -f healthy forward watch teardown); table=$table; watch \"\$@\"" \
        watch "$dir" "$PPID" "${front[*]}" "${servers[@]}" </dev/null >"$dir/watcher.log" 2>&1 &
    echo $! >"$dir/watcher.pid"

    # Forwarding once a list request is answered and a page's check comes back.
    local deadline=$((SECONDS + 30))
    while [ "$SECONDS" -lt "$deadline" ]; do
        if healthy "${front[3]}" && [[ $(list "${front[0]}") == Welcome* ]]; then
            trap - INT TERM HUP
            echo "front on 127.0.0.1 ports ${front[*]}; its logs in $dir"
            return 0
        fi
        kill -0 "$(cat "$dir/haproxy.pid")" 2>/dev/null || break
        sleep 0.1
    done
    cat "$dir/haproxy.log" >&2
    teardown "$dir"
    die "the front did not come up"
}

isolated() {
    [ $# -gt 0 ] || usage
    local -a enter=(unshare -n)
    # Not root: a user namespace too, in which this user keeps its own id
    # (PostgreSQL will not run as root) and the capabilities to set it up.
    [ "$(id -u)" -eq 0 ] || enter=(unshare -c -n --keep-caps)
    if ! "${enter[@]}" true 2>/dev/null; then
        echo "front.sh: no network namespace of its own here (${enter[*]} failed); running $1 as it is" >&2
        TAVERNLY_ISOLATED=0 exec "$@"
    fi
    exec "${enter[@]}" bash -c 'ip link set lo up && TAVERNLY_ISOLATED=1 exec "$@"' isolated "$@"
}

case ${1:-} in
options) echo "--trust-proxy $proxy_source" ;;
up) shift; up "$@" ;;
down) dir=$(state_dir); [ -d "$dir" ] && teardown "$dir"; exit 0 ;;
isolated) shift; isolated "$@" ;;
*) usage ;;
esac
