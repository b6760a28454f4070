// The firmware's image controls on a picture: step 0 changes nothing, each control at a step gives the
// values its documented transform gives, and a step past a control's top acts as the top.
#include "host/simcam/image_controls.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using simcam::ImageControls;
using simcam::Scene;

// Three pixels in a row, R G B each: a warm colour, a cool one, mid-grey.
Scene Row() {
    Scene s;
    s.Width = 3;
    s.Height = 1;
    s.Rgb = {90, 60, 30, 20, 100, 200, 128, 128, 128};
    return s;
}

TEST(ImageControls, EachControlGivesItsDocumentedTransform) {
    struct Case {
        const char* Name;
        uint16_t Control;
        uint16_t Step;
        std::vector<uint8_t> Rgb;
    };
    const Case cases[] = {
        // red x (66 + 10) / 66, blue x (66 - 10) / 66
        {"white balance", 1, 10, {104, 60, 25, 23, 100, 170, 147, 128, 109}},
        // + 16 x 4
        {"brightness", 2, 4, {154, 124, 94, 84, 164, 255, 192, 192, 192}},
        // 128 + (v - 128) x 12 / 8
        {"contrast", 4, 4, {71, 26, 0, 0, 86, 236, 128, 128, 128}},
        // lumas 66, 87 and 128: luma + (v - luma) x 12 / 8
        {"saturation", 5, 4, {102, 57, 12, 0, 107, 255, 128, 128, 128}},
        // v + (v - mean of itself and its four neighbours) x 4 / 4, a missing neighbour the pixel itself
        {"sharpness", 3, 4, {104, 52, 0, 0, 102, 248, 150, 134, 114}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ImageControls controls;
        simcam::SetImageControl(&controls, c.Control, c.Step);
        const Scene out = simcam::ApplyImageControls(Row(), controls);
        EXPECT_EQ(out.Rgb, c.Rgb);
        EXPECT_EQ(out.Width, 3);
        simcam::SetImageControl(&controls, c.Control, 0);
        EXPECT_TRUE(controls.Neutral());
        EXPECT_EQ(simcam::ApplyImageControls(Row(), controls).Rgb, Row().Rgb) << "step 0 leaves the picture";
    }
    ImageControls top;
    simcam::SetImageControl(&top, 2, 12);
    simcam::SetImageControl(&top, 1, 40);
    simcam::SetImageControl(&top, 8, 5);
    EXPECT_EQ(top.Brightness, 9);
    EXPECT_EQ(top.WhiteBalance, 33);
    EXPECT_EQ(top.Contrast | top.Saturation | top.Sharpness, 0) << "control 8 is none of them";
}

} // namespace
