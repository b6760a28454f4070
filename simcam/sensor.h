// The camera's sensor: a scene becomes a mosaic of 8-bit samples, and the mosaic the interlaced raw
// frame the camera sends.
#pragma once

#include "simcam/simulated_camera.h"

#include <cstdint>
#include <vector>

namespace simcam {

constexpr int SENSOR_WIDTH = 2560;
constexpr int SENSOR_HEIGHT = 1920;
constexpr uint32_t RAW_FRAME_SIZE = 2048u * 2894u; // 5,926,912

// The 2560 x 1920 mosaic (row-major, one sample per site): even rows G B G B ..., odd rows R G R G ....
// Brightness follows the exposure (register 1, 0..2047) and gain (register 0, 0..1023) registers; the
// camera's defaults (exposure 750, gain 0) show the scene at its own brightness.
std::vector<uint8_t> RenderMosaic(const Scene& Picture, uint16_t Exposure, uint16_t Gain);

// The raw frame of RAW_FRAME_SIZE bytes: mosaic rows 0, 2, 4, ... as the first field from byte 14,675,
// rows 1, 3, 5, ... as the second field from byte 3,089,053, lines 2894 bytes apart, 2560 samples each;
// every other byte is filler.
std::vector<uint8_t> LayoutRawFrame(const std::vector<uint8_t>& Mosaic);

} // namespace simcam
