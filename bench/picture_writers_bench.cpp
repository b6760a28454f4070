// What `z40k capture` pays per frame to write each kind of picture file of a chart frame, through the
// program's own writer, into /dev/null so that the disk is not measured: a BMP (headers and rows), a PNG
// (filtered and deflated) and a raw frame buffer (the bytes as they are). pipeline_bench's summary
// prints each as a ratio to the colour raw-frame call of the same run.
#include "bench/chart_frame.h"
#include "tools/z40k/image_files.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

void BM_Picture(benchmark::State& State, z40k::ImageFormat Format) {
    const std::vector<uint8_t>& frame = bench::ChartFrame();
    std::string error;
    for (auto _ : State) {
        if (!z40k::WriteImageFile("/dev/null", Format, frame.data(), frame.size(), bench::CHART_WIDTH,
                                  bench::CHART_HEIGHT, &error)) {
            State.SkipWithError(error.c_str());
            break;
        }
    }
}

} // namespace

BENCHMARK_CAPTURE(BM_Picture, picture_bmp, z40k::ImageFormat::Bmp)->Name("picture_bmp")->Unit(benchmark::kMillisecond);
#ifdef Z40K_HAVE_PNG
BENCHMARK_CAPTURE(BM_Picture, picture_png, z40k::ImageFormat::Png)->Name("picture_png")->Unit(benchmark::kMillisecond);
#endif
BENCHMARK_CAPTURE(BM_Picture, picture_raw, z40k::ImageFormat::Raw)->Name("picture_raw")->Unit(benchmark::kMillisecond);
