#!/usr/bin/env bash
# Sets up a fresh machine, then builds and runs every test suite: natively, as a 32-bit (i386) build,
# with AddressSanitizer and UndefinedBehaviorSanitizer, and with ThreadSanitizer (the suites where host
# threads meet: platform, library, simulated camera and the whole stack). The 32-bit run also runs the
# whole-stack suites against the driver binary z40k.sys, loaded into the host acting as Windows XP and as
# Windows 7. Last, every
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
# Runs the suites of a build's z40k_tests in one process per core (GoogleTest's shards): under emulation
# or the sanitizers a process takes longer to start than most tests take to run, so a process per test,
# as ctest runs them, would double the step. A test that fails gets a second try, as under ctest; a shard
# that fails without naming a failed test (a crash, a hang, a sanitizer's report) fails the step.
run_suites() {
    local name=$1 dir=$2 i pids=() retry=() crashed=0
    for ((i = 0; i < jobs; i++)); do
        (cd "$dir" && GTEST_TOTAL_SHARDS=$jobs GTEST_SHARD_INDEX=$i \
            timeout 1200 ./z40k_tests --gtest_brief=1) \
            >"$dir/shard-$i.log" 2>&1 &
        pids+=($!)
    done
    for i in "${!pids[@]}"; do
        local status=0 names
        wait "${pids[$i]}" || status=$?
        cat "$dir/shard-$i.log"
        [ "$status" -eq 0 ] && continue
        names=$(sed -n 's/^\[  FAILED  \] \([^ ,]*\.[^ ,]*\).*/\1/p' "$dir/shard-$i.log" | sort -u)
        [ -n "$names" ] || crashed=1
        retry+=($names)
    done
    if [ "$crashed" -ne 0 ]; then
        step_failed "$name: a shard failed without naming a failed test (see its output above)"
    elif [ ${#retry[@]} -ne 0 ]; then
        local filter
        filter=$(IFS=:; echo "${retry[*]}")
        echo "=== $name: a second try of $filter"
        (cd "$dir" && ./z40k_tests --gtest_brief=1 --gtest_filter="$filter") || {
            for i in "${retry[@]}"; do step_failed "$name: $i"; done
        }
    fi
}
# The suites that load the driver and run it through the stream class, the library and the camera; the
# tests that compare the driver's tables and records by address with this program's own are left out.
stack_suites='StackTest.*:*DispatchTable.*:*InterfaceQuery.*:*CaptureStack.*:PropertyEffects.*:Pinned.*:Replay.*'
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
    # it gets a second try, and the output of the failed first one stays in the log. The native build runs
    # each test in a process of its own, so that no test leans on what an earlier one left behind.
    if [ "$variant" = native ]; then
        ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 300 --repeat until-pass:2 \
            || step_failed "$variant tests" "$dir"
    else
        export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1
        rm -rf "$dir/profiles"
        run_suites "$variant tests" "$dir"
        ctest --test-dir "$dir" -LE gtest -j "$jobs" --output-on-failure --timeout 300 --repeat until-pass:2 \
            || step_failed "$variant tests" "$dir"
        unset ASAN_OPTIONS UBSAN_OPTIONS
    fi
    if [ "$variant" = sanitize ]; then
        echo "=== coverage of the sanitize build's runs"
        bash scripts/coverage.sh "$dir" || step_failed "coverage"
    fi
    if [ "$variant" = m32 ]; then
        # As Windows XP the image finds no extended-state routines and stays on the SSE paths; as
        # Windows 7 it finds them, and 7's enabled states allow AVX but not AVX-512; as Windows 10 it
        # takes AVX-512 where the processor has it. All at once, one process each.
        echo "=== m32 whole-stack suites against $Z40K_SYS_IMAGE_FILE as Windows XP, 7 and 10"
        targets=(xp 7 10)
        pids=()
        for target in "${targets[@]}"; do
            Z40K_DRIVER_IMAGE="$Z40K_SYS_IMAGE_FILE" Z40K_DRIVER_TARGET=$target ./build-m32/z40k_tests \
                --gtest_brief=1 --gtest_filter="$stack_suites" >"build-m32/stack-$target.log" 2>&1 &
            pids+=($!)
        done
        for i in "${!targets[@]}"; do
            target=${targets[$i]}
            status=0
            wait "${pids[$i]}" || status=$?
            cat "build-m32/stack-$target.log"
            [ "$status" -eq 0 ] || step_failed "m32 against z40k.sys as Windows $target"
        done
    fi
done
echo "=== tsan build"
bash scripts/build.sh tsan
echo "=== tsan tests"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir build-tsan -j "$jobs" --output-on-failure --timeout 600 \
    -R '(Clock|LibraryStreams|Pump|PumpFaults|LiveStack|CaptureStack|StreamClassRules|PropertyEffects|Replay)\.' \
    || step_failed "tsan tests" build-tsan
echo "=== fuzz targets, 30 s each"
bash scripts/fuzz.sh 30 || step_failed "fuzz targets"
if [ ${#failed[@]} -ne 0 ]; then
    printf '=== FAILED: %s\n' "${failed[@]}" >&2
    exit 1
fi
echo '=== all steps passed'
