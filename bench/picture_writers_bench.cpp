// What `z40k capture` pays per frame to write each kind of picture file of a chart frame, through the
// program's own writer, into /dev/null so that the disk is not measured: a BMP (headers and rows), a PNG
// (filtered and deflated; also of the chart with sensor-like noise) and a raw frame buffer (the bytes as
// they are). pipeline_bench's summary prints each as a ratio to the colour raw-frame call of the same run.
#include "bench/chart_frame.h"
#include "tools/z40k/image_files.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace {

// The chart as a real sensor would give it: every byte off by a little noise (up to 31 levels), which a
// camera picture has and the synthetic chart has not. Deflate finds few matches in it, so it is the
// costly case of the PNG writer.
const std::vector<uint8_t>& GrainyFrame() {
    static const std::vector<uint8_t> frame = [] {
        std::vector<uint8_t> grainy = bench::ChartFrame();
        uint32_t state = 0x9E3779B9u;
        for (uint8_t& byte : grainy) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            byte = uint8_t(std::min(255u, byte + (state & 31)));
        }
        return grainy;
    }();
    return frame;
}

void BM_Picture(benchmark::State& State, z40k::ImageFormat Format, bool Grainy) {
    const std::vector<uint8_t>& frame = Grainy ? GrainyFrame() : bench::ChartFrame();
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

BENCHMARK_CAPTURE(BM_Picture, picture_bmp, z40k::ImageFormat::Bmp, false)
    ->Name("picture_bmp")
    ->Unit(benchmark::kMillisecond);
#ifdef Z40K_HAVE_PNG
BENCHMARK_CAPTURE(BM_Picture, picture_png, z40k::ImageFormat::Png, false)
    ->Name("picture_png")
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Picture, picture_png_grainy, z40k::ImageFormat::Png, true)
    ->Name("picture_png_grainy")
    ->Unit(benchmark::kMillisecond);
#endif
BENCHMARK_CAPTURE(BM_Picture, picture_raw, z40k::ImageFormat::Raw, false)
    ->Name("picture_raw")
    ->Unit(benchmark::kMillisecond);
