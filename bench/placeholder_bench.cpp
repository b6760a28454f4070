// PLACEHOLDER: the benchmarks replace this file.
#include <benchmark/benchmark.h>
BENCHMARK_MAIN();
