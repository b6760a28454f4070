#!/usr/bin/env bash
# Sets up a fresh machine, then builds and runs every test suite: natively, as a 32-bit (i386) build,
# and with AddressSanitizer and UndefinedBehaviorSanitizer. The 32-bit run then runs the whole-stack
# suites a second time against the driver binary z40k.sys, loaded into the host.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
status=0
# The suites that load the driver and run it through the stream class, the library and the camera; the
# tests that compare the driver's tables and records by address with this program's own are left out.
stack_suites='StackTest.*:*DispatchTable.*:*InterfaceQuery.*:*CaptureStack.*:PropertyEffects.*'
stack_suites+=':-StackTest.InitialiseRecordsDevicesRegistersTheRecordAndForcesTheFlip'
for variant in native m32 sanitize; do
    echo "=== $variant build"
    bash scripts/build.sh "$variant"
    dir=build
    [ "$variant" = native ] || dir="build-$variant"
    echo "=== $variant tests"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300 || status=1
    if [ "$variant" = m32 ]; then
        echo "=== m32 whole-stack suites against build-m32/sys/z40k.sys"
        Z40K_DRIVER_IMAGE="$PWD/build-m32/sys/z40k.sys" ./build-m32/z40k_tests --gtest_brief=1 \
            --gtest_filter="$stack_suites" || status=1
    fi
done
exit $status
