#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 30) under AddressSanitizer and
# UndefinedBehaviorSanitizer, starting from its seed corpus, as many at once as there are cores; fails on
# any finding. New inputs the run finds go to a scratch folder, not into the repository. Prints each
# target's executions per second. The driver's pool blocks come from special pool, each against a guard
# page; the whole-stack target, whose every frame takes a scratch frame of 5.9 MB, keeps the ordinary
# pool with its guard bytes, which special pool's page mapping would slow to half its pace.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
jobs=$(nproc 2>/dev/null || echo 2)
bash scripts/build.sh fuzz
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() {
    local target=$1 corpus=$2 rc=0
    local special=1
    [ "$target" != stack_fuzz ] || special=0
    mkdir -p "$work/$target"
    Z40K_SPECIAL_POOL=$special ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "./build-fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=4096 \
        -artifact_prefix="$work/$target-" "$work/$target" "$corpus" >"$work/$target.log" 2>&1 || rc=$?
    echo $rc >"$work/$target.status"
}

targets=()
for corpus in tests/fuzz/corpus/*/; do
    target=$(basename "$corpus")
    targets+=("$target")
    while [ "$(jobs -rp | wc -l)" -ge "$jobs" ]; do wait -n || true; done
    run "$target" "$corpus" &
done
wait

status=0
for target in "${targets[@]}"; do
    echo "=== $target, $seconds s"
    if [ "$(cat "$work/$target.status")" = 0 ]; then
        grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$work/$target.log" || true
    else
        tail -n 60 "$work/$target.log"
        ls "$work/$target"-* 2>/dev/null && cp "$work/$target"-* . 2>/dev/null || true
        echo "fuzz: $target found a fault (the input is saved in the current folder)" >&2
        status=1
    fi
done
exit $status
