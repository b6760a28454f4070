// The built-in chart as the driver's colour path renders it into a read's buffer: what the program's
// picture writers and the live view's encoder work on, since their cost follows the picture's content.
#pragma once

#include "camera/frame_geometry.h"
#include "imaging/raw_frame.h"
#include "host/simcam/scene.h"
#include "host/simcam/sensor.h"

#include <cstring>
#include <vector>

namespace bench {

constexpr int CHART_WIDTH = 2560;
constexpr int CHART_HEIGHT = 1920;

inline const std::vector<uint8_t>& ChartFrame() {
    static const std::vector<uint8_t> frame = [] {
        std::vector<uint8_t> raw;
        simcam::RenderRawFrame(simcam::BuiltInChart(), 750, 0, &raw);
        DeviceContext context;
        std::memset(&context, 0, sizeof context);
        context.FormatWidth = CHART_WIDTH;
        context.FormatHeight = CHART_HEIGHT;
        context.BlueGain = context.GreenGain = context.RedGain = 128;
        context.ColorEnable = TRUE;
        SetWindowFromFormat(&context, CHART_WIDTH, CHART_HEIGHT);
        RawDumpDone = 1; // the one-time dump is not part of a frame's cost
        std::vector<uint8_t> rgb(size_t(CHART_WIDTH) * CHART_HEIGHT * 3, 0);
        ULONG bytes = 0;
        CamProcessRawVideoFrameEx(nullptr, &context, nullptr, rgb.data(), ULONG(rgb.size()), raw.data(),
                                  ULONG(raw.size()), 0, &bytes, ULONG(raw.size()), 0);
        return rgb;
    }();
    return frame;
}

} // namespace bench
