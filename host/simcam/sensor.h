// The camera's sensor: a scene becomes a mosaic of 8-bit samples, and the mosaic the interlaced raw
// frame the camera sends.
#pragma once

#include "host/simcam/scene.h"

#include <cstdint>
#include <vector>

namespace simcam {

constexpr int SENSOR_WIDTH = 2560;
constexpr int SENSOR_HEIGHT = 1920;
constexpr uint32_t RAW_FRAME_SIZE = 2048u * 2894u; // 5,926,912

// Where the sensor's lines sit in the raw frame. The even mosaic rows form the first field, the odd rows
// the second; both fields keep the same line distance, and each line carries 2560 samples followed by
// bytes that carry none.
constexpr uint32_t RAW_FIRST_FIELD_OFFSET = 14675;    // 0x3953
constexpr uint32_t RAW_SECOND_FIELD_OFFSET = 3089053; // 0x2F229D
constexpr uint32_t RAW_LINE_DISTANCE = 2894;
constexpr uint32_t RAW_FIELD_LINES = SENSOR_HEIGHT / 2;
constexpr uint32_t RAW_LAST_SAMPLE_OFFSET =
    RAW_SECOND_FIELD_OFFSET + (RAW_FIELD_LINES - 1) * RAW_LINE_DISTANCE + SENSOR_WIDTH - 1; // 5,866,958

// Every raw byte that carries no sample holds this value (and so does the padding the packetizer adds
// after the frame), so that a host reading outside the fields sees a flat, recognisable grey instead of
// picture content.
constexpr uint8_t RAW_FILLER = 0x10;

// The exposure that, with gain 0, shows the scene at its own brightness (the camera's default).
constexpr uint16_t SENSOR_UNITY_EXPOSURE = 750;

// Raw frame offset of mosaic row Row, column Column.
constexpr uint32_t RawOffsetOf(int Row, int Column) {
    return ((Row & 1) ? RAW_SECOND_FIELD_OFFSET : RAW_FIRST_FIELD_OFFSET) +
           static_cast<uint32_t>(Row >> 1) * RAW_LINE_DISTANCE + static_cast<uint32_t>(Column);
}

// Colour filter of a mosaic site: even rows G B G B ..., odd rows R G R G ....
enum class SiteColour { Red, Green, Blue };
constexpr SiteColour SiteColourOf(int Row, int Column) {
    return ((Row & 1) == (Column & 1)) ? SiteColour::Green : ((Row & 1) ? SiteColour::Red : SiteColour::Blue);
}

// The sensor's response law. A scene value v (0..255) is read as
//     sample = v x (Exposure / 750) x (1 + Gain / 256),
// rounded to nearest and saturated at 255. Exposure is the 11-bit register 1 and gain the 10-bit
// register 0; bits above a register's width are not part of it and are ignored. Exposure 750 with gain 0
// reproduces the scene exactly, exposure 0 gives a black frame, and each 256 steps of gain add the
// scene's brightness once more.
void BuildResponseTable(uint16_t Exposure, uint16_t Gain, uint8_t Table[256]);

// The 2560 x 1920 mosaic (row-major, one sample per site): even rows G B G B ..., odd rows R G R G ....
// Brightness follows the exposure (register 1, 0..2047) and gain (register 0, 0..1023) registers; the
// camera's defaults (exposure 750, gain 0) show the scene at its own brightness. A scene of another size
// is sampled at the nearest point; an empty or inconsistent scene (Rgb not Width x Height x 3) looks black.
std::vector<uint8_t> RenderMosaic(const Scene& Picture, uint16_t Exposure, uint16_t Gain);

// The raw frame of RAW_FRAME_SIZE bytes: mosaic rows 0, 2, 4, ... as the first field from byte 14,675,
// rows 1, 3, 5, ... as the second field from byte 3,089,053, lines 2894 bytes apart, 2560 samples each;
// every other byte is RAW_FILLER. A mosaic shorter than 2560 x 1920 leaves the missing sites as filler.
std::vector<uint8_t> LayoutRawFrame(const std::vector<uint8_t>& Mosaic);

// Raw frame from a mosaic rendered once at the unity response (exposure 750, gain 0), with this frame's
// exposure and gain applied on the way, reusing Raw's storage. The response law works on each value
// alone, so this gives the same bytes as LayoutRawFrame(RenderMosaic(Picture, Exposure, Gain)) while
// reading a third of the data per frame: the fast path for a camera that sends the same scene again and
// again.
void LayoutRawFrame(const std::vector<uint8_t>& UnityMosaic, uint16_t Exposure, uint16_t Gain,
                    std::vector<uint8_t>* Raw);

// Scene straight to raw frame, reusing Raw's storage: the same bytes as
// LayoutRawFrame(RenderMosaic(Picture, Exposure, Gain)) without the intermediate mosaic or a fresh
// 5.9 MB allocation per frame.
void RenderRawFrame(const Scene& Picture, uint16_t Exposure, uint16_t Gain, std::vector<uint8_t>* Raw);

} // namespace simcam
