#include "host/simcam/scene.h"
#include "host/simcam/sensor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace simcam {
namespace {

Scene Uniform(int Width, int Height, uint8_t R, uint8_t G, uint8_t B) {
    Scene s;
    s.Width = Width;
    s.Height = Height;
    s.Rgb.resize(static_cast<size_t>(Width) * Height * 3);
    for (size_t i = 0; i < s.Rgb.size(); i += 3) {
        s.Rgb[i] = R;
        s.Rgb[i + 1] = G;
        s.Rgb[i + 2] = B;
    }
    return s;
}

uint8_t At(const std::vector<uint8_t>& Mosaic, int Row, int Column) {
    return Mosaic[static_cast<size_t>(Row) * SENSOR_WIDTH + Column];
}

// --- colour filter classes ------------------------------------------------------------------------

struct ClassCase {
    const char* Name;
    uint8_t R, G, B;
    // Which of the 2 x 2 block's sites see the colour: [row & 1][column & 1].
    bool Lit[2][2];
};

class MosaicClassTest : public testing::TestWithParam<ClassCase> {};

TEST_P(MosaicClassTest, PureColourLightsOnlyItsSites) {
    const ClassCase& k = GetParam();
    const std::vector<uint8_t> mosaic =
        RenderMosaic(Uniform(SENSOR_WIDTH, SENSOR_HEIGHT, k.R, k.G, k.B), 750, 0);
    ASSERT_EQ(mosaic.size(), size_t{SENSOR_WIDTH} * SENSOR_HEIGHT);
    size_t wrong = 0;
    for (int r = 0; r < SENSOR_HEIGHT; ++r) {
        for (int c = 0; c < SENSOR_WIDTH; ++c) {
            const uint8_t expected = k.Lit[r & 1][c & 1] ? 200 : 0;
            wrong += At(mosaic, r, c) != expected;
        }
    }
    EXPECT_EQ(wrong, 0u);
}

// Even rows read G B G B ..., odd rows R G R G ....
INSTANTIATE_TEST_SUITE_P(Sensor, MosaicClassTest,
                         testing::Values(ClassCase{"Red", 200, 0, 0, {{false, false}, {true, false}}},
                                         ClassCase{"Green", 0, 200, 0, {{true, false}, {false, true}}},
                                         ClassCase{"Blue", 0, 0, 200, {{false, true}, {false, false}}}),
                         [](const testing::TestParamInfo<ClassCase>& I) {
                             return std::string(I.param.Name);
                         });

// --- brightness ------------------------------------------------------------------------------------

TEST(SensorBrightness, DefaultsReproduceEveryLevelExactly) {
    // Each column of this scene is a different grey level, so one render covers all 256 values.
    Scene s = Uniform(SENSOR_WIDTH, SENSOR_HEIGHT, 0, 0, 0);
    for (int y = 0; y < SENSOR_HEIGHT; ++y) {
        for (int x = 0; x < SENSOR_WIDTH; ++x) {
            const uint8_t v = static_cast<uint8_t>(x / 2);
            std::memset(&s.Rgb[(static_cast<size_t>(y) * SENSOR_WIDTH + x) * 3], v, 3);
        }
    }
    const std::vector<uint8_t> mosaic = RenderMosaic(s, 750, 0);
    for (int r : {0, 1, 1918, 1919}) {
        for (int c = 0; c < 512; ++c) {
            ASSERT_EQ(At(mosaic, r, c), c / 2) << "row " << r << " column " << c;
        }
    }
}

struct LawCase {
    uint16_t Exposure;
    uint16_t Gain;
    uint8_t Scene;
    uint8_t Sample;
};

class SensorLawTest : public testing::TestWithParam<LawCase> {};

TEST_P(SensorLawTest, SampleFollowsExposureAndGain) {
    const LawCase& k = GetParam();
    uint8_t table[256];
    BuildResponseTable(k.Exposure, k.Gain, table);
    EXPECT_EQ(table[k.Scene], k.Sample);
    // The mosaic goes through the same law, for every class of site.
    const std::vector<uint8_t> mosaic =
        RenderMosaic(Uniform(8, 8, k.Scene, k.Scene, k.Scene), k.Exposure, k.Gain);
    EXPECT_EQ(At(mosaic, 0, 0), k.Sample);
    EXPECT_EQ(At(mosaic, 0, 1), k.Sample);
    EXPECT_EQ(At(mosaic, 1, 0), k.Sample);
}

INSTANTIATE_TEST_SUITE_P(Sensor, SensorLawTest,
                         testing::Values(LawCase{375, 0, 200, 100},     // half the exposure, half as bright
                                         LawCase{1500, 0, 100, 200},    // twice the exposure
                                         LawCase{1500, 0, 200, 255},    // saturates rather than wraps
                                         LawCase{750, 256, 100, 200},   // gain 256 doubles
                                         LawCase{750, 128, 100, 150},   // gain 128: one and a half
                                         LawCase{375, 256, 77, 77},     // the two cancel
                                         LawCase{0, 1023, 255, 0},      // no exposure, no light
                                         LawCase{2047, 1023, 255, 255}, // the largest product, clamped
                                         LawCase{2047, 1023, 1, 14},    // 1 x 2047/750 x 1279/256 = 13.64
                                         LawCase{375, 0, 3, 2},         // 1.5 rounds up
                                         LawCase{375, 0, 1, 1},         // 0.5 rounds up
                                         LawCase{749, 0, 255, 255},     // 254.66 rounds to 255
                                         LawCase{0x800 | 750, 0x400, 123, 123})); // bits past the registers

// --- scenes of other sizes -------------------------------------------------------------------------

TEST(SensorScene, SmallerSceneIsSampledAtTheNearestPixel) {
    // A 2 x 2 scene: each quarter of the sensor sees one pixel.
    Scene s = Uniform(2, 2, 0, 0, 0);
    const uint8_t greens[4] = {10, 20, 30, 40}; // top-left, top-right, bottom-left, bottom-right
    for (int i = 0; i < 4; ++i) {
        s.Rgb[i * 3 + 1] = greens[i];
    }
    const std::vector<uint8_t> mosaic = RenderMosaic(s, 750, 0);
    EXPECT_EQ(At(mosaic, 0, 0), 10);
    EXPECT_EQ(At(mosaic, 958, 1278), 10);
    EXPECT_EQ(At(mosaic, 0, 1280), 20);
    EXPECT_EQ(At(mosaic, 960, 0), 30);
    EXPECT_EQ(At(mosaic, 1919, 2559), 40);
}

TEST(SensorScene, InconsistentSceneRendersBlackInsteadOfReadingPastIt) {
    Scene s = Uniform(SENSOR_WIDTH, SENSOR_HEIGHT, 255, 255, 255);
    s.Rgb.resize(s.Rgb.size() / 2);
    for (const Scene& bad : {s, Scene()}) {
        const std::vector<uint8_t> mosaic = RenderMosaic(bad, 750, 0);
        ASSERT_EQ(mosaic.size(), size_t{SENSOR_WIDTH} * SENSOR_HEIGHT);
        EXPECT_EQ(std::count(mosaic.begin(), mosaic.end(), 0), static_cast<long>(mosaic.size()));
    }
}

// --- raw frame layout ------------------------------------------------------------------------------

// A mosaic in which no sample equals the filler, and neighbouring sites differ.
std::vector<uint8_t> PatternMosaic() {
    std::vector<uint8_t> m(size_t{SENSOR_WIDTH} * SENSOR_HEIGHT);
    for (size_t i = 0; i < m.size(); ++i) {
        m[i] = static_cast<uint8_t>(0x20 + (i * 7 + i / SENSOR_WIDTH * 13) % 200);
    }
    return m;
}

TEST(SensorRawLayout, SamplesLandAtTheirFieldOffsets) {
    const std::vector<uint8_t> mosaic = PatternMosaic();
    const std::vector<uint8_t> raw = LayoutRawFrame(mosaic);
    ASSERT_EQ(raw.size(), 5926912u);
    struct Site {
        int Row, Column;
        size_t Offset;
    } sites[] = {
        {0, 0, 14675},      {0, 2559, 17234},     {1, 0, 3089053},
        {1, 2559, 3091612}, {2, 0, 14675 + 2894}, {3, 5, 3089053 + 2899},
        {1918, 0, 2790021}, {1919, 0, 5864399},   {1919, 2559, 5866958},
    };
    for (const Site& s : sites) {
        EXPECT_EQ(raw[s.Offset], At(mosaic, s.Row, s.Column)) << "row " << s.Row << " column " << s.Column;
    }
}

TEST(SensorRawLayout, EverythingOutsideTheFieldsIsFiller) {
    const std::vector<uint8_t> raw = LayoutRawFrame(PatternMosaic());
    std::vector<bool> sample(raw.size(), false);
    for (size_t line = 0; line < 960; ++line) {
        for (size_t field : {size_t{14675}, size_t{3089053}}) {
            std::fill_n(sample.begin() + field + line * 2894, 2560, true);
        }
    }
    size_t samples = 0;
    size_t strayFiller = 0;
    size_t strayData = 0;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (sample[i]) {
            ++samples;
            strayFiller += raw[i] == RAW_FILLER;
        } else {
            strayData += raw[i] != RAW_FILLER;
        }
    }
    EXPECT_EQ(samples, size_t{SENSOR_WIDTH} * SENSOR_HEIGHT);
    EXPECT_EQ(strayFiller, 0u);
    EXPECT_EQ(strayData, 0u);
    EXPECT_TRUE(std::all_of(raw.begin() + 5866959, raw.end(), [](uint8_t b) { return b == RAW_FILLER; }));
    EXPECT_NE(raw[5866958], RAW_FILLER);
}

TEST(SensorRawLayout, ShortMosaicLeavesMissingSitesAsFiller) {
    std::vector<uint8_t> mosaic(SENSOR_WIDTH * 2 + 10, 0x99);
    const std::vector<uint8_t> raw = LayoutRawFrame(mosaic);
    ASSERT_EQ(raw.size(), RAW_FRAME_SIZE);
    EXPECT_EQ(raw[14675 + 2559], 0x99);     // row 0
    EXPECT_EQ(raw[3089053 + 2559], 0x99);   // row 1
    EXPECT_EQ(raw[14675 + 2894 + 9], 0x99); // row 2, partly given
    EXPECT_EQ(raw[14675 + 2894 + 10], RAW_FILLER);
    EXPECT_EQ(std::count(raw.begin(), raw.end(), 0x99), SENSOR_WIDTH * 2 + 10);
}

// The two per-frame fast paths give the same bytes as rendering a mosaic and laying it out, whatever the
// reused buffer held before.
class SensorFastPathTest : public testing::TestWithParam<std::pair<uint16_t, uint16_t>> {};

TEST_P(SensorFastPathTest, SameBytesAsMosaicThenLayout) {
    static const Scene chart = BuiltInChart();
    static const std::vector<uint8_t> unity = RenderMosaic(chart, 750, 0);
    const uint16_t exposure = GetParam().first;
    const uint16_t gain = GetParam().second;
    const std::vector<uint8_t> expected = LayoutRawFrame(RenderMosaic(chart, exposure, gain));

    std::vector<uint8_t> raw(100, 0xFF);
    RenderRawFrame(chart, exposure, gain, &raw);
    EXPECT_TRUE(raw == expected);
    std::fill(raw.begin(), raw.end(), 0xFF); // a caller scribbled over it
    RenderRawFrame(chart, exposure, gain, &raw);
    EXPECT_TRUE(raw == expected);

    std::vector<uint8_t> fromUnity(RAW_FRAME_SIZE + 7, 0xFF);
    LayoutRawFrame(unity, exposure, gain, &fromUnity);
    EXPECT_TRUE(fromUnity == expected);
}

INSTANTIATE_TEST_SUITE_P(Sensor, SensorFastPathTest,
                         testing::Values(std::make_pair(uint16_t{750}, uint16_t{0}),
                                         std::make_pair(uint16_t{1100}, uint16_t{300}),
                                         std::make_pair(uint16_t{200}, uint16_t{0}),
                                         std::make_pair(uint16_t{0}, uint16_t{0})));

} // namespace
} // namespace simcam
