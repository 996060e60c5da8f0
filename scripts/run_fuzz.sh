#!/usr/bin/env bash
# Runs every fuzz_* target in a build directory inside one total time budget (seconds, default
# 180), two targets at a time: each gets its share of the two runners' time, so adding a target
# does not make the stage longer. Each starts from its seed corpus in tests/fuzz/corpus/<target>
# (copied, so the seeds stay as committed). Any crash, leak or sanitizer report fails the run.
set -euo pipefail
dir=$1
total=${2:-180}
src=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

targets=()
for exe in "$dir"/fuzz_*; do
  [ -x "$exe" ] && [ -f "$exe" ] && targets+=("$exe")
done
[ ${#targets[@]} -gt 0 ] || { echo "no fuzz targets in $dir"; exit 1; }
runners=2
# Rounds of two targets, each round an equal slice of the total; a target runs at least 1 s.
rounds=$(( (${#targets[@]} + runners - 1) / runners ))
seconds=$(( total / rounds ))
[ "$seconds" -ge 1 ] || seconds=1
echo "fuzz: ${#targets[@]} targets, ${seconds}s each, ${runners} at a time, ${total}s in all"

status=0
pids=()
names=()
for exe in "${targets[@]}"; do
  name=$(basename "$exe")
  mkdir -p "$work/$name/corpus" "$work/$name/artifacts"
  [ -d "$src/tests/fuzz/corpus/$name" ] && cp -r "$src/tests/fuzz/corpus/$name/." "$work/$name/corpus/"
  "$exe" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/$name/artifacts/" "$work/$name/corpus" >"$work/$name/log" 2>&1 &
  pids+=($!)
  names+=("$name")
  if [ ${#pids[@]} -ge $runners ]; then
    wait "${pids[0]}" || { echo "FUZZ FAILED: ${names[0]}"; tail -40 "$work/${names[0]}/log"; status=1; }
    pids=("${pids[@]:1}"); names=("${names[@]:1}")
  fi
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || { echo "FUZZ FAILED: ${names[$i]}"; tail -40 "$work/${names[$i]}/log"; status=1; }
done
for d in "$work"/*/; do
  [ -f "$d/log" ] && echo "$(basename "$d"): $(grep -m1 -E 'stat::number_of_executed_units' "$d/log" || echo ran)"
done
exit $status
