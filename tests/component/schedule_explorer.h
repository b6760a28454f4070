// Explores the interleavings of one scenario on the scheduled clock: one run per seed, each a function
// of its seed alone. A probe run without priority changes counts the scenario's steps, among which the
// change points of the other runs are drawn. The first seed whose run fails is printed as
// Z40K_SCHEDULE_SEED=<seed>; with that variable set, only that seed runs, and it fails the same way.
#pragma once

#include "host/kernel/kernel_host.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <malloc.h>
#include <string>

struct Exploration {
    uint64_t Runs = 0;
    bool Failed = false;
    uint64_t FailedSeed = 0; // 0: the probe
    std::string Failure;     // what the failed run observed
    uint64_t ProbeSteps = 0;
    uint64_t MaxSwitches = 0;
    double SeedsPerSecond = 0;
};

// One run of a scenario: sets the host up, starts the schedule with Options (Start), runs, stops the
// schedule and says what went wrong ("" when nothing did).
using ScheduledScenario = std::function<std::string(const host::ScheduleOptions& Options)>;

inline uint64_t ReplaySeed() {
    const char* text = std::getenv("Z40K_SCHEDULE_SEED");
    return text != nullptr ? std::strtoull(text, nullptr, 10) : 0;
}

inline Exploration Explore(const char* Name, unsigned Depth, uint64_t Seeds, const ScheduledScenario& Run,
                           uint64_t FirstSeed = 1) {
    Exploration result;
    // Each run allocates and frees frame buffers of megabytes: kept by the allocator rather than given
    // back to the system and faulted in again, they cost a run nothing.
    static const bool keepMemory =
        (mallopt(M_MMAP_THRESHOLD, 64 << 20), mallopt(M_TRIM_THRESHOLD, 512 << 20), true);
    (void)keepMemory;
    const auto start = std::chrono::steady_clock::now();
    host::ScheduleOptions options;
    options.Depth = 1;
    options.Seed = 0;
    options.Steps = 1;
    std::string failure = Run(options);
    result.ProbeSteps = host::ScheduleProgress().Steps;
    options.Depth = Depth;
    options.Steps = result.ProbeSteps;
    const uint64_t replay = ReplaySeed();
    for (uint64_t i = 0; failure.empty() && i < (replay != 0 ? 1 : Seeds); ++i) {
        options.Seed = replay != 0 ? replay : FirstSeed + i;
        failure = Run(options);
        ++result.Runs;
        if (host::ScheduleProgress().Switches > result.MaxSwitches)
            result.MaxSwitches = host::ScheduleProgress().Switches;
        if (!failure.empty())
            result.FailedSeed = options.Seed;
    }
    result.Failed = !failure.empty();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.SeedsPerSecond = seconds > 0 ? double(result.Runs + 1) / seconds : 0;
    result.Failure = failure;
    if (!failure.empty())
        std::fprintf(stderr, "%s failed: Z40K_SCHEDULE_SEED=%llu (depth %u, %llu steps): %s\n", Name,
                     static_cast<unsigned long long>(result.FailedSeed), Depth,
                     static_cast<unsigned long long>(options.Steps), failure.c_str());
    std::printf("%s: %llu seeds at depth %u over %llu steps, %.1f seeds/s\n", Name,
                static_cast<unsigned long long>(result.Runs), Depth,
                static_cast<unsigned long long>(result.ProbeSteps), result.SeedsPerSecond);
    return result;
}
