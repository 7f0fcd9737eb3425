#!/usr/bin/env bash
# Prints deploy/haproxy.cfg for servers on this machine (each started with
# --trust-proxy 127.0.0.2, the address HAProxy reaches them from), logging to stderr:
#   scripts/haproxy-config.sh [--spread] LIST CREATE POST HTTP -- L,C,P,H [L,C,P,H ...]
# The first four are the front's ports; each L,C,P,H names one server's list,
# create, post and page ports on 127.0.0.1. Every client here has the same
# address, so all would go to one server: --spread sends each connection to
# the next server instead (for load tests).
set -euo pipefail

template="$(dirname "$0")/../deploy/haproxy.cfg"
usage() { echo "usage: $0 [--spread] LIST CREATE POST HTTP -- L,C,P,H [L,C,P,H ...]" >&2; exit 2; }
spread=0
[ "${1:-}" = "--spread" ] && { spread=1; shift; }
[ $# -ge 6 ] && [ "$5" = "--" ] || usage
front="$1,$2,$3,$4"
shift 5
servers="$*"
for quad in $front $servers; do
    [[ $quad =~ ^[0-9]+,[0-9]+,[0-9]+,[0-9]+$ ]] || usage
done

# In each backend the first server line is the pattern for every server.
awk -v front="$front" -v servers="$servers" -v spread="$spread" '
BEGIN {
    split(front, frontPort, ",")
    n = split(servers, quads, " ")
    column["list"] = 1; column["create"] = 2; column["post"] = 3; column["pages"] = 4
}
/^(frontend|backend) / { kind = $1; section = $2; written = 0 }
/^ *log \/dev\/log / { sub(/log \/dev\/log/, "log stderr format raw") }
spread && /^ *balance source$/ { sub(/source/, "roundrobin") }
kind == "frontend" && /^ *bind 127\.0\.0\.1:/ {
    sub(/:[0-9]+$/, ":" frontPort[column[section]])
}
kind == "backend" && /^ *server / {
    if (written) next
    written = 1
    for (i = 1; i <= n; i++) {
        split(quads[i], port, ",")
        line = $0
        gsub(/tavernly1/, "tavernly" i, line)
        sub(/127\.0\.0\.1:[0-9]+/, "127.0.0.1:" port[column[section]], line)
        sub(/ port [0-9]+/, " port " port[4], line)
        print line
    }
    next
}
{ print }
' "$template"
