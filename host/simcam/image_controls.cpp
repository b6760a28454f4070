#include "host/simcam/image_controls.h"

#include <algorithm>

namespace simcam {
namespace {

uint8_t Clamp(int Value) {
    return static_cast<uint8_t>(std::min(255, std::max(0, Value)));
}

// Numerator x / Denominator rounded to nearest, halves away from zero.
int DivideRounded(int Numerator, int Denominator) {
    return Numerator >= 0 ? (Numerator + Denominator / 2) / Denominator
                          : -((-Numerator + Denominator / 2) / Denominator);
}

// White balance, contrast and brightness work on each value alone: one table per channel.
void BuildTables(const ImageControls& Controls, uint8_t Tables[3][256], bool AfterSaturation) {
    for (int channel = 0; channel < 3; ++channel) {
        for (int v = 0; v < 256; ++v) {
            int value = v;
            if (!AfterSaturation) {
                if (channel == 0)
                    value = Clamp(DivideRounded(value * (66 + Controls.WhiteBalance), 66));
                else if (channel == 2)
                    value = Clamp(DivideRounded(value * (66 - Controls.WhiteBalance), 66));
            } else {
                value = Clamp(128 + DivideRounded((value - 128) * (8 + Controls.Contrast), 8));
                value = Clamp(value + 16 * Controls.Brightness);
            }
            Tables[channel][v] = static_cast<uint8_t>(value);
        }
    }
}

void Saturate(std::vector<uint8_t>* Rgb, int Step) {
    for (size_t i = 0; i + 2 < Rgb->size(); i += 3) {
        uint8_t* p = &(*Rgb)[i];
        const int luma = (77 * p[0] + 150 * p[1] + 29 * p[2] + 128) >> 8;
        for (int c = 0; c < 3; ++c)
            p[c] = Clamp(luma + DivideRounded((p[c] - luma) * (8 + Step), 8));
    }
}

//        up
//   left  v  right     m = (v + up + down + left + right) / 5
//       down
void Sharpen(Scene* Picture, int Step) {
    const std::vector<uint8_t> source = Picture->Rgb;
    const int width = Picture->Width;
    const int height = Picture->Height;
    for (int y = 0; y < height; ++y) {
        const int up = std::max(y - 1, 0);
        const int down = std::min(y + 1, height - 1);
        for (int x = 0; x < width; ++x) {
            const int left = std::max(x - 1, 0);
            const int right = std::min(x + 1, width - 1);
            for (int c = 0; c < 3; ++c) {
                auto at = [&](int X, int Y) { return int{source[(size_t(Y) * width + X) * 3 + c]}; };
                const int v = at(x, y);
                const int sum = v + at(x, up) + at(x, down) + at(left, y) + at(right, y);
                const int mean = DivideRounded(sum, 5);
                Picture->Rgb[(size_t(y) * width + x) * 3 + c] =
                    Clamp(v + DivideRounded((v - mean) * Step, 4));
            }
        }
    }
}

void ApplyTables(std::vector<uint8_t>* Rgb, const uint8_t Tables[3][256]) {
    for (size_t i = 0; i + 2 < Rgb->size(); i += 3) {
        for (int c = 0; c < 3; ++c)
            (*Rgb)[i + c] = Tables[c][(*Rgb)[i + c]];
    }
}

} // namespace

void SetImageControl(ImageControls* Controls, uint16_t Control, uint16_t Step) {
    const uint8_t image = static_cast<uint8_t>(std::min(Step, IMAGE_STEP_MAX));
    switch (Control) {
    case 1:
        Controls->WhiteBalance = static_cast<uint8_t>(std::min(Step, WHITE_BALANCE_STEP_MAX));
        break;
    case 2:
        Controls->Brightness = image;
        break;
    case 3:
        Controls->Sharpness = image;
        break;
    case 4:
        Controls->Contrast = image;
        break;
    case 5:
        Controls->Saturation = image;
        break;
    default:
        break;
    }
}

Scene ApplyImageControls(const Scene& Picture, const ImageControls& Controls) {
    Scene out = Picture;
    if (Controls.Neutral() || Picture.Width <= 0 || Picture.Height <= 0 ||
        Picture.Rgb.size() != size_t(Picture.Width) * size_t(Picture.Height) * 3)
        return out;
    uint8_t tables[3][256];
    if (Controls.WhiteBalance != 0) {
        BuildTables(Controls, tables, false);
        ApplyTables(&out.Rgb, tables);
    }
    if (Controls.Saturation != 0)
        Saturate(&out.Rgb, Controls.Saturation);
    if (Controls.Contrast != 0 || Controls.Brightness != 0) {
        BuildTables(Controls, tables, true);
        ApplyTables(&out.Rgb, tables);
    }
    if (Controls.Sharpness != 0)
        Sharpen(&out, Controls.Sharpness);
    return out;
}

} // namespace simcam
