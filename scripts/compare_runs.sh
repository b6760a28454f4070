#!/usr/bin/env bash
# Runs a fixed set of z40k commands on the virtual clock with two builds of the program and compares
# everything they write: pictures, raw frames, dumps, traces (timestamps included), registry files and
# what they print. A refactoring that changes no behaviour leaves every file byte for byte the same.
# Usage: scripts/compare_runs.sh BEFORE/z40k AFTER/z40k [WORKDIR]
set -euo pipefail
before=$(realpath "$1")
after=$(realpath "$2")
work=${3:-$(mktemp -d)}
mkdir -p "$work"

# One command per line: a name, then the arguments after the program. OUT stands for the run's folder.
commands=(
    "colour|capture --clock virtual -n 3 -o OUT/frames --trace OUT/trace.jsonl --registry OUT/s.reg --drive-c OUT/c"
    "mono|capture --clock virtual -n 2 --mono -o OUT/frames --trace OUT/trace.jsonl --registry OUT/s.reg --drive-c OUT/c"
    "awb|capture --clock virtual -n 2 --set awb=1 --set exposure=1200 --set red-gain=200 -o OUT/frames --format png --trace OUT/trace.jsonl --registry OUT/s.reg --drive-c OUT/c"
    "two|capture --clock virtual -n 2 --cameras 2 --save-raw -o OUT/frames --trace OUT/trace.jsonl --registry OUT/s.reg --drive-c OUT/c"
    "slow|capture --clock virtual -n 2 --camera-fps 4 --packet-size 1024 --buffers 1 -o OUT/frames --format raw --trace OUT/trace.jsonl --drive-c OUT/c"
    "unplug|capture --clock virtual -n 5 --unplug-after 2 -o OUT/frames --trace OUT/trace.jsonl --drive-c OUT/c"
    "props|props --json --registry OUT/../colour/s.reg"
    "info|info --json"
)

run_all() {
    local program=$1 root=$2 entry name args out status
    rm -rf "$root"
    mkdir -p "$root"
    for entry in "${commands[@]}"; do
        name=${entry%%|*}
        args=${entry#*|}
        out="$root/$name"
        mkdir -p "$out"
        status=0
        # shellcheck disable=SC2086
        (cd "$out" && "$program" ${args//OUT/$out}) >"$out/stdout" 2>"$out/stderr" || status=$?
        echo "$status" >"$out/status"
    done
    # A converted frame from the colour run's raw capture, in colour and grey.
    out="$root/convert"
    mkdir -p "$out"
    "$program" capture --clock virtual -n 1 --save-raw -o "$out/src" --drive-c "$out/c" >/dev/null 2>&1
    raw=$(ls "$out"/src/raw-*.bin | head -n 1)
    (cd "$out" && "$program" convert "$raw" "$out/colour.bmp" --awb --json --drive-c "$out/c" >"$out/stdout" 2>&1) || true
    (cd "$out" && "$program" convert "$raw" "$out/grey.bmp" --mono --json --drive-c "$out/c" >>"$out/stdout" 2>&1) || true
    # Two cameras' threads record events of the same clock time in either order; compare their lines.
    sort "$root/two/trace.jsonl" -o "$root/two/trace.jsonl"
    # Messages name the folders they wrote to, and the summary gives the rate in real time: make them
    # comparable across the two roots and runs.
    find "$root" -name 'std*' -type f -exec sed -i -E "s#$root#ROOT#g; s#[0-9.]+ frames/s#N frames/s#g" {} +
}

run_all "$before" "$work/before"
run_all "$after" "$work/after"
(cd "$work/before" && find . -type f | sort | xargs sha256sum) >"$work/before.sums"
(cd "$work/after" && find . -type f | sort | xargs sha256sum) >"$work/after.sums"
files=$(wc -l <"$work/before.sums")
if diff -u "$work/before.sums" "$work/after.sums"; then
    echo "compare_runs: all $files files byte-identical ($work)"
else
    echo "compare_runs: the runs differ ($work)" >&2
    exit 1
fi
