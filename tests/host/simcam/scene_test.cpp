#include "host/simcam/scene.h"
#include "host/simcam/sensor.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include <unistd.h>

#ifdef Z40K_HAVE_PNG
#include <png.h>
#endif

namespace simcam {
namespace {

struct Pixel {
    uint8_t R, G, B;
    bool operator==(const Pixel& O) const { return R == O.R && G == O.G && B == O.B; }
};

Pixel At(const Scene& S, int X, int Y) {
    const uint8_t* p = &S.Rgb[(static_cast<size_t>(Y) * S.Width + X) * 3];
    return {p[0], p[1], p[2]};
}

std::string TempPath(const std::string& Name) {
    return testing::TempDir() + "z40k_scene_" + std::to_string(::getpid()) + "_" + Name;
}

void WriteFile(const std::string& Path, const std::vector<uint8_t>& Bytes) {
    std::ofstream f(Path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
}

void Put16(std::vector<uint8_t>* B, size_t At, uint32_t V) {
    (*B)[At] = V & 0xFF;
    (*B)[At + 1] = (V >> 8) & 0xFF;
}
void Put32(std::vector<uint8_t>* B, size_t At, uint32_t V) {
    Put16(B, At, V & 0xFFFF);
    Put16(B, At + 2, V >> 16);
}

enum class BmpKind { Rgb24, Rgb32, Bitfields32V5, Core24 };

// A BMP file as a picture editor writes one: rows padded to 4 bytes, bottom row first unless TopDown.
std::vector<uint8_t> MakeBmp(const std::vector<Pixel>& Pixels, int Width, int Height, BmpKind Kind,
                             bool TopDown) {
    const bool core = Kind == BmpKind::Core24; // the old OS/2 header: 16-bit sizes, always bottom-up
    const int bits = Kind == BmpKind::Rgb24 || core ? 24 : 32;
    const uint32_t infoSize = Kind == BmpKind::Bitfields32V5 ? 124 : core ? 12 : 40;
    const uint32_t offset = 14 + infoSize;
    const size_t stride = (static_cast<size_t>(Width) * bits + 31) / 32 * 4;
    std::vector<uint8_t> b(offset + stride * Height, 0);
    b[0] = 'B';
    b[1] = 'M';
    Put32(&b, 2, static_cast<uint32_t>(b.size()));
    Put32(&b, 10, offset);
    Put32(&b, 14, infoSize);
    if (core) {
        Put16(&b, 18, static_cast<uint32_t>(Width));
        Put16(&b, 20, static_cast<uint32_t>(Height));
        Put16(&b, 22, 1);
        Put16(&b, 24, bits);
    } else {
        Put32(&b, 18, static_cast<uint32_t>(Width));
        Put32(&b, 22, static_cast<uint32_t>(TopDown ? -Height : Height));
        Put16(&b, 26, 1);
        Put16(&b, 28, bits);
    }
    if (Kind == BmpKind::Bitfields32V5) {
        // Channels in an unusual order, to prove the masks are read: R in the low byte, B above it.
        Put32(&b, 30, 3);
        Put32(&b, 54, 0x000000FF); // red
        Put32(&b, 58, 0x00FF0000); // green
        Put32(&b, 62, 0x0000FF00); // blue
        Put32(&b, 66, 0xFF000000); // alpha
    }
    for (int y = 0; y < Height; ++y) {
        const int stored = TopDown ? y : Height - 1 - y;
        uint8_t* row = &b[offset + stride * stored];
        for (int x = 0; x < Width; ++x) {
            const Pixel& p = Pixels[static_cast<size_t>(y) * Width + x];
            if (bits == 24) {
                row[x * 3] = p.B;
                row[x * 3 + 1] = p.G;
                row[x * 3 + 2] = p.R;
            } else if (Kind == BmpKind::Rgb32) {
                row[x * 4] = p.B;
                row[x * 4 + 1] = p.G;
                row[x * 4 + 2] = p.R;
                row[x * 4 + 3] = 0x00; // fully transparent by alpha; the sensor ignores it
            } else {
                row[x * 4] = p.R;
                row[x * 4 + 1] = p.B;
                row[x * 4 + 2] = p.G;
                row[x * 4 + 3] = 0xFF;
            }
        }
    }
    return b;
}

// A 3 x 2 picture: odd width, so 24-bit rows carry padding, and six distinct colours.
const std::vector<Pixel> SMALL = {{255, 0, 0}, {10, 20, 30}, {0, 255, 0},
                                  {0, 0, 255}, {40, 50, 60}, {200, 100, 50}};

// --- the built-in chart ----------------------------------------------------------------------------

TEST(BuiltInChart, HasTheSensorSizeSaturatedPatchesGreyStepsAndFineDetail) {
    const Scene chart = BuiltInChart();
    ASSERT_EQ(chart.Width, 2560);
    ASSERT_EQ(chart.Height, 1920);
    ASSERT_EQ(chart.Rgb.size(), 2560u * 1920u * 3u);

    // Saturated patches: a large area of each primary.
    for (Pixel primary : {Pixel{255, 0, 0}, Pixel{0, 255, 0}, Pixel{0, 0, 255}}) {
        size_t count = 0;
        for (int y = 0; y < chart.Height; ++y) {
            for (int x = 0; x < chart.Width; ++x) {
                count += At(chart, x, y) == primary;
            }
        }
        EXPECT_GT(count, 100u * 100u) << int(primary.R) << "," << int(primary.G) << "," << int(primary.B);
    }

    // A grey wedge: some row holds at least 8 neutral steps, each at least 32 pixels wide, rising from
    // near black to near white.
    bool wedge = false;
    bool fineLines = false;
    for (int y = 0; y < chart.Height && !(wedge && fineLines); ++y) {
        std::vector<int> steps;
        int run = 0;
        for (int x = 0; x < chart.Width; ++x) {
            const Pixel p = At(chart, x, y);
            const bool grey = p.R == p.G && p.G == p.B;
            run = (x > 0 && At(chart, x - 1, y) == p) ? run + 1 : 1;
            if (grey && run == 32 && (steps.empty() || p.G > steps.back())) {
                steps.push_back(p.G);
            }
            // One-pixel black and white lines: B W B W B.
            if (x >= 4 && p == Pixel{0, 0, 0} && At(chart, x - 1, y) == Pixel{255, 255, 255} &&
                At(chart, x - 2, y) == p && At(chart, x - 3, y) == Pixel{255, 255, 255} &&
                At(chart, x - 4, y) == p) {
                fineLines = true;
            }
        }
        if (steps.size() >= 8 && steps.front() <= 16 && steps.back() >= 240) {
            wedge = true;
        }
    }
    EXPECT_TRUE(wedge);
    EXPECT_TRUE(fineLines);
}

// --- BMP files -------------------------------------------------------------------------------------

struct BmpCase {
    const char* Name;
    BmpKind Kind;
    bool TopDown;
};

class BmpLoadTest : public testing::TestWithParam<BmpCase> {};

TEST_P(BmpLoadTest, SmallPictureIsStretchedOverTheSensor) {
    const BmpCase& k = GetParam();
    const std::string path = TempPath(std::string(k.Name) + ".bmp");
    WriteFile(path, MakeBmp(SMALL, 3, 2, k.Kind, k.TopDown));
    Scene scene;
    std::string error;
    ASSERT_TRUE(LoadScene(path, &scene, &error)) << error;
    std::remove(path.c_str());
    ASSERT_EQ(scene.Width, 2560);
    ASSERT_EQ(scene.Height, 1920);
    ASSERT_EQ(scene.Rgb.size(), 2560u * 1920u * 3u);
    // Corners sit on the picture's corner pixels; the middle of the top edge on its middle pixel.
    EXPECT_EQ(At(scene, 0, 0), SMALL[0]);
    EXPECT_EQ(At(scene, 2559, 0), SMALL[2]);
    EXPECT_EQ(At(scene, 0, 1919), SMALL[3]);
    EXPECT_EQ(At(scene, 2559, 1919), SMALL[5]);
    EXPECT_EQ(At(scene, 1280, 0), SMALL[1]);
    // Halfway down the left edge the two rows blend evenly.
    const Pixel mid = At(scene, 0, 960);
    EXPECT_NEAR(mid.R, 128, 2);
    EXPECT_NEAR(mid.G, 0, 2);
    EXPECT_NEAR(mid.B, 128, 2);
}

INSTANTIATE_TEST_SUITE_P(Scene, BmpLoadTest,
                         testing::Values(BmpCase{"Rgb24BottomUp", BmpKind::Rgb24, false},
                                         BmpCase{"Rgb24TopDown", BmpKind::Rgb24, true},
                                         BmpCase{"Rgb32BottomUp", BmpKind::Rgb32, false},
                                         BmpCase{"Rgb32TopDown", BmpKind::Rgb32, true},
                                         BmpCase{"Bitfields32V5", BmpKind::Bitfields32V5, false},
                                         BmpCase{"Core24", BmpKind::Core24, false}),
                         [](const testing::TestParamInfo<BmpCase>& I) { return std::string(I.param.Name); });

TEST(SceneLoad, PictureOfTheSensorSizeLoadsUnchanged) {
    std::vector<Pixel> pixels(2560u * 1920u);
    for (size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = {static_cast<uint8_t>(i), static_cast<uint8_t>(i / 2560),
                     static_cast<uint8_t>(i * 7 / 3)};
    }
    const std::string path = TempPath("full.bmp");
    WriteFile(path, MakeBmp(pixels, 2560, 1920, BmpKind::Rgb24, false));
    Scene scene;
    std::string error;
    ASSERT_TRUE(LoadScene(path, &scene, &error)) << error;
    std::remove(path.c_str());
    ASSERT_EQ(scene.Rgb.size(), pixels.size() * 3);
    size_t differ = 0;
    for (size_t i = 0; i < pixels.size(); ++i) {
        differ += !(At(scene, static_cast<int>(i % 2560), static_cast<int>(i / 2560)) == pixels[i]);
    }
    EXPECT_EQ(differ, 0u);
}

struct BadFile {
    const char* Name;
    std::vector<uint8_t> Bytes;
};

std::vector<uint8_t> Edited(std::vector<uint8_t> B, size_t At, uint32_t V, int Bytes = 4) {
    if (Bytes == 2) {
        Put16(&B, At, V);
    } else {
        Put32(&B, At, V);
    }
    return B;
}

std::vector<BadFile> BadFiles() {
    const std::vector<uint8_t> good = MakeBmp(SMALL, 3, 2, BmpKind::Rgb24, false);
    const std::vector<uint8_t> bitfields = MakeBmp(SMALL, 3, 2, BmpKind::Bitfields32V5, false);
    std::vector<uint8_t> cut(good.begin(), good.end() - 5);
    std::vector<uint8_t> headerOnly(good.begin(), good.begin() + 20);
    return {
        {"Empty", {}},
        {"Text", {'h', 'e', 'l', 'l', 'o', '\n'}},
        {"HeaderCut", headerOnly},
        {"PixelsCut", cut},
        {"ZeroWidth", Edited(good, 18, 0)},
        {"ZeroHeight", Edited(good, 22, 0)},
        {"NegativeWidth", Edited(good, 18, static_cast<uint32_t>(-3))},
        {"HugeClaim", Edited(Edited(good, 18, 100000), 22, 100000)},
        {"PaletteEightBit", Edited(good, 28, 8, 2)},
        {"RunLengthCompressed", Edited(good, 30, 1)},
        {"UnknownHeaderSize", Edited(good, 14, 20)},
        {"PixelsInsideHeader", Edited(good, 10, 20)},
        {"PixelOffsetPastEnd", Edited(good, 10, 0xFFFFFFF0u)},
        {"ScatteredMask", Edited(bitfields, 54, 0x00000F0F)},
        {"EmptyMask", Edited(bitfields, 58, 0)},
#ifdef Z40K_HAVE_PNG
        {"PngCut", {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H'}},
#endif
    };
}

class BadSceneTest : public testing::TestWithParam<BadFile> {};

TEST_P(BadSceneTest, RefusedWithAOneLineErrorAndTheSceneUntouched) {
    const std::string path = TempPath(std::string(GetParam().Name) + ".bmp");
    WriteFile(path, GetParam().Bytes);
    Scene scene;
    scene.Width = 7;
    std::string error;
    EXPECT_FALSE(LoadScene(path, &scene, &error));
    std::remove(path.c_str());
    EXPECT_EQ(scene.Width, 7);
    EXPECT_EQ(error.rfind(path + ": ", 0), 0u) << error;
    EXPECT_GT(error.size(), path.size() + 2);
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Scene, BadSceneTest, testing::ValuesIn(BadFiles()),
                         [](const testing::TestParamInfo<BadFile>& I) { return std::string(I.param.Name); });

TEST(SceneLoad, MissingFileNamesTheCause) {
    Scene scene;
    std::string error;
    const std::string path = TempPath("does-not-exist.bmp");
    EXPECT_FALSE(LoadScene(path, &scene, &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
}

// --- PNG files -------------------------------------------------------------------------------------

#ifdef Z40K_HAVE_PNG
TEST(SceneLoad, PngPictureIsReadAndTransparencyLaidOverBlack) {
    // 3 x 2 RGBA; the last pixel fully transparent.
    std::vector<uint8_t> rgba;
    for (const Pixel& p : SMALL) {
        rgba.insert(rgba.end(), {p.R, p.G, p.B, 255});
    }
    rgba[5 * 4 + 3] = 0;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = 3;
    image.height = 2;
    image.format = PNG_FORMAT_RGBA;
    const std::string path = TempPath("small.png");
    ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, rgba.data(), 0, nullptr)) << image.message;

    Scene scene;
    std::string error;
    ASSERT_TRUE(LoadScene(path, &scene, &error)) << error;
    std::remove(path.c_str());
    ASSERT_EQ(scene.Width, 2560);
    ASSERT_EQ(scene.Height, 1920);
    EXPECT_EQ(At(scene, 0, 0), SMALL[0]);
    EXPECT_EQ(At(scene, 2559, 0), SMALL[2]);
    EXPECT_EQ(At(scene, 0, 1919), SMALL[3]);
    EXPECT_EQ(At(scene, 2559, 1919), (Pixel{0, 0, 0}));
}
#else
TEST(SceneLoad, PngWithoutPngSupportIsRefusedSayingSo) {
    const std::string path = TempPath("small.png");
    WriteFile(path, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13});
    Scene scene;
    std::string error;
    EXPECT_FALSE(LoadScene(path, &scene, &error));
    std::remove(path.c_str());
    EXPECT_NE(error.find("PNG"), std::string::npos) << error;
}
#endif

// --- resampling ------------------------------------------------------------------------------------

Scene Row(std::vector<uint8_t> Values, int Height = 1) {
    Scene s;
    s.Width = static_cast<int>(Values.size());
    s.Height = Height;
    for (int y = 0; y < Height; ++y) {
        for (uint8_t v : Values) {
            s.Rgb.insert(s.Rgb.end(), {v, v, v});
        }
    }
    return s;
}

std::vector<uint8_t> Greens(const Scene& S, int Y = 0) {
    std::vector<uint8_t> g;
    for (int x = 0; x < S.Width; ++x) {
        g.push_back(At(S, x, Y).G);
    }
    return g;
}

TEST(ResampleScene, GrowsBilinearlyAndShrinksByAreaAverage) {
    EXPECT_EQ(Greens(ResampleScene(Row({0, 100}), 4, 1)), (std::vector<uint8_t>{0, 25, 75, 100}));
    EXPECT_EQ(Greens(ResampleScene(Row({10, 30, 50, 70}), 2, 1)), (std::vector<uint8_t>{20, 60}));
    // Three into two: each output covers one and a half inputs.
    EXPECT_EQ(Greens(ResampleScene(Row({0, 90, 180}), 2, 1)), (std::vector<uint8_t>{30, 150}));
    // One-pixel lines averaged away instead of aliased into stripes.
    EXPECT_EQ(Greens(ResampleScene(Row({0, 255, 0, 255, 0, 255, 0, 255}), 2, 1)),
              (std::vector<uint8_t>{128, 128}));
    // Both axes at once: a 4 x 2 picture to 2 x 1.
    Scene two = Row({0, 40, 80, 120}, 2);
    std::fill(two.Rgb.begin() + 12, two.Rgb.end(), 200);
    EXPECT_EQ(Greens(ResampleScene(two, 2, 1)), (std::vector<uint8_t>{110, 150}));
    // Same size: unchanged.
    const Scene same = Row({1, 2, 3, 250});
    EXPECT_EQ(ResampleScene(same, 4, 1).Rgb, same.Rgb);
}

TEST(ResampleScene, UnusablePictureGivesBlack) {
    Scene broken = Row({9, 9, 9});
    broken.Rgb.pop_back();
    for (const Scene& s : {broken, Scene()}) {
        const Scene out = ResampleScene(s, 5, 4);
        EXPECT_EQ(out.Width, 5);
        EXPECT_EQ(out.Height, 4);
        EXPECT_EQ(out.Rgb, std::vector<uint8_t>(60, 0));
    }
}

} // namespace
} // namespace simcam
