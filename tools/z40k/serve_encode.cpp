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

void ReduceFrame(const uint8_t* Frame, int Width, int Height, int Scale, uint8_t* Out, uint32_t* Sums) {
    const int outWidth = Width / Scale;
    const int outHeight = Height / Scale;
    const size_t pitch = size_t(Width) * 3;
    const uint32_t area = uint32_t(Scale) * uint32_t(Scale);
    for (int y = 0; y < outHeight; ++y) {
        std::fill(Sums, Sums + size_t(outWidth) * 3, 0u);
        for (int line = 0; line < Scale; ++line) {
            const uint8_t* row = Frame + size_t(y * Scale + line) * pitch;
            for (int x = 0; x < outWidth; ++x) {
                uint32_t* sum = Sums + size_t(x) * 3;
                const uint8_t* pixel = row + size_t(x) * Scale * 3;
                for (int k = 0; k < Scale; ++k, pixel += 3) {
                    sum[0] += pixel[0];
                    sum[1] += pixel[1];
                    sum[2] += pixel[2];
                }
            }
        }
        uint8_t* out = Out + size_t(y) * outWidth * 3;
        for (size_t i = 0; i < size_t(outWidth) * 3; ++i)
            out[i] = static_cast<uint8_t>((Sums[i] + area / 2) / area);
    }
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
        sums_.resize(size_t(width) * 3);
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
