// What the live view pays per frame to encode the picture it streams, at each scale a viewer can ask
// for. The frame is the built-in chart as the driver's colour path renders it, since JPEG cost follows
// the picture's content; pipeline_bench's summary prints each figure as a ratio to the colour raw-frame
// call of the same run.
#ifdef Z40K_HAVE_SERVE

#include "bench/chart_frame.h"
#include "tools/z40k/serve_encode.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

constexpr int WIDTH = bench::CHART_WIDTH;
constexpr int HEIGHT = bench::CHART_HEIGHT;

void BM_Jpeg(benchmark::State& State, int Scale) {
    const std::vector<uint8_t>& frame = bench::ChartFrame();
    z40k::JpegEncoder encoder;
    std::vector<uint8_t> jpeg;
    for (auto _ : State) {
        if (!encoder.Encode(frame.data(), WIDTH, HEIGHT, Scale, &jpeg)) {
            State.SkipWithError("the encoder failed");
            break;
        }
        benchmark::DoNotOptimize(jpeg.data());
    }
    State.counters["jpeg_bytes"] = double(jpeg.size());
}

} // namespace

BENCHMARK_CAPTURE(BM_Jpeg, jpeg_full, 1)->Name("jpeg_full")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Jpeg, jpeg_half, 2)->Name("jpeg_half")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Jpeg, jpeg_quarter, 4)->Name("jpeg_quarter")->Unit(benchmark::kMillisecond);

#endif // Z40K_HAVE_SERVE
