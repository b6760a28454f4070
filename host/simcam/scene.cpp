// What the simulated sensor looks at: a built-in test chart, or a BMP or PNG picture from a file,
// resampled to the sensor's 2560 x 1920 sites.
#include "host/simcam/scene.h"

#include "host/simcam/sensor.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#ifdef Z40K_HAVE_PNG
#include <png.h>
#endif

namespace simcam {

namespace {

// ---------------------------------------------------------------------------------------------------
// The built-in chart
// ---------------------------------------------------------------------------------------------------

struct Rgb {
    uint8_t R, G, B;
};

void FillRect(Scene* S, int X0, int Y0, int X1, int Y1, Rgb C) {
    X0 = std::max(X0, 0);
    Y0 = std::max(Y0, 0);
    X1 = std::min(X1, S->Width);
    Y1 = std::min(Y1, S->Height);
    for (int y = Y0; y < Y1; ++y) {
        uint8_t* p = S->Rgb.data() + (static_cast<size_t>(y) * S->Width + X0) * 3;
        for (int x = X0; x < X1; ++x, p += 3) {
            p[0] = C.R;
            p[1] = C.G;
            p[2] = C.B;
        }
    }
}

// The 24 patches of the familiar colour rendition chart, in sRGB, row by row: natural colours, a
// row of miscellaneous colours, the primaries and secondaries, and a neutral row from white to black.
constexpr Rgb CHECKER[24] = {
    {115, 82, 68},   {194, 150, 130}, {98, 122, 157},  {87, 108, 67},   {133, 128, 177}, {103, 189, 170},
    {214, 126, 44},  {80, 91, 166},   {193, 90, 99},   {94, 60, 108},   {157, 188, 64},  {224, 163, 46},
    {56, 61, 150},   {70, 148, 73},   {175, 54, 60},   {231, 199, 31},  {187, 86, 149},  {8, 133, 161},
    {243, 243, 242}, {200, 200, 200}, {160, 160, 160}, {122, 122, 121}, {85, 85, 85},    {52, 52, 52},
};

// Fully saturated primaries and secondaries: each lights only one or two classes of sensor site.
constexpr Rgb SATURATED[6] = {
    {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {0, 255, 255}, {255, 0, 255}, {255, 255, 0},
};

constexpr Rgb CARD = {48, 48, 48};
constexpr Rgb WHITE = {255, 255, 255};
constexpr Rgb BLACK = {0, 0, 0};

// A 5 x 7 pixel font for the chart's labels; bit 4 of each row is the leftmost column.
struct Glyph {
    char Character;
    uint8_t Rows[7];
};
constexpr Glyph FONT[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}}, {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}}, {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}}, {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}}, {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}}, {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {'A', {0x0E, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'C', {0x0E, 0x11, 0x10, 0x10, 0x10, 0x11, 0x0E}},
    {'H', {0x11, 0x11, 0x11, 0x1F, 0x11, 0x11, 0x11}}, {'K', {0x11, 0x12, 0x14, 0x18, 0x14, 0x12, 0x11}},
    {'R', {0x1E, 0x11, 0x11, 0x1E, 0x14, 0x12, 0x11}}, {'T', {0x1F, 0x04, 0x04, 0x04, 0x04, 0x04, 0x04}},
    {'Z', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x10, 0x1F}},
};

// Draws Text with its top-left corner at (X, Y), each font pixel Scale x Scale; a character the font
// lacks leaves a blank cell.
void DrawText(Scene* S, int X, int Y, const char* Text, int Scale, Rgb C) {
    for (; *Text != '\0'; ++Text, X += 6 * Scale) {
        const Glyph* glyph = nullptr;
        for (const Glyph& g : FONT) {
            if (g.Character == *Text) {
                glyph = &g;
            }
        }
        if (glyph == nullptr) {
            continue;
        }
        for (int row = 0; row < 7; ++row) {
            for (int column = 0; column < 5; ++column) {
                if (glyph->Rows[row] & (0x10 >> column)) {
                    FillRect(S, X + column * Scale, Y + row * Scale, X + (column + 1) * Scale,
                             Y + (row + 1) * Scale, C);
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------------------------------
// Reading pictures
// ---------------------------------------------------------------------------------------------------

uint16_t Le16(const uint8_t* P) {
    return static_cast<uint16_t>(P[0] | P[1] << 8);
}
uint32_t Le32(const uint8_t* P) {
    return static_cast<uint32_t>(P[0]) | static_cast<uint32_t>(P[1]) << 8 |
           static_cast<uint32_t>(P[2]) << 16 | static_cast<uint32_t>(P[3]) << 24;
}

bool ReadWholeFile(const std::string& File, std::vector<uint8_t>* Bytes, std::string* Error) {
    FILE* f = std::fopen(File.c_str(), "rb");
    if (f == nullptr) {
        *Error = "cannot open: " + std::string(std::strerror(errno));
        return false;
    }
    Bytes->clear();
    uint8_t chunk[65536];
    size_t n;
    bool failed = false;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        // A picture of the largest accepted size in 32-bit BMP is 256 MB; anything much larger is not
        // a picture we would take.
        if (Bytes->size() + n > static_cast<size_t>(SCENE_MAX_PIXELS) * 4 + (1u << 20)) {
            std::fclose(f);
            *Error = "file too large for a picture";
            return false;
        }
        Bytes->insert(Bytes->end(), chunk, chunk + n);
    }
    failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        *Error = "cannot read: " + std::string(std::strerror(errno));
        return false;
    }
    return true;
}

// One channel of a 32-bit BI_BITFIELDS pixel: where its mask sits and how wide it is.
struct ChannelMask {
    uint32_t Mask = 0;
    int Shift = 0;
    int Bits = 0;
    bool Set(uint32_t M) {
        Mask = M;
        if (M == 0) {
            return false;
        }
        while (((M >> Shift) & 1) == 0) {
            ++Shift;
        }
        uint32_t v = M >> Shift;
        while (Bits < 32 && (v & 1)) {
            ++Bits;
            v >>= 1;
        }
        return v == 0; // the mask's bits must be contiguous
    }
    uint8_t Extract(uint32_t Pixel) const {
        uint32_t v = (Pixel & Mask) >> Shift;
        if (Bits >= 8) {
            return static_cast<uint8_t>(v >> (Bits - 8));
        }
        return static_cast<uint8_t>(v * 255 / ((1u << Bits) - 1));
    }
};

constexpr size_t BMP_FILE_HEADER = 14;
constexpr uint32_t BI_RGB = 0;
constexpr uint32_t BI_BITFIELDS = 3;

// What a BMP's two headers say about its pixels.
struct BmpLayout {
    uint32_t PixelOffset;
    uint32_t InfoSize;
    int64_t Width;
    int64_t Height; // positive; TopDown says which way the rows run
    bool TopDown;
    uint32_t BitCount;
    uint32_t Compression;
};

// The file and information headers (the 12-byte core header or a 40-byte or larger one), and a picture
// size we take.
bool ReadBmpHeaders(const std::vector<uint8_t>& B, BmpLayout* L, std::string* Error) {
    if (B.size() < BMP_FILE_HEADER + 12) {
        *Error = "malformed BMP: file too short for its headers";
        return false;
    }
    L->PixelOffset = Le32(&B[10]);
    L->InfoSize = Le32(&B[14]);
    L->Compression = BI_RGB;
    if (L->InfoSize == 12) { // BITMAPCOREHEADER
        L->Width = Le16(&B[18]);
        L->Height = Le16(&B[20]);
        L->BitCount = Le16(&B[24]);
    } else if (L->InfoSize >= 40 && L->InfoSize <= 1024) {
        if (B.size() < BMP_FILE_HEADER + L->InfoSize) {
            *Error = "malformed BMP: file too short for its headers";
            return false;
        }
        L->Width = static_cast<int32_t>(Le32(&B[18]));
        L->Height = static_cast<int32_t>(Le32(&B[22]));
        L->BitCount = Le16(&B[28]);
        L->Compression = Le32(&B[30]);
    } else {
        *Error = "malformed BMP: unknown header size " + std::to_string(L->InfoSize);
        return false;
    }

    // Rows are stored bottom-up unless the height is negative.
    L->TopDown = L->Height < 0;
    L->Height = L->TopDown ? -L->Height : L->Height;
    const std::string size = std::to_string(L->Width) + " x " + std::to_string(L->Height) + " pixels";
    if (L->Width <= 0 || L->Height <= 0) {
        *Error = "malformed BMP: picture of " + size;
        return false;
    }
    if (L->Width * L->Height > SCENE_MAX_PIXELS) {
        *Error = "picture too large (" + size + ")";
        return false;
    }
    return true;
}

// Where the red, green and blue of a 32-bit pixel sit; a 24-bit picture needs no masks. Only
// uncompressed 24- and 32-bit pictures and 32-bit bit fields are taken.
bool ReadBmpMasks(const std::vector<uint8_t>& B, const BmpLayout& L, ChannelMask Masks[3],
                  std::string* Error) {
    if (L.BitCount == 24 && L.Compression == BI_RGB) {
        return true;
    }
    if (L.BitCount == 32 && L.Compression == BI_RGB) {
        Masks[0].Set(0x00FF0000);
        Masks[1].Set(0x0000FF00);
        Masks[2].Set(0x000000FF);
        return true;
    }
    if (L.BitCount == 32 && L.Compression == BI_BITFIELDS) {
        // The three masks follow the 40-byte header, or sit at the same place inside a larger one.
        if (B.size() < BMP_FILE_HEADER + 40 + 12) {
            *Error = "malformed BMP: file too short for its colour masks";
            return false;
        }
        for (int i = 0; i < 3; ++i) {
            if (!Masks[i].Set(Le32(&B[BMP_FILE_HEADER + 40 + 4 * i]))) {
                *Error = "unsupported BMP: colour masks that are empty or not contiguous";
                return false;
            }
        }
        return true;
    }
    *Error = "unsupported BMP (" + std::to_string(L.BitCount) + " bits per pixel, compression " +
             std::to_string(L.Compression) + "); only uncompressed 24- and 32-bit pictures are read";
    return false;
}

// Copies the stored rows, top row first, as RGB. The pixel data has been checked to be there.
void ConvertBmpRows(const std::vector<uint8_t>& B, const BmpLayout& L, const ChannelMask Masks[3],
                    int64_t Stride, Scene* Out) {
    for (int64_t y = 0; y < L.Height; ++y) {
        const int64_t storedRow = L.TopDown ? y : L.Height - 1 - y;
        const uint8_t* in = B.data() + L.PixelOffset + storedRow * Stride;
        uint8_t* out = Out->Rgb.data() + y * L.Width * 3;
        if (L.BitCount == 24) {
            for (int64_t x = 0; x < L.Width; ++x, in += 3, out += 3) {
                out[0] = in[2];
                out[1] = in[1];
                out[2] = in[0];
            }
        } else {
            // The alpha or unused byte is ignored: the sensor sees the picture as opaque.
            for (int64_t x = 0; x < L.Width; ++x, in += 4, out += 3) {
                const uint32_t pixel = Le32(in);
                out[0] = Masks[0].Extract(pixel);
                out[1] = Masks[1].Extract(pixel);
                out[2] = Masks[2].Extract(pixel);
            }
        }
    }
}

bool DecodeBmp(const std::vector<uint8_t>& B, Scene* Out, std::string* Error) {
    BmpLayout layout;
    ChannelMask masks[3]; // red, green, blue
    if (!ReadBmpHeaders(B, &layout, Error) || !ReadBmpMasks(B, layout, masks, Error)) {
        return false;
    }
    const int64_t bytesPerPixel = layout.BitCount / 8;
    const int64_t stride = (layout.Width * layout.BitCount + 31) / 32 * 4;
    // Some writers leave out the padding after the last row, so only the last row's pixels must be there.
    const int64_t needed = static_cast<int64_t>(layout.PixelOffset) + stride * (layout.Height - 1) +
                           layout.Width * bytesPerPixel;
    if (layout.PixelOffset < BMP_FILE_HEADER + layout.InfoSize || needed > static_cast<int64_t>(B.size())) {
        *Error = "malformed BMP: pixel data missing or cut short";
        return false;
    }
    Out->Width = static_cast<int>(layout.Width);
    Out->Height = static_cast<int>(layout.Height);
    Out->Rgb.resize(static_cast<size_t>(layout.Width * layout.Height * 3));
    ConvertBmpRows(B, layout, masks, stride, Out);
    return true;
}

bool DecodePng(const std::vector<uint8_t>& B, Scene* Out, std::string* Error) {
#ifdef Z40K_HAVE_PNG
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, B.data(), B.size())) {
        *Error = std::string("malformed PNG: ") + image.message;
        png_image_free(&image);
        return false;
    }
    if (static_cast<int64_t>(image.width) * image.height > SCENE_MAX_PIXELS) {
        *Error = "picture too large (" + std::to_string(image.width) + " x " + std::to_string(image.height) +
                 " pixels)";
        png_image_free(&image);
        return false;
    }
    // Any depth, palette or grey picture comes out as 8-bit sRGB; transparency is laid over black.
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    png_color black = {0, 0, 0};
    if (!png_image_finish_read(&image, &black, pixels.data(), 0, nullptr)) {
        *Error = std::string("malformed PNG: ") + image.message;
        png_image_free(&image);
        return false;
    }
    Out->Width = static_cast<int>(image.width);
    Out->Height = static_cast<int>(image.height);
    Out->Rgb = std::move(pixels);
    png_image_free(&image);
    return true;
#else
    (void)B;
    (void)Out;
    *Error = "PNG pictures cannot be read: this build has no PNG support (libpng was not found)";
    return false;
#endif
}

// ---------------------------------------------------------------------------------------------------
// Resampling
// ---------------------------------------------------------------------------------------------------

// The source samples that make up one destination sample along one axis, with their weights.
struct Tap {
    int Index;
    float Weight;
};
struct AxisTaps {
    std::vector<int> First; // per destination sample, its first tap; First[d + 1] ends it
    std::vector<Tap> Taps;
};

AxisTaps ComputeTaps(int Source, int Destination) {
    AxisTaps axis;
    axis.First.reserve(static_cast<size_t>(Destination) + 1);
    const double scale = static_cast<double>(Source) / Destination;
    for (int d = 0; d < Destination; ++d) {
        axis.First.push_back(static_cast<int>(axis.Taps.size()));
        if (Destination >= Source) {
            // Bilinear between the two source samples around the destination sample's centre. With
            // equal sizes the position falls exactly on a source sample and its weight is 1.
            double x = std::clamp((d + 0.5) * scale - 0.5, 0.0, static_cast<double>(Source - 1));
            int x0 = static_cast<int>(x);
            int x1 = std::min(x0 + 1, Source - 1);
            double f = x - x0;
            axis.Taps.push_back({x0, static_cast<float>(1.0 - f)});
            if (f > 0 && x1 != x0) {
                axis.Taps.push_back({x1, static_cast<float>(f)});
            }
        } else {
            // Area average: each source sample weighs by how much of it the destination sample covers.
            double start = d * scale;
            double end = (d + 1) * scale;
            int first = static_cast<int>(start);
            int last = std::min(static_cast<int>(std::ceil(end)), Source) - 1;
            for (int i = first; i <= last; ++i) {
                double overlap = std::min(end, i + 1.0) - std::max(start, static_cast<double>(i));
                if (overlap > 0) {
                    axis.Taps.push_back({i, static_cast<float>(overlap / scale)});
                }
            }
        }
    }
    axis.First.push_back(static_cast<int>(axis.Taps.size()));
    return axis;
}

} // namespace

Scene ResampleScene(const Scene& Picture, int Width, int Height) {
    Scene out;
    out.Width = std::max(Width, 0);
    out.Height = std::max(Height, 0);
    out.Rgb.assign(static_cast<size_t>(out.Width) * out.Height * 3, 0);
    const bool usable = Picture.Width > 0 && Picture.Height > 0 &&
                        Picture.Rgb.size() == static_cast<size_t>(Picture.Width) * Picture.Height * 3;
    if (!usable || out.Rgb.empty()) {
        return out;
    }
    if (Picture.Width == Width && Picture.Height == Height) {
        out.Rgb = Picture.Rgb;
        return out;
    }

    // One output row at a time: blend the source rows it covers into one row of the source's width,
    // then resample that row across. Only one row of intermediate values is ever held.
    const AxisTaps across = ComputeTaps(Picture.Width, Width);
    const AxisTaps down = ComputeTaps(Picture.Height, Height);
    const size_t sourceRow = static_cast<size_t>(Picture.Width) * 3;
    std::vector<float> blended(sourceRow);
    for (int y = 0; y < Height; ++y) {
        std::fill(blended.begin(), blended.end(), 0.0f);
        for (int t = down.First[y]; t < down.First[y + 1]; ++t) {
            const uint8_t* in = Picture.Rgb.data() + static_cast<size_t>(down.Taps[t].Index) * sourceRow;
            const float w = down.Taps[t].Weight;
            for (size_t i = 0; i < sourceRow; ++i) {
                blended[i] += w * in[i];
            }
        }
        uint8_t* o = out.Rgb.data() + static_cast<size_t>(y) * Width * 3;
        for (int x = 0; x < Width; ++x, o += 3) {
            float sum[3] = {0, 0, 0};
            for (int t = across.First[x]; t < across.First[x + 1]; ++t) {
                const float* in = blended.data() + static_cast<size_t>(across.Taps[t].Index) * 3;
                const float w = across.Taps[t].Weight;
                sum[0] += w * in[0];
                sum[1] += w * in[1];
                sum[2] += w * in[2];
            }
            // Weights are positive and sum to 1, so the sums stay within 0..255 up to rounding error.
            for (int c = 0; c < 3; ++c) {
                o[c] = static_cast<uint8_t>(std::min(sum[c] + 0.5f, 255.0f));
            }
        }
    }
    return out;
}

namespace {

// The chart's upper half: colour rendition patches, 6 x 4, on the dark card; the saturated primaries
// and secondaries; a grey wedge of 16 equal steps from black to white across the whole width.
void DrawPatches(Scene* Chart) {
    for (int i = 0; i < 24; ++i) {
        const int x = 40 + (i % 6) * 420;
        const int y = 40 + (i / 6) * 210;
        FillRect(Chart, x, y, x + 400, y + 190, CHECKER[i]);
    }
    for (int i = 0; i < 6; ++i) {
        const int x = 40 + i * 420;
        FillRect(Chart, x, 900, x + 400, 1080, SATURATED[i]);
    }
    for (int step = 0; step < 16; ++step) {
        const uint8_t v = static_cast<uint8_t>(step * 17);
        FillRect(Chart, step * 160, 1120, (step + 1) * 160, 1400, {v, v, v});
    }
}

// Fine detail on white, where the quality of the demosaic shows: groups of black lines 1 to 4 pixels
// wide with equal gaps, upright and lying, a slightly slanted edge, and colour stripes two pixels wide.
void DrawFineDetail(Scene* Chart) {
    FillRect(Chart, 40, 1440, 2520, 1880, WHITE);
    int x = 80;
    for (int w = 1; w <= 4; ++w) {
        for (int line = 0; line < 12; ++line) {
            FillRect(Chart, x + 2 * w * line, 1480, x + 2 * w * line + w, 1840, BLACK);
        }
        x += 24 * w + 60;
    }
    int y = 1480;
    for (int w = 1; w <= 4; ++w) {
        for (int line = 0; line < 12; ++line) {
            FillRect(Chart, 600, y + 2 * w * line, 900, y + 2 * w * line + w, BLACK);
        }
        y += 24 * w + 30;
    }
    for (int row = 1480; row < 1840; ++row) {
        // About 5 degrees off vertical: each row moves the edge by a fraction of a pixel.
        const int edge = 1090 + (row - 1660) * 9 / 100;
        FillRect(Chart, 940, row, edge, row + 1, BLACK);
    }
    for (int column = 1280; column < 1480; column += 4) {
        FillRect(Chart, column, 1480, column + 2, 1840, SATURATED[0]);
        FillRect(Chart, column + 2, 1480, column + 4, 1840, SATURATED[2]);
    }
    for (int row = 1480; row < 1840; row += 4) {
        FillRect(Chart, 1520, row, 1720, row + 2, SATURATED[1]);
        FillRect(Chart, 1520, row + 2, 1720, row + 4, SATURATED[4]);
    }
}

// Smooth gradients, where banding or a colour cast shows: a sweep through the hues above a grey ramp.
void DrawGradients(Scene* Chart) {
    for (int column = 2120; column < 2480; ++column) {
        const int t = (column - 2120) * 6 * 255 / 360; // 0 .. 6 x 255 across the sweep
        const int sector = t / 255;
        const uint8_t up = static_cast<uint8_t>(t % 255);
        const uint8_t down = static_cast<uint8_t>(255 - up);
        const Rgb hue[6] = {{255, up, 0},   {down, 255, 0}, {0, 255, up},
                            {0, down, 255}, {up, 0, 255},   {255, 0, down}};
        const uint8_t grey = static_cast<uint8_t>((column - 2120) * 255 / 359);
        FillRect(Chart, column, 1480, column + 1, 1650, hue[sector]);
        FillRect(Chart, column, 1670, column + 1, 1840, {grey, grey, grey});
    }
}

// Lettering down to one pixel per stroke.
void DrawLabels(Scene* Chart) {
    DrawText(Chart, 1780, 1480, "Z40K", 12, BLACK);
    DrawText(Chart, 1780, 1600, "CHART", 6, BLACK);
    DrawText(Chart, 1780, 1660, "0123456789", 4, BLACK);
    DrawText(Chart, 1780, 1700, "0123456789", 3, BLACK);
    DrawText(Chart, 1780, 1730, "0123456789", 2, BLACK);
    DrawText(Chart, 1780, 1750, "0123456789", 1, BLACK);
}

} // namespace

Scene BuiltInChart() {
    Scene chart;
    chart.Width = SENSOR_WIDTH;
    chart.Height = SENSOR_HEIGHT;
    chart.Rgb.resize(static_cast<size_t>(SENSOR_WIDTH) * SENSOR_HEIGHT * 3);
    FillRect(&chart, 0, 0, SENSOR_WIDTH, SENSOR_HEIGHT, CARD);
    DrawPatches(&chart);
    DrawFineDetail(&chart);
    DrawGradients(&chart);
    DrawLabels(&chart);
    return chart;
}

bool DecodeScene(const std::vector<uint8_t>& Bytes, Scene* Out, std::string* Error) {
    static const uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (Bytes.size() >= 2 && Bytes[0] == 'B' && Bytes[1] == 'M')
        return DecodeBmp(Bytes, Out, Error);
    if (Bytes.size() >= 8 && std::memcmp(Bytes.data(), PNG_SIGNATURE, 8) == 0)
        return DecodePng(Bytes, Out, Error);
    *Error = Bytes.empty() ? "empty file" : "not a BMP or PNG picture";
    return false;
}

bool LoadScene(const std::string& File, Scene* Out, std::string* Error) {
    std::vector<uint8_t> bytes;
    std::string reason;
    Scene picture;
    bool ok = ReadWholeFile(File, &bytes, &reason) && DecodeScene(bytes, &picture, &reason);
    if (!ok) {
        if (Error != nullptr) {
            *Error = File + ": " + reason;
        }
        return false;
    }
    *Out = ResampleScene(picture, SENSOR_WIDTH, SENSOR_HEIGHT);
    return true;
}

} // namespace simcam
