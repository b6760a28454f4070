#include "tools/z40k/image_files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

#include <unistd.h>

#ifdef Z40K_HAVE_PNG
#include <csetjmp>
#include <png.h>
#include <zlib.h>
#endif

namespace z40k {
namespace {

void PutLe16(std::vector<uint8_t>& Out, uint32_t Value) {
    Out.push_back(uint8_t(Value));
    Out.push_back(uint8_t(Value >> 8));
}

void PutLe32(std::vector<uint8_t>& Out, uint32_t Value) {
    PutLe16(Out, Value & 0xFFFF);
    PutLe16(Out, Value >> 16);
}

bool WriteAll(std::FILE* File, const uint8_t* Bytes, size_t Length) {
    return Length == 0 || std::fwrite(Bytes, 1, Length, File) == Length;
}

// BITMAPFILEHEADER and BITMAPINFOHEADER of an uncompressed 24-bit bottom-up picture.
std::vector<uint8_t> BmpHeaders(int Width, int Height, uint32_t RowBytes) {
    const uint32_t pixelBytes = RowBytes * uint32_t(Height);
    std::vector<uint8_t> h;
    h.push_back('B');
    h.push_back('M');
    PutLe32(h, 54 + pixelBytes); // file size
    PutLe32(h, 0);               // reserved
    PutLe32(h, 54);              // offset of the pixel array
    PutLe32(h, 40);              // info header size
    PutLe32(h, uint32_t(Width));
    PutLe32(h, uint32_t(Height)); // positive: bottom row first, as the driver writes it
    PutLe16(h, 1);                // planes
    PutLe16(h, 24);               // bits per pixel
    PutLe32(h, 0);                // BI_RGB
    PutLe32(h, pixelBytes);
    PutLe32(h, 2835); // 72 dpi
    PutLe32(h, 2835);
    PutLe32(h, 0); // colours used
    PutLe32(h, 0); // important colours
    return h;
}

bool WriteBmp(std::FILE* File, const uint8_t* Frame, int Width, int Height, std::string* Error) {
    const uint32_t pitch = uint32_t(Width) * 3;
    const uint32_t rowBytes = (pitch + 3) & ~3u; // rows padded to 4 bytes; none for a width of 2560
    std::vector<uint8_t> headers = BmpHeaders(Width, Height, rowBytes);
    if (!WriteAll(File, headers.data(), headers.size()))
        return *Error = std::strerror(errno), false;
    const uint8_t padding[3] = {0, 0, 0};
    for (int row = 0; row < Height; ++row) {
        if (!WriteAll(File, Frame + size_t(row) * pitch, pitch) || !WriteAll(File, padding, rowBytes - pitch))
            return *Error = std::strerror(errno), false;
    }
    return true;
}

#ifdef Z40K_HAVE_PNG
bool WritePng(std::FILE* File, const uint8_t* Frame, int Width, int Height, std::string* Error) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        *Error = "cannot start the PNG writer";
        return false;
    }
    // PNG stores the top row first: point its rows at the buffer's rows from the last one back.
    std::vector<png_bytep> rows(static_cast<size_t>(Height));
    const size_t pitch = size_t(Width) * 3;
    for (int i = 0; i < Height; ++i)
        rows[size_t(i)] = const_cast<png_bytep>(Frame + size_t(Height - 1 - i) * pitch);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        *Error = "the PNG writer failed";
        return false;
    }
    png_init_io(png, File);
    png_set_IHDR(png, info, png_uint_32(Width), png_uint_32(Height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // A 14.7 MB picture at the camera's rate: fast beats small. The "up" filter alone (rows of a camera
    // picture are much like the row before) and run-length matches only make a chart frame in a third
    // of the time the adaptive filters with full matching take, and a noisy picture in half.
    png_set_compression_level(png, 1);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_UP);
    png_set_compression_strategy(png, Z_RLE);
    png_write_info(png, info);
    png_set_bgr(png); // the driver's bytes are blue, green, red
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}
#endif

} // namespace

// The file an output goes to. A regular file (or none yet) is replaced whole: written beside it and
// renamed over it, so a reader never sees half a picture. A symbolic link is followed, so the file it
// names is replaced and the link stays. Anything else that exists (a device such as /dev/null, a FIFO) is
// written in place (*InPlace), since a rename would put a regular file where it was.
std::filesystem::path OutputTarget(const std::string& Path, bool* InPlace) {
    std::error_code ec;
    std::filesystem::path target(Path);
    // Follow the links one by one (a link may name a file that does not exist yet), at most as deep as
    // the system would.
    for (int depth = 0; depth < 40 && std::filesystem::is_symlink(target, ec); ++depth) {
        const std::filesystem::path next = std::filesystem::read_symlink(target, ec);
        if (ec)
            break;
        target = next.is_absolute() ? next : target.parent_path() / next;
    }
    const std::filesystem::file_status status = std::filesystem::status(target, ec);
    *InPlace = std::filesystem::exists(status) && !std::filesystem::is_regular_file(status);
    return target;
}

bool ImageFormatFromPath(const std::string& Path, ImageFormat* Format) {
    std::string ext = std::filesystem::path(Path).extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (ext == ".bmp")
        *Format = ImageFormat::Bmp;
    else if (ext == ".png")
        *Format = ImageFormat::Png;
    else if (ext == ".raw")
        *Format = ImageFormat::Raw;
    else
        return false;
    return true;
}

bool PngSupported() {
#ifdef Z40K_HAVE_PNG
    return true;
#else
    return false;
#endif
}

bool WriteImageFile(const std::string& Path, ImageFormat Format, const uint8_t* Frame, size_t Length,
                    int Width, int Height, std::string* Error) {
    if (Format != ImageFormat::Raw &&
        (Width <= 0 || Height <= 0 || Length < size_t(Width) * size_t(Height) * 3)) {
        *Error = "the frame buffer is smaller than the picture";
        return false;
    }
    if (Format == ImageFormat::Png && !PngSupported()) {
        *Error = "this build has no PNG support";
        return false;
    }
    bool inPlace = false;
    const std::filesystem::path target = OutputTarget(Path, &inPlace);
    const std::filesystem::path temporary =
        inPlace ? target
                : target.parent_path() /
                      ("." + target.filename().string() + ".tmp-" + std::to_string(::getpid()));
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        *Error = Path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = false;
    switch (Format) {
    case ImageFormat::Bmp:
        ok = WriteBmp(file, Frame, Width, Height, Error);
        break;
    case ImageFormat::Png:
#ifdef Z40K_HAVE_PNG
        ok = WritePng(file, Frame, Width, Height, Error);
#endif
        break;
    case ImageFormat::Raw:
        ok = WriteAll(file, Frame, Length);
        if (!ok)
            *Error = std::strerror(errno);
        break;
    }
    if (std::fclose(file) != 0 && ok) {
        ok = false;
        *Error = std::strerror(errno);
    }
    if (ok && !inPlace && std::rename(temporary.c_str(), target.c_str()) != 0) {
        ok = false;
        *Error = std::strerror(errno);
    }
    if (!ok) {
        if (!inPlace)
            std::remove(temporary.c_str());
        *Error = Path + ": " + *Error;
    }
    return ok;
}

bool EncodeImage(ImageFormat Format, const uint8_t* Frame, int Width, int Height, std::vector<uint8_t>* Out,
                 std::string* Error) {
    if (Format == ImageFormat::Raw || (Format == ImageFormat::Png && !PngSupported())) {
        *Error = "no picture encoder for this format";
        return false;
    }
    char* data = nullptr;
    size_t size = 0;
    std::FILE* stream = ::open_memstream(&data, &size);
    if (stream == nullptr) {
        *Error = std::strerror(errno);
        return false;
    }
    bool ok = false;
#ifdef Z40K_HAVE_PNG
    if (Format == ImageFormat::Png)
        ok = WritePng(stream, Frame, Width, Height, Error);
#endif
    if (Format == ImageFormat::Bmp)
        ok = WriteBmp(stream, Frame, Width, Height, Error);
    if (std::fclose(stream) != 0 && ok) {
        ok = false;
        *Error = std::strerror(errno);
    }
    if (ok)
        Out->assign(data, data + size);
    std::free(data);
    return ok;
}

} // namespace z40k
