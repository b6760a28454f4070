// What the live view pays per frame to encode the picture it streams, at each scale a viewer can ask
// for. The frame is the built-in chart as the driver's colour path renders it, since JPEG cost follows
// the picture's content; pipeline_bench's summary prints each figure as a ratio to the colour raw-frame
// call of the same run.
#ifdef Z40K_HAVE_SERVE

#include "camera/frame_geometry.h"
#include "imaging/raw_frame.h"
#include "host/simcam/scene.h"
#include "host/simcam/sensor.h"
#include "tools/z40k/serve_encode.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

constexpr int WIDTH = 2560;
constexpr int HEIGHT = 1920;

const std::vector<uint8_t>& ChartFrame() {
    static const std::vector<uint8_t> frame = [] {
        std::vector<uint8_t> raw;
        simcam::RenderRawFrame(simcam::BuiltInChart(), 750, 0, &raw);
        DeviceContext context;
        std::memset(&context, 0, sizeof context);
        context.FormatWidth = WIDTH;
        context.FormatHeight = HEIGHT;
        context.BlueGain = context.GreenGain = context.RedGain = 128;
        context.ColorEnable = TRUE;
        SetWindowFromFormat(&context, WIDTH, HEIGHT);
        RawDumpDone = 1; // the one-time dump is not part of a frame's cost
        std::vector<uint8_t> rgb(size_t(WIDTH) * HEIGHT * 3, 0);
        ULONG bytes = 0;
        CamProcessRawVideoFrameEx(nullptr, &context, nullptr, rgb.data(), ULONG(rgb.size()), raw.data(),
                                  ULONG(raw.size()), 0, &bytes, ULONG(raw.size()), 0);
        return rgb;
    }();
    return frame;
}

void BM_Jpeg(benchmark::State& State, int Scale) {
    const std::vector<uint8_t>& frame = ChartFrame();
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
