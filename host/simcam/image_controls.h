// The camera's image controls, as its firmware applies them to what the sensor looks at, before the
// mosaic. The host sets each with request 2 (controls 1 to 5); a step past a control's top acts as the
// top step. Step 0 of every control leaves the picture exactly as it is, and each step goes further in
// one direction. On 8-bit values v, rounded to nearest and clamped to 0..255, in this order:
//
//   white balance (control 1, steps 0..33)  warmer: red x (66 + w) / 66, blue x (66 - w) / 66
//   saturation (control 5, steps 0..9)      away from grey: each channel Y + (v - Y) x (8 + s) / 8, with
//                                           Y = (77 R + 150 G + 29 B) / 256, the pixel's luma
//   contrast (control 4, steps 0..9)        away from mid-grey: 128 + (v - 128) x (8 + c) / 8
//   brightness (control 2, steps 0..9)      lighter: v + 16 b
//   sharpness (control 3, steps 0..9)       an unsharp mask: v + (v - m) x h / 4, with m the mean of the
//                                           pixel and its four neighbours (an edge pixel repeats itself
//                                           for a neighbour it lacks)
#pragma once

#include "host/simcam/scene.h"

#include <cstdint>

namespace simcam {

constexpr uint16_t IMAGE_STEP_MAX = 9;
constexpr uint16_t WHITE_BALANCE_STEP_MAX = 33;

struct ImageControls {
    uint8_t WhiteBalance = 0;
    uint8_t Brightness = 0;
    uint8_t Sharpness = 0;
    uint8_t Contrast = 0;
    uint8_t Saturation = 0;
    bool Neutral() const { return (WhiteBalance | Brightness | Sharpness | Contrast | Saturation) == 0; }
    bool operator==(const ImageControls& Other) const {
        return WhiteBalance == Other.WhiteBalance && Brightness == Other.Brightness &&
               Sharpness == Other.Sharpness && Contrast == Other.Contrast && Saturation == Other.Saturation;
    }
    bool operator!=(const ImageControls& Other) const { return !(*this == Other); }
};

// Controls as the firmware keeps them: the step each of controls 1 to 5 last received, cut to its top.
// Control is the request's index; any other control leaves them as they are.
void SetImageControl(ImageControls* Controls, uint16_t Control, uint16_t Step);

// Picture with the controls applied (a picture that is not Width x Height x 3 comes back as it is).
Scene ApplyImageControls(const Scene& Picture, const ImageControls& Controls);

} // namespace simcam
