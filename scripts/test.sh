#!/usr/bin/env bash
# Sets up a fresh machine, then builds and runs every test suite: natively, as a 32-bit (i386) build,
# with AddressSanitizer and UndefinedBehaviorSanitizer, and with ThreadSanitizer (the suites where host
# threads meet: platform, library, simulated camera and the whole stack). The 32-bit run also runs the
# whole-stack suites a second time against the driver binary z40k.sys, loaded into the host. Last, every
# fuzz target runs for 30 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc 2>/dev/null || echo 2)
failed=()
# Records a failed step; for a ctest step (DIR given), with the tests that failed in it.
step_failed() {
    local log="${2:-}/Testing/Temporary/LastTestsFailed.log"
    failed+=("$1")
    [ -z "${2:-}" ] || [ ! -s "$log" ] || while read -r test; do failed+=("$1: $test"); done <"$log"
}
# The suites that load the driver and run it through the stream class, the library and the camera; the
# tests that compare the driver's tables and records by address with this program's own are left out.
stack_suites='StackTest.*:*DispatchTable.*:*InterfaceQuery.*:*CaptureStack.*:PropertyEffects.*'
stack_suites+=':-StackTest.InitialiseRecordsDevicesRegistersTheRecordAndForcesTheFlip'
for variant in native m32 sanitize; do
    echo "=== $variant build"
    bash scripts/build.sh "$variant"
    # The later builds test the driver image the native build cross compiled, rather than each making one.
    [ "$variant" != native ] || export Z40K_SYS_IMAGE_FILE="$PWD/build/sys/z40k.sys"
    dir=build
    [ "$variant" = native ] || dir="build-$variant"
    echo "=== $variant tests"
    # A test on the real clock (the live view's, the pipe to ffmpeg) may miss its time on a loaded machine;
    # it gets a second try, and the output of the failed first one stays in the log.
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300 --repeat until-pass:2 \
        || step_failed "$variant tests" "$dir"
    if [ "$variant" = m32 ]; then
        echo "=== m32 whole-stack suites against $Z40K_SYS_IMAGE_FILE"
        Z40K_DRIVER_IMAGE="$Z40K_SYS_IMAGE_FILE" ./build-m32/z40k_tests --gtest_brief=1 \
            --gtest_filter="$stack_suites" || step_failed "m32 against z40k.sys"
    fi
done
echo "=== tsan build"
bash scripts/build.sh tsan
echo "=== tsan tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build-tsan -j "$jobs" --output-on-failure --timeout 600 \
    -R '(Clock|LibraryStreams|Pump|PumpFaults|LiveStack|CaptureStack|StreamClassRules|PropertyEffects)\.' \
    || step_failed "tsan tests" build-tsan
echo "=== fuzz targets, 30 s each"
bash scripts/fuzz.sh 30 || step_failed "fuzz targets"
if [ ${#failed[@]} -ne 0 ]; then
    printf '=== FAILED: %s\n' "${failed[@]}" >&2
    exit 1
fi
echo '=== all steps passed'
