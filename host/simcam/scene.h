// Scenes for the simulated sensor: the built-in chart and pictures read from files, and the resampling
// that brings any picture to the sensor's size.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simcam {

// A picture the sensor looks at: 8-bit RGB, top row first.
struct Scene {
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Rgb; // Width * Height * 3, R G B order
};
Scene BuiltInChart(); // a colour chart with grey steps, 2560 x 1920
// Loads a BMP (24-bit) or PNG picture; returns false with *Error set on failure.
bool LoadScene(const std::string& File, Scene* Out, std::string* Error);

// Largest picture LoadScene accepts, in pixels (a 8192 x 8192 picture); larger ones are refused before
// anything is allocated for them.
constexpr int64_t SCENE_MAX_PIXELS = 64ll * 1024 * 1024;

// Decodes a BMP or PNG picture held in memory, at its own size; false with *Error set (a reason without
// the file's name) when it is neither or is malformed.
bool DecodeScene(const std::vector<uint8_t>& Bytes, Scene* Out, std::string* Error);

// Resamples Picture to Width x Height: bilinear along an axis that grows or keeps its size (a picture of
// the target size comes back unchanged), area average along an axis that shrinks, so fine detail is
// averaged rather than aliased. Width and Height must be positive; an unusable picture (empty, or Rgb not
// Width x Height x 3) gives a black one.
Scene ResampleScene(const Scene& Picture, int Width, int Height);

} // namespace simcam
