// Per-frame cost of the image pipeline at the capture format, on each kernel path the processor has, each
// stage against memcpy of the same bytes measured in the same run. The last lines are "ratio NAME R" for
// scripts.
#include "camera/frame_geometry.h"
#include "imaging/color.h"
#include "imaging/mono.h"
#include "imaging/raw_frame.h"
#include "imaging/vector_paths.h"
#include "imaging/white_balance.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "tests/imaging/path_levers.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr size_t OUTPUT_BYTES = 2560 * 1920 * 3; // 14,745,600
constexpr size_t WINDOW_BYTES = 2560 * 1920;     // the samples a frame carries

struct Buffers {
    std::vector<uint8_t> Raw, Scratch, Frame, CopySource, CopyTarget;
    DeviceContext Context;
};

Buffers& Shared() {
    static Buffers* b = [] {
        auto* buffers = new Buffers;
        buffers->Raw.resize(RAW_FRAME_BYTES);
        std::mt19937 random(42);
        for (auto& byte : buffers->Raw)
            byte = uint8_t(random());
        buffers->Scratch.resize(RAW_FRAME_BYTES);
        DeinterlaceFrame(buffers->Raw.data(), buffers->Scratch.data());
        buffers->Frame.assign(OUTPUT_BYTES, 0);
        buffers->CopySource.assign(OUTPUT_BYTES, 1);
        buffers->CopyTarget.assign(OUTPUT_BYTES, 0);
        std::memset(&buffers->Context, 0, sizeof(buffers->Context));
        buffers->Context.FormatWidth = 2560;
        buffers->Context.FormatHeight = 1920;
        buffers->Context.BlueGain = buffers->Context.GreenGain = buffers->Context.RedGain = 128;
        SetWindowFromFormat(&buffers->Context, 2560, 1920);
        RawDumpDone = 1; // the one-time dump is not part of a frame's cost
        return buffers;
    }();
    return *b;
}

// Pins the conversions to one kernel path for a benchmark's run: the host acts as the system and
// processor that leave the driver that path.
struct PathChoice {
    explicit PathChoice(ImagingPath Path) {
        path_levers::ActAsSystemOf(Path);
        FindExtendedStateRoutines();
    }
    ~PathChoice() {
        host::SetWindowsTarget(host::WindowsTarget::Ten);
        host::SetProcessorLevel(host::ProcessorLevel::Real);
        FindExtendedStateRoutines();
    }
};

void Memcpy(benchmark::State& State, size_t Bytes) {
    Buffers& b = Shared();
    for (auto _ : State) {
        std::memcpy(b.CopyTarget.data(), b.CopySource.data(), Bytes);
        benchmark::ClobberMemory();
    }
}

// Writing the output alone (glibc's memset streams a buffer this large past the caches): with reading
// the window once (the statistics stage), the bandwidth bound of a frame.
void MemsetOutput(benchmark::State& State) {
    Buffers& b = Shared();
    for (auto _ : State) {
        std::memset(b.CopyTarget.data(), 0x5A, OUTPUT_BYTES);
        benchmark::ClobberMemory();
    }
}

// The scratch frame's allocation and release as a frame pays them on the host: the stand-in's pool
// fills every freed block (5.9 MB here) with a marker, which a real pool does not.
void ScratchPool(benchmark::State& State) {
    for (auto _ : State) {
        void* scratch = ExAllocatePoolWithTag(NonPagedPool, RAW_FRAME_BYTES, DRIVER_POOL_TAG);
        benchmark::DoNotOptimize(scratch);
        ExFreePool(scratch);
    }
}

void Deinterlace(benchmark::State& State) {
    Buffers& b = Shared();
    for (auto _ : State) {
        DeinterlaceFrame(b.Raw.data(), b.Scratch.data());
        benchmark::ClobberMemory();
    }
}

void Grey(benchmark::State& State, ImagingPath Path) {
    Buffers& b = Shared();
    PathChoice path(Path);
    b.Context.ColorEnable = 0;
    for (auto _ : State) {
        benchmark::DoNotOptimize(ConvertMono(&b.Context, b.Scratch.data(),
                                             b.Scratch.data() + b.Scratch.size(), b.Frame.data(),
                                             b.Frame.data() + b.Frame.size()));
        benchmark::ClobberMemory();
    }
}

void Colour(benchmark::State& State, ImagingPath Path) {
    Buffers& b = Shared();
    PathChoice path(Path);
    b.Context.ColorEnable = 1;
    b.Context.AutoWhiteBalance = 0;
    for (auto _ : State) {
        benchmark::DoNotOptimize(ConvertColor(&b.Context, b.Scratch.data(),
                                              b.Scratch.data() + b.Scratch.size(), b.Frame.data(),
                                              b.Frame.data() + b.Frame.size()));
        benchmark::ClobberMemory();
    }
}

void WhiteBalance(benchmark::State& State, ImagingPath Path) {
    Buffers& b = Shared();
    PathChoice path(Path);
    ColorParams p = {};
    p.SourceWidth = 2560;
    p.SourceStride = 2894;
    p.SourceHeight = 1920;
    p.Scratch = b.Scratch.data();
    p.StatsRight = 2560;
    p.StatsBottom = 1920;
    for (auto _ : State) {
        ComputeWhiteBalance(&p);
        benchmark::DoNotOptimize(p.BlueGain);
    }
}

void WholeCall(benchmark::State& State, bool Colour, ImagingPath Path) {
    Buffers& b = Shared();
    PathChoice path(Path);
    b.Context.ColorEnable = Colour;
    b.Context.AutoWhiteBalance = Colour;
    ULONG bytes = 0;
    for (auto _ : State) {
        CamProcessRawVideoFrameEx(nullptr, &b.Context, nullptr, b.Frame.data(), ULONG(b.Frame.size()),
                                  b.Raw.data(), ULONG(b.Raw.size()), 0, &bytes, ULONG(b.Raw.size()), 0);
        benchmark::ClobberMemory();
    }
    b.Context.BlueGain = b.Context.GreenGain = b.Context.RedGain = 128;
}

// Keeps each benchmark's CPU time per iteration, in milliseconds, the median over its repetitions: the
// machines this runs on are shared, and the stages are single-threaded, so CPU time is what a frame
// costs.
class RecordingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& Runs) override {
        for (const Run& run : Runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                Samples[run.benchmark_name()].push_back(run.cpu_accumulated_time * 1e3 /
                                                        double(run.iterations));
        for (const Run& run : Runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0)
                continue;
            RealSamples[run.benchmark_name()].push_back(run.real_accumulated_time * 1e3 /
                                                        double(run.iterations));
            for (const char* counter : {"capture_fps", "packet_to_read_us"}) {
                auto found = run.counters.find(counter);
                if (found != run.counters.end())
                    Capture[run.benchmark_name()][counter].push_back(found->second.value);
            }
        }
        ConsoleReporter::ReportRuns(Runs);
    }
    static double Median(std::vector<double> Values) {
        std::sort(Values.begin(), Values.end());
        const size_t n = Values.size();
        return n == 0 ? 0 : n % 2 ? Values[n / 2] : (Values[n / 2 - 1] + Values[n / 2]) / 2;
    }
    static std::map<std::string, double> Medians(const std::map<std::string, std::vector<double>>& Of) {
        std::map<std::string, double> medians;
        for (const auto& samples : Of)
            medians[samples.first] = Median(samples.second);
        return medians;
    }
    std::map<std::string, double> Medians() const { return Medians(Samples); }
    // Real time per iteration: the capture path runs on several threads, so its figure is real time,
    // and its baseline is the colour call's real time in the same run (alike on a loaded machine).
    std::map<std::string, std::vector<double>> RealSamples;
    std::map<std::string, std::vector<double>> Samples;
    // Counters of any benchmark that reports "capture_fps" and "packet_to_read_us", by benchmark name.
    std::map<std::string, std::map<std::string, std::vector<double>>> Capture;
};

struct Stage {
    std::string Name;
    const char* Baseline;
};

// Each kernel path and the suffix its benchmarks carry.
struct PathSuffix {
    ImagingPath Path;
    const char* Suffix;
};
constexpr PathSuffix PATHS[] = {{IMAGING_PATH_SCALAR, "_scalar"}, {IMAGING_PATH_SSE2, "_sse2"},
                                {IMAGING_PATH_SSSE3, "_ssse3"},   {IMAGING_PATH_AVX2, "_avx2"},
                                {IMAGING_PATH_AVX512, "_avx512"}};

// Registers every benchmark of this file, on each path the processor has; returns the stages of the
// table with their baselines, and in *BestSuffix the suffix of the best path.
std::vector<Stage> RegisterStages(std::string* BestSuffix) {
    std::vector<Stage> stages = {{"deinterlace", "memcpy_window"},
                                 {"memset_output", "memcpy_output"},
                                 {"scratch_pool", "memcpy_window"}};
    benchmark::RegisterBenchmark("memcpy_output", Memcpy, OUTPUT_BYTES)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("memcpy_window", Memcpy, WINDOW_BYTES)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("memset_output", MemsetOutput)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("deinterlace", Deinterlace)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("scratch_pool", ScratchPool)->Unit(benchmark::kMillisecond);
    FindExtendedStateRoutines(); // as DriverEntry does
    const ImagingPath best = SupportedImagingPath();
    for (const auto& p : PATHS) {
        if (p.Path > best)
            continue; // the processor lacks it
        *BestSuffix = p.Suffix;
        const std::string path = p.Suffix;
        benchmark::RegisterBenchmark(("grey" + path).c_str(), Grey, p.Path)->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("colour" + path).c_str(), Colour, p.Path)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("white_balance" + path).c_str(), WhiteBalance, p.Path)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("grey_call" + path).c_str(), WholeCall, false, p.Path)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("colour_awb_call" + path).c_str(), WholeCall, true, p.Path)
            ->Unit(benchmark::kMillisecond);
        stages.insert(stages.end(), {{"grey" + path, "memcpy_output"},
                                     {"colour" + path, "memcpy_output"},
                                     {"white_balance" + path, "memcpy_window"},
                                     {"grey_call" + path, "memcpy_output"},
                                     {"colour_awb_call" + path, "memcpy_output"}});
    }
    return stages;
}

// The table for people: each stage's median, against its baseline and against memcpy of the output.
void PrintStageTable(const std::vector<Stage>& Stages, std::map<std::string, double>& Ms) {
    std::printf("\n%-22s %10s  %-14s %10s %12s\n", "stage", "ms/frame", "baseline", "x baseline",
                "x out memcpy");
    for (const Stage& s : Stages) {
        if (!Ms.count(s.Name) || !Ms.count(s.Baseline) || !Ms.count("memcpy_output"))
            continue;
        std::printf("%-22s %10.3f  %-14s %10.2f %12.2f\n", s.Name.c_str(), Ms[s.Name], s.Baseline,
                    Ms[s.Name] / Ms[s.Baseline], Ms[s.Name] / Ms["memcpy_output"]);
    }
}

// Machine-readable summary: whole calls against memcpy of the 14,745,600 output bytes, first on the best
// path the processor has (unsuffixed), then on each path; then the live view's JPEG encoding of a chart
// frame (serve_jpeg_bench.cpp), the program's picture files (picture_writers_bench.cpp) and recording a
// frame's USB traffic (usbpcap_bench.cpp) against the colour call.
void PrintCallRatios(std::map<std::string, double>& Ms, const std::string& BestSuffix) {
    for (const char* call : {"colour_awb_call", "grey_call"})
        if (Ms.count(call + BestSuffix) && Ms.count("memcpy_output"))
            std::printf("ratio %s %.3f\n", call, Ms[call + BestSuffix] / Ms["memcpy_output"]);
    for (const auto& p : PATHS)
        for (const char* call : {"colour_awb_call", "grey_call"}) {
            const std::string name = call + std::string(p.Suffix);
            if (Ms.count(name) && Ms.count("memcpy_output"))
                std::printf("ratio %s %.3f\n", name.c_str(), Ms[name] / Ms["memcpy_output"]);
        }
    for (const char* name : {"jpeg_full", "jpeg_half", "jpeg_quarter", "picture_bmp", "picture_png",
                             "picture_png_grainy", "picture_raw", "pcap_frame"})
        if (Ms.count(name) && Ms.count("colour_awb_call" + BestSuffix))
            std::printf("ratio %s_vs_colour_call %.3f\n", name,
                        Ms[name] / Ms["colour_awb_call" + BestSuffix]);
}

// The capture benchmarks (capture_fps.cpp): any benchmark in bench/ that sets
// State.counters["capture_fps"] gets its frames per second, the frame time against the colour call alone
// (what the threaded path adds to the driver's own work), and the packet-to-read latency printed last.
void PrintCaptureFigures(const RecordingReporter& Reporter, const std::string& BestSuffix) {
    auto realMs = RecordingReporter::Medians(Reporter.RealSamples);
    for (const auto& run : Reporter.Capture) {
        const auto fps = run.second.find("capture_fps");
        const double rate = fps == run.second.end() ? 0 : RecordingReporter::Median(fps->second);
        if (rate <= 0)
            continue;
        std::printf("capture_fps %s %.1f\n", run.first.c_str(), rate);
        if (realMs.count("colour_awb_call" + BestSuffix))
            std::printf("ratio %s_vs_colour_call %.3f\n", run.first.c_str(),
                        1e3 / rate / realMs["colour_awb_call" + BestSuffix]);
        const auto latency = run.second.find("packet_to_read_us");
        if (latency != run.second.end())
            std::printf("packet_to_read_us %s %.0f\n", run.first.c_str(),
                        RecordingReporter::Median(latency->second));
    }
}

} // namespace

int main(int argc, char** argv) {
    // The pool keeps a freed scratch frame for the next one, as a lookaside list would, so each frame
    // does not fault in 5.9 MB of fresh pages.
    host::PoolSetLookaside(true);
    benchmark::Initialize(&argc, argv);
    std::string bestSuffix;
    const std::vector<Stage> stages = RegisterStages(&bestSuffix);

    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto ms = reporter.Medians();
    PrintStageTable(stages, ms);
    PrintCallRatios(ms, bestSuffix);
    PrintCaptureFigures(reporter, bestSuffix);
    return 0;
}
