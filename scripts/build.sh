#!/usr/bin/env bash
# Configures and builds one variant of the tree. Usage: scripts/build.sh native|m32|sanitize|tsan|sys|fuzz
set -euo pipefail
cd "$(dirname "$0")/.."
variant=${1:-native}
jobs=$(nproc 2>/dev/null || echo 2)
case "$variant" in
native)
    cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZ40K_BROWSER_TEST=ON >/dev/null ;;
m32)
    # GoogleTest is built from Debian's source package for the 32-bit run; the benchmarks stay 64-bit.
    cmake -S . -B build-m32 -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZ40K_TOOLS=ON -DZ40K_BENCH=OFF \
        -DZ40K_GTEST_SOURCE=/usr/src/googletest -DCMAKE_CXX_FLAGS="-m32" >/dev/null ;;
sanitize)
    cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DZ40K_TOOLS=ON \
        -DCMAKE_CXX_FLAGS="-O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
        >/dev/null ;;
tsan)
    # ThreadSanitizer over the threaded host: the library's workers, the camera's thread, the clock.
    # Only the test suites are built; the tool's end-to-end runs are covered by the other variants.
    cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DZ40K_TOOLS=OFF \
        -DCMAKE_CXX_FLAGS="-O1 -g -fsanitize=thread -fno-omit-frame-pointer" >/dev/null ;;
sys)
    # The kernel driver image build-sys/z40k.sys, cross compiled for i386 Windows.
    cmake -S . -B build-sys -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/i686-w64-mingw32.cmake \
        >/dev/null ;;
fuzz)
    # The fuzz targets as libFuzzer programs, with the driver and host instrumented for coverage.
    cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
        -DZ40K_TOOLS=OFF -DZ40K_TESTS=OFF -DZ40K_FUZZ=ON \
        -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" \
        >/dev/null ;;
*)
    echo "usage: $0 native|m32|sanitize|tsan|sys|fuzz" >&2; exit 2 ;;
esac
dir=build
[ "$variant" = native ] || dir="build-$variant"
cmake --build "$dir" -j "$jobs"
