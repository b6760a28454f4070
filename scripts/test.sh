#!/usr/bin/env bash
# Sets up a fresh machine, then builds and runs every test suite: natively, as a 32-bit (i386) build,
# and with AddressSanitizer and UndefinedBehaviorSanitizer; then runs every fuzz target for 30 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
status=0
for variant in native m32 sanitize; do
    echo "=== $variant build"
    bash scripts/build.sh "$variant"
    dir=build
    [ "$variant" = native ] || dir="build-$variant"
    echo "=== $variant tests"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300 || status=1
done
echo "=== fuzz targets, 30 s each"
bash scripts/fuzz.sh 30 || status=1
exit $status
