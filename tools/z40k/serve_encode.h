// The live view's JPEG pictures of the driver's frames, at full size or reduced.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace z40k {

// The reductions a viewer may ask for: every pixel, or the mean of each 2 x 2 or 4 x 4 block.
constexpr int SERVE_SCALES[] = {1, 2, 4};
bool ValidServeScale(int Scale);

// One encoder per thread: it keeps the library's compressor and its working buffers between frames.
class JpegEncoder {
  public:
    JpegEncoder();
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // Frame is the driver's RGB24 image (blue, green, red; rows of 3 x Width bytes, bottom row first).
    // Out gets the JPEG of it reduced by Scale (1, 2 or 4; Width and Height divisible by it), upright.
    // False when the encoder fails.
    bool Encode(const uint8_t* Frame, int Width, int Height, int Scale, std::vector<uint8_t>* Out);

  private:
    void* handle_;
    std::vector<uint8_t> reduced_;
    std::vector<uint16_t> sums_;
    std::vector<uint8_t> compressed_;
};

// The mean of each Scale x Scale block of Frame (BGR rows, any order; Scale at most 4), rounded to
// nearest, rows kept in the same order. Sums is room for 3 x Width column sums.
void ReduceFrame(const uint8_t* Frame, int Width, int Height, int Scale, uint8_t* Out, uint16_t* Sums);

} // namespace z40k
