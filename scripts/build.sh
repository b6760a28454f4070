#!/usr/bin/env bash
# Configures and builds one variant of the tree.
# Usage: scripts/build.sh native|program|m32|sanitize|tsan|sys|fuzz
set -euo pipefail
cd "$(dirname "$0")/.."
variant=${1:-native}
jobs=$(nproc 2>/dev/null || echo 2)
# Z40K_SYS_IMAGE_FILE names a z40k.sys already cross compiled from these sources (by the native build) for
# the m32 and sanitize builds to test, instead of building their own.
image=(-DZ40K_SYS_IMAGE_FILE="${Z40K_SYS_IMAGE_FILE:-}")
case "$variant" in
native)
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZ40K_TESTS=ON -DZ40K_BENCH=ON -DZ40K_SYS_BUILD=ON \
        -DZ40K_BROWSER_TEST=ON >/dev/null ;;
program)
    # The z40k program alone, in the native build's folder: no suites, benchmarks or driver image, so
    # a first run needs none of their libraries or compilers.
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZ40K_TESTS=OFF -DZ40K_BENCH=OFF \
        -DZ40K_SYS_BUILD=OFF >/dev/null
    cmake --build build -j "$jobs" --target z40k
    exit 0 ;;
m32)
    # GoogleTest is built from Debian's source package for the 32-bit run; the benchmarks stay 64-bit.
    # No debug information: the 32-bit programs run under emulation where a debugger is no help, and it
    # is a quarter of the build's time. Clang builds it, in two thirds of GCC's time, and so the host
    # that loads z40k.sys comes from another compiler than the driver, as on Windows.
    cmake -S . -B build-m32 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -DNDEBUG" \
        -DCMAKE_CXX_COMPILER=clang++-14 -DZ40K_TOOLS=ON -DZ40K_BENCH=OFF \
        -DZ40K_GTEST_SOURCE=/usr/src/googletest -DCMAKE_CXX_FLAGS="-m32" "${image[@]}" >/dev/null ;;
sanitize)
    # Clang, with line tables for the reports' stacks: half GCC's build time, for programs a sixth of the
    # size that start in half the time. The same build measures coverage (scripts/coverage.sh): its runs
    # are the whole suites, the program's end-to-end runs and the corpus replays, so no build of its own
    # and no run of its own is needed for it.
    cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-gline-tables-only" \
        -DCMAKE_CXX_COMPILER=clang++-14 -DZ40K_TOOLS=ON -DZ40K_BENCH=OFF -DZ40K_COVERAGE=ON \
        -DCMAKE_CXX_FLAGS="-O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
        "${image[@]}" >/dev/null ;;
tsan)
    # ThreadSanitizer over the threaded host: the library's workers, the camera's thread, the clock.
    # Only the test files of the suites where threads meet are built; the tool's end-to-end runs and the
    # other suites are covered by the other variants. A new file of threaded tests joins this list.
    tsan_tests='/tests/(host/cameralib/(adapter|streaming)|component/(capture|live_streaming|property_effects|replay|spine))_test'
    tsan_tests+='|/tests/host/kernel/(clock_test|bug_check_handler)'
    # Clang's ThreadSanitizer runs these suites in half the time of GCC's.
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++-14 \
        -DZ40K_TOOLS=OFF -DZ40K_SYS_BUILD=OFF \
        -DZ40K_TEST_SUBSET="$tsan_tests" \
        -DCMAKE_CXX_FLAGS="-O1 -g -fsanitize=thread -fno-omit-frame-pointer" >/dev/null ;;
sys)
    # The kernel driver image build-sys/z40k.sys, cross compiled for i386 Windows.
    cmake -S . -B build-sys -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
        >/dev/null ;;
fuzz)
    # The fuzz targets as libFuzzer programs, with the driver and host instrumented for coverage.
    cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
        -DZ40K_TOOLS=OFF -DZ40K_TESTS=OFF -DZ40K_FUZZ=ON -DZ40K_SYS_BUILD=OFF \
        -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" \
        >/dev/null ;;
*)
    echo "usage: $0 native|program|m32|sanitize|tsan|sys|fuzz" >&2; exit 2 ;;
esac
dir=build
[ "$variant" = native ] || dir="build-$variant"
cmake --build "$dir" -j "$jobs"
