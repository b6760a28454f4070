#include "tools/z40k/serve_encode.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>

namespace z40k {

namespace {

// Good enough to judge focus and colour on a preview; the size of a full frame stays near 1 MB.
constexpr int JPEG_QUALITY = 80;

} // namespace

bool ValidServeScale(int Scale) {
    return std::find(std::begin(SERVE_SCALES), std::end(SERVE_SCALES), Scale) != std::end(SERVE_SCALES);
}

namespace {

// One scale per instance, so that the block loops unroll and the mean is a shift (the block's area is
// a power of two), not a division per byte.
template <int Scale>
void ReduceBlocks(const uint8_t* Frame, int Width, int Height, uint8_t* Out, uint16_t* Sums) {
    constexpr int AREA_SHIFT = Scale == 2 ? 2 : 4;
    static_assert(Scale == 2 || Scale == 4, "2 x 2 or 4 x 4 blocks");
    const int outWidth = Width / Scale;
    const size_t pitch = size_t(Width) * 3;
    for (int y = 0; y < Height / Scale; ++y) {
        // Column sums of the block's lines first: a plain add over whole rows, which the compiler
        // vectorises; then each block's columns. At most 4 x 255 per column, so 16 bits hold it.
        const uint8_t* row = Frame + size_t(y) * Scale * pitch;
        for (size_t i = 0; i < pitch; ++i)
            Sums[i] = row[i];
        for (int line = 1; line < Scale; ++line) {
            row += pitch;
            for (size_t i = 0; i < pitch; ++i)
                Sums[i] = static_cast<uint16_t>(Sums[i] + row[i]);
        }
        uint8_t* out = Out + size_t(y) * outWidth * 3;
        for (int x = 0; x < outWidth; ++x) {
            const uint16_t* block = Sums + size_t(x) * Scale * 3;
            for (int c = 0; c < 3; ++c) {
                uint32_t sum = 0;
                for (int k = 0; k < Scale; ++k)
                    sum += block[k * 3 + c];
                out[x * 3 + c] = static_cast<uint8_t>((sum + (1u << (AREA_SHIFT - 1))) >> AREA_SHIFT);
            }
        }
    }
}

} // namespace

void ReduceFrame(const uint8_t* Frame, int Width, int Height, int Scale, uint8_t* Out, uint16_t* Sums) {
    if (Scale == 2)
        ReduceBlocks<2>(Frame, Width, Height, Out, Sums);
    else if (Scale == 4)
        ReduceBlocks<4>(Frame, Width, Height, Out, Sums);
}

JpegEncoder::JpegEncoder() : handle_(tjInitCompress()) {}

JpegEncoder::~JpegEncoder() {
    if (handle_ != nullptr)
        tjDestroy(static_cast<tjhandle>(handle_));
}

bool JpegEncoder::Encode(const uint8_t* Frame, int Width, int Height, int Scale, std::vector<uint8_t>* Out) {
    if (handle_ == nullptr || !ValidServeScale(Scale) || Width % Scale != 0 || Height % Scale != 0)
        return false;
    const uint8_t* source = Frame;
    const int width = Width / Scale;
    const int height = Height / Scale;
    if (Scale != 1) {
        reduced_.resize(size_t(width) * height * 3);
        sums_.resize(size_t(Width) * 3);
        ReduceFrame(Frame, Width, Height, Scale, reduced_.data(), sums_.data());
        source = reduced_.data();
    }
    // Into a buffer kept from frame to frame, then copied out at its exact size: the viewers share the
    // copy, and the worst-case buffer is larger than the frame itself.
    compressed_.resize(tjBufSize(width, height, TJSAMP_420));
    unsigned char* jpeg = compressed_.data();
    unsigned long size = static_cast<unsigned long>(compressed_.size());
    // The driver's rows run bottom to top; the flag turns the picture upright.
    if (tjCompress2(static_cast<tjhandle>(handle_), source, width, 0, height, TJPF_BGR, &jpeg, &size,
                    TJSAMP_420, JPEG_QUALITY, TJFLAG_BOTTOMUP | TJFLAG_FASTDCT | TJFLAG_NOREALLOC) != 0)
        return false;
    Out->assign(compressed_.data(), compressed_.data() + size);
    return true;
}

} // namespace z40k
