#!/usr/bin/env bash
# The shipped binary measured: the colour call with white balance and the grey call, per kernel path,
# through z40k.sys in the 32-bit host and through the driver linked into the native 64-bit host, each
# against memcpy of the output in its own process, then each z40k.sys path against the native build's
# same path. The two programs run by turns, ROUNDS times each, and each figure is the lowest of its
# rounds: the machine is shared, and a neighbour's load that comes and goes between two runs would
# otherwise read as a difference of the builds. Needs the native and the m32 builds (scripts/build.sh
# native, m32). Usage: scripts/bench_driver_image.sh [REPETITIONS [ROUNDS]]
set -euo pipefail
cd "$(dirname "$0")/.."
repetitions=${1:-5}
rounds=${2:-3}
image=${Z40K_SYS_IMAGE_FILE:-$PWD/build/sys/z40k.sys}
for program in build/z40k-call-bench build-m32/z40k-call-bench; do
    [ -x "$program" ] || { echo "bench: no $program (build the native and m32 variants)" >&2; exit 1; }
done
native='' sys=''
for ((round = 1; round <= rounds; round++)); do
    n=$(./build/z40k-call-bench --repetitions "$repetitions")
    s=$(./build-m32/z40k-call-bench --driver "$image" --repetitions "$repetitions")
    [ "$round" -gt 1 ] || { echo "$n" | grep -v '^\(ms\|ratio\) '; echo; echo "$s" | grep -v '^\(ms\|ratio\) '; echo; }
    native+="$n"$'\n' sys+="$s"$'\n'
done
# The lowest of the rounds' figures for KEY.
lowest() { awk -v k="$2" '$1 == "ms" && $2 == k { if (m == "" || $3 < m) m = $3 } END { print m }' <<<"$1"; }
echo "lowest of $rounds rounds:"
printf '%-8s %-16s %10s %12s %10s %12s %14s\n' path call "native ms" "x memcpy" "sys ms" "x memcpy" "sys x native"
nm=$(lowest "$native" memcpy_output)
sm=$(lowest "$sys" memcpy_output)
ratios=''
for path in scalar sse2 ssse3 avx2 avx512; do
    for call in colour_awb_call grey_call; do
        n=$(lowest "$native" "${call}_$path")
        s=$(lowest "$sys" "${call}_$path")
        [ -n "$n" ] && [ -n "$s" ] || continue
        awk -v p="$path" -v c="$call" -v n="$n" -v s="$s" -v nm="$nm" -v sm="$sm" \
            'BEGIN { printf "%-8s %-16s %10.3f %12.2f %10.3f %12.2f %14.2f\n", p, c, n, n / nm, s, s / sm, s / n }'
        ratios+="ratio sys_vs_native_${call}_$path $(awk -v n="$n" -v s="$s" 'BEGIN { printf "%.3f", s / n }')"$'\n'
    done
done
printf '%s' "$ratios"
