#!/usr/bin/env bash
# Sets up a fresh machine, then builds and runs every test suite: natively, as a 32-bit (i386) build,
# with AddressSanitizer and UndefinedBehaviorSanitizer, and with ThreadSanitizer (the suites where host
# threads meet: platform, library, simulated camera and the whole stack).
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
echo "=== tsan build"
bash scripts/build.sh tsan
echo "=== tsan tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build-tsan -j "$jobs" --output-on-failure --timeout 600 \
    -R '(Clock|LibraryStreams|Pump|PumpFaults|LiveStack|CaptureStack|StreamClassRules|PropertyEffects)\.' \
    || status=1
exit $status
