#!/usr/bin/env bash
# Runs every fuzzer of a fuzz build for the given seconds, from its seed corpus.
# New inputs go to a scratch folder; the seeds in the repository stay as they are.
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-60}
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for fuzzer in "$build"/fuzz/fuzz_* "$build"/server/fuzz/fuzz_*; do
  [ -f "$fuzzer" ] && [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  seeds="$top/fuzz/corpus/${name#fuzz_}"
  [ -d "$seeds" ] || seeds="$top/server/fuzz/corpus/${name#fuzz_}"
  mkdir -p "$work/$name"
  echo "== $name (${seconds}s)"
  if ! "$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$work/$name-" \
       "$work/$name" "$seeds" >"$work/$name.log" 2>&1; then
    tail -40 "$work/$name.log"
    mkdir -p "$top/fuzz/crashes" && cp "$work/$name"-* "$top/fuzz/crashes/" 2>/dev/null || true
    echo "!! $name found a failure; its input is in fuzz/crashes/"
    status=1
  else
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$work/$name.log" | tr '\n' ' '; echo
  fi
done
exit $status
