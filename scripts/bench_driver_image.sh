#!/usr/bin/env bash
# The shipped binary measured: the colour call with white balance and the grey call, per kernel path,
# through z40k.sys in the 32-bit host and through the driver linked into the native 64-bit host, each
# against memcpy of the output in its own process, one right after the other, then each z40k.sys path
# against the native build's same path. Needs the native and the m32 builds (scripts/build.sh native,
# m32). Usage: scripts/bench_driver_image.sh [REPETITIONS]
set -euo pipefail
cd "$(dirname "$0")/.."
repetitions=${1:-5}
image=${Z40K_SYS_IMAGE_FILE:-$PWD/build/sys/z40k.sys}
for program in build/z40k-call-bench build-m32/z40k-call-bench; do
    [ -x "$program" ] || { echo "bench: no $program (build the native and m32 variants)" >&2; exit 1; }
done
native=$(./build/z40k-call-bench --repetitions "$repetitions")
sys=$(./build-m32/z40k-call-bench --driver "$image" --repetitions "$repetitions")
echo "$native" | grep -v '^\(ms\|ratio\) '
echo
echo "$sys" | grep -v '^\(ms\|ratio\) '
echo
printf '%-8s %-16s %10s %12s %10s %12s %14s\n' path call "native ms" "x memcpy" "sys ms" "x memcpy" "sys x native"
for path in scalar sse2 ssse3 avx2 avx512; do
    for call in colour_awb_call grey_call; do
        n=$(echo "$native" | awk -v k="${call}_$path" '$1 == "ms" && $2 == k { print $3 }')
        s=$(echo "$sys" | awk -v k="${call}_$path" '$1 == "ms" && $2 == k { print $3 }')
        [ -n "$n" ] && [ -n "$s" ] || continue
        nm=$(echo "$native" | awk '$1 == "ms" && $2 == "memcpy_output" { print $3 }')
        sm=$(echo "$sys" | awk '$1 == "ms" && $2 == "memcpy_output" { print $3 }')
        awk -v p="$path" -v c="$call" -v n="$n" -v s="$s" -v nm="$nm" -v sm="$sm" \
            'BEGIN { printf "%-8s %-16s %10.3f %12.2f %10.3f %12.2f %14.2f\n", p, c, n, n / nm, s, s / sm, s / n }'
        echo "ratio sys_vs_native_${call}_$path $(awk -v n="$n" -v s="$s" 'BEGIN { printf "%.3f", s / n }')" >>"${TMPDIR:-/tmp}/z40k-bench-ratios.$$"
    done
done
cat "${TMPDIR:-/tmp}/z40k-bench-ratios.$$"
rm -f "${TMPDIR:-/tmp}/z40k-bench-ratios.$$"
