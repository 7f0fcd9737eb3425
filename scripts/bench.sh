#!/usr/bin/env bash
# Runs every benchmark and prints its figures next to its target:
#   scripts/bench.sh <build-dir>
# The windowed ones run under Xvfb. The start-up bench answers on the client's
# fixed ports 8478 and 6340; when something else listens there (a forum
# server), it runs in a private network namespace of its own if one can be
# made, and otherwise says the ports are busy.
set -uo pipefail

build=${1:?usage: scripts/bench.sh <build-dir>}
# What the benchmarks use (ab, wrk and nginx, Chromium, Xvfb); only what is missing is installed.
"$(dirname "$0")/install-deps.sh" bench
xvfb=(xvfb-run -a -s "-screen 0 1024x768x24 -noreset" env QT_QPA_PLATFORM=xcb)
failed=()

section() {
    printf '\n== %s\n' "$1"
    printf '$'
    printf ' %q' "${@:2}"
    printf '\n'
}

run() { # title command...
    section "$@"
    "${@:2}" || failed+=("$1")
}

listening() { # port
    ss -Hltn "sport = :$1" 2>/dev/null | grep -q .
}

echo "== Machine"
echo "cores:  $(nproc)"
echo "CPU:    $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)"
echo "memory: $(awk '/^MemTotal/ {printf "%.1f GB", $2 * 1024 / 1e9}' /proc/meminfo)"
echo "kernel: $(uname -sr)"
echo "load:   $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine skews the figures)"

if [ -x "$build/bench/bench_listreply" ]; then
    run "List reply splitting (32,767 names)" "$build/bench/bench_listreply"
fi
if [ -x "$build/bench/bench_directory" ]; then
    run "Directory: replies gathered, split and shown (target: 32,767 names under 50 ms)" \
        "$build/bench/bench_directory"
fi

startup=("${xvfb[@]}" "$build/bench/bench_startup")
if { listening 8478 || listening 6340; } && command -v ip >/dev/null && unshare -rn true 2>/dev/null; then
    echo
    echo "(ports 8478/6340 are in use here: the start-up bench runs in a private network namespace)"
    startup=(unshare -rn sh -c 'ip link set lo up && exec "$@"' sh "${startup[@]}")
fi
run "Start-up (targets: window under 80 ms, directory under 120 ms, memory under 45 MB)" "${startup[@]}"

run "Page view and Chromium side by side (targets: 100 messages under 80 ms; 1,000 under 450 ms and 80 MB)" \
    "${xvfb[@]}" "$build/bench/bench_pageview"

run "Server: bursts, a 10 s flood from 50 senders, hostile posts, ab and wrk, the start page over 2,000,000 messages (targets printed beside each figure; a lost post fails)" \
    "$build/bench/bench_server_load" --clients 50 --seconds 10

run "Pages beside nginx serving the same bytes (wrk, ab, alternating), revalidation, gzip, another forum's page during a 50-sender flood (targets printed beside each figure; a failed request fails)" \
    "$build/bench/bench_page_serving"

if [ -x "$build/bench/bench_cluster_load" ]; then
    run "Several servers: SQLite alone, then PostgreSQL behind the front with one and two servers" \
        "$(dirname "$0")/front.sh" isolated \
        "$(dirname "$0")/pg-throwaway.sh" run "$build/bench/bench_cluster_load" --clients 20 --seconds 3
fi

if [ -x "$build/bench/bench_fault_load" ]; then
    run "Database faults under load: a stall, a restart, a held lock (targets printed per fault; a lost post fails)" \
        "$(dirname "$0")/pg-throwaway.sh" run "$build/bench/bench_fault_load"
fi

echo
if [ ${#failed[@]} -gt 0 ]; then
    printf 'bench.sh: these did not finish: %s\n' "${failed[*]}" >&2
    exit 1
fi
echo "All benchmarks ran."
