// The colour path's arithmetic: which samples each pixel takes, gains and saturation, untouched bytes,
// small windows, and the fast demosaic against the plain reference.
#include "imaging/vector_paths.h"
#include "tests/imaging/imaging_support.h"

#include <gtest/gtest.h>

#include <tuple>

using namespace imaging_test;

namespace {

// Small distinct-looking samples, 1 to 15: with gains 2048 (blue, red) and 256 (green) each output byte
// is then exactly the weighted sum, so a wrong neighbour or weight shows in the byte.
uint8_t SmallSample(LONG r, LONG c) {
    return uint8_t((7 * r + 3 * c + (r * c) % 5) % 15 + 1);
}

struct Pixel {
    uint8_t Blue, Green, Red;
};

Pixel PixelAt(const std::vector<uint8_t>& Out, LONG Width, LONG Row, LONG Column) {
    const size_t at = (size_t(Row) * Width + Column) * 3;
    return {Out[at], Out[at + 1], Out[at + 2]};
}

} // namespace

// Window 8 x 7 at (1, 2) in lines of 11 bytes, phase 0: even window rows G B G B, odd rows R G R G.
// Output row k holds the quad at window rows H - 4 - k and H - 3 - k.
TEST(Demosaic, EachPixelTakesItsQuadsGreensAndTheNearestFourBluesAndReds) {
    const LONG W = 8, H = 7, X = 1, Y = 2, STRIDE = 11;
    auto s = [](LONG r, LONG c) { return int(SmallSample(r, c)); };
    auto scratch = MakeScratch(X, Y, W, H, STRIDE, SmallSample);
    std::vector<uint8_t> out(3 * W * H, SENTINEL);
    ColorParams p = Params(scratch, out, X, Y, W, H, STRIDE, 0, 2048, 256, 2048);

    EXPECT_EQ(DemosaicBayer(&p), (W - 2) * (H - 2) * 3);

    struct Expected {
        LONG Row, Column; // output row and column
        int Blue, Green, Red;
    } cases[] = {
        // quad rows 2, 3, columns 1, 2: blue top-left, red bottom-right
        {1, 0, 9 * s(2, 1) + 3 * s(2, 3) + 3 * s(4, 1) + s(4, 3), s(2, 2) + s(3, 1),
         9 * s(3, 2) + 3 * s(3, 0) + 3 * s(1, 2) + s(1, 0)},
        // quad rows 2, 3, columns 2, 3: blue top-right (partner column to the left), red bottom-left
        {1, 1, 9 * s(2, 3) + 3 * s(2, 1) + 3 * s(4, 3) + s(4, 1), s(2, 2) + s(3, 3),
         9 * s(3, 2) + 3 * s(3, 4) + 3 * s(1, 2) + s(1, 4)},
        // quad rows 3, 4 (the first row stored): red on top with its partner row below, blue beneath
        // with its partner row above
        {0, 0, 9 * s(4, 1) + 3 * s(4, 3) + 3 * s(2, 1) + s(2, 3), s(3, 1) + s(4, 2),
         9 * s(3, 2) + 3 * s(3, 0) + 3 * s(5, 2) + s(5, 0)},
        // the last pixel of a row reads column W - 2 and no further
        {0, 3, 9 * s(4, 5) + 3 * s(4, 3) + 3 * s(2, 5) + s(2, 3), s(3, 5) + s(4, 4),
         9 * s(3, 4) + 3 * s(3, 6) + 3 * s(5, 4) + s(5, 6)},
        // the last row stored: quad rows 1, 2, reaching up to window row 0
        {2, 0, 9 * s(2, 1) + 3 * s(2, 3) + 3 * s(0, 1) + s(0, 3), s(1, 1) + s(2, 2),
         9 * s(1, 2) + 3 * s(1, 0) + 3 * s(3, 2) + s(3, 0)},
    };
    for (const Expected& e : cases) {
        Pixel px = PixelAt(out, W, e.Row, e.Column);
        EXPECT_EQ(px.Blue, e.Blue) << "row " << e.Row << " column " << e.Column;
        EXPECT_EQ(px.Green, e.Green) << "row " << e.Row << " column " << e.Column;
        EXPECT_EQ(px.Red, e.Red) << "row " << e.Row << " column " << e.Column;
    }

    // The last 4 pixels of every row written, and the last 4 rows, keep what the buffer held.
    for (LONG k = 0; k < H; ++k)
        for (LONG j = 0; j < W; ++j) {
            if (k < H - 4 && j < W - 4)
                continue;
            for (int b = 0; b < 3; ++b)
                ASSERT_EQ(out[(size_t(k) * W + j) * 3 + b], SENTINEL) << "row " << k << " column " << j;
        }
}

// Gains, saturation and the absence of a lower clamp, on a flat field where every pixel is the same.
struct GainCase {
    uint8_t Sample;
    ULONG Blue, Green, Red;
    Pixel Expected;
};

class DemosaicFlatField : public ::testing::TestWithParam<GainCase> {};

TEST_P(DemosaicFlatField, FlatFieldGivesTheScaledSaturatedValue) {
    const GainCase& g = GetParam();
    const LONG W = 9, H = 8;
    auto scratch = MakeScratch(0, 0, W, H, W, [&](LONG, LONG) { return g.Sample; });
    std::vector<uint8_t> out(3 * W * H, SENTINEL);
    ColorParams p = Params(scratch, out, 0, 0, W, H, W, 0, g.Blue, g.Green, g.Red);
    DemosaicBayer(&p);
    for (LONG k = 0; k < H - 4; ++k)
        for (LONG j = 0; j < W - 4; ++j) {
            Pixel px = PixelAt(out, W, k, j);
            ASSERT_EQ(px.Blue, g.Expected.Blue) << k << "," << j;
            ASSERT_EQ(px.Green, g.Expected.Green) << k << "," << j;
            ASSERT_EQ(px.Red, g.Expected.Red) << k << "," << j;
        }
}

INSTANTIATE_TEST_SUITE_P(
    Flat, DemosaicFlatField,
    ::testing::Values(GainCase{100, 128, 128, 128, {100, 100, 100}}, // unity
                      GainCase{100, 200, 128, 400, {156, 100, 255}}, // scaled, red saturated
                      GainCase{255, 128, 128, 128, {255, 255, 255}}, // full scale does not overflow
                      GainCase{255, 129, 129, 129, {255, 255, 255}}, // any gain above unity saturates
                      GainCase{7, 256, 256, 256, {14, 14, 14}},      // 256 doubles
                      GainCase{100, 0, 128, 0, {0, 100, 0}},         // a gain of 0 blacks its channel
                      GainCase{100, 526344, 4210752, 526344, {255, 255, 255}}, // the largest exact gains
                      // Gains beyond 32-bit products, and with the top bit set, act as the huge gains
                      // they are: every nonzero sum saturates, a zero sum stays 0.
                      GainCase{1, 0x80000000u, 0xFFFFFFFFu, 1000000, {255, 255, 255}},
                      GainCase{0, 0xFFFFFFFFu, 0x80000000u, 0xFFFFFFFFu, {0, 0, 0}}));

TEST(Demosaic, SmallWindowsWriteNothingAndReportTheirFormula) {
    struct {
        LONG W, H;
        bool Writes;
    } cases[] = {{8, 4, false}, {8, 3, false}, {4, 9, false}, {5, 5, true}, {6, 5, true}};
    for (const auto& c : cases) {
        auto scratch = MakeScratch(0, 0, c.W, c.H, c.W, SmallSample);
        std::vector<uint8_t> out(3 * c.W * c.H, SENTINEL);
        ColorParams p = Params(scratch, out, 0, 0, c.W, c.H, c.W, 0, 128, 128, 128);
        EXPECT_EQ(DemosaicBayer(&p), (c.W - 2) * (c.H - 2) * 3) << c.W << "x" << c.H;
        size_t written = 0;
        for (uint8_t b : out)
            written += b != SENTINEL;
        if (c.Writes) // one pixel per row for W = 5, two for W = 6 (a sample sum could equal the sentinel)
            EXPECT_GT(written, 0u) << c.W << "x" << c.H;
        else
            EXPECT_EQ(written, 0u) << c.W << "x" << c.H;
    }
}

// The fast demosaic against the reference over geometries that exercise both pixel kinds first, every
// count of pixels left after whole steps, every phase, offsets and padded lines, on each kernel path.
// Both scalar kernels are also checked: the one that computes each byte and, given room for its tables and
// kept off the vector path, the one that looks them up.
struct Geometry {
    LONG W, H, X, Y, Stride;
};

class DemosaicOracle : public ::testing::TestWithParam<std::tuple<Geometry, ULONG, ImagingPath>> {
  protected:
    void SetUp() override {
        const std::string why = PinImagingPath(std::get<2>(GetParam()));
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    void TearDown() override { UnpinImagingPath(); }
};

TEST_P(DemosaicOracle, FastMatchesReference) {
    const Geometry g = std::get<0>(GetParam());
    const ULONG phase = std::get<1>(GetParam());
    std::mt19937 random(g.W * 1000 + g.H * 10 + phase);
    const ULONG gainSets[][3] = {{128, 128, 128},
                                 {0, 255, 256},
                                 {32767, 32768, 1},
                                 {526345, 4210753, 0x7FFFFFFF},
                                 {0xFFFFFFFF, 0x80000000u, 300},
                                 {ULONG(random() % 600), ULONG(random() % 600), ULONG(random() % 600)}};
    const int fills[] = {-1, 0, 255}; // random, all 0, all 255
    for (int fill : fills) {
        auto scratch = MakeScratch(g.X, g.Y, g.W, g.H, g.Stride,
                                   [&](LONG, LONG) { return fill < 0 ? uint8_t(random()) : uint8_t(fill); });
        for (const auto& gains : gainSets) {
            std::vector<uint8_t> fast(3 * g.W * g.H, SENTINEL), reference(3 * g.W * g.H, SENTINEL);
            ColorParams p =
                Params(scratch, fast, g.X, g.Y, g.W, g.H, g.Stride, phase, gains[0], gains[1], gains[2]);
            ColorParams q = p;
            q.Output = reference.data();
            ASSERT_EQ(DemosaicBayer(&p), DemosaicBayerReference(&q));
            ASSERT_EQ(fast, reference)
                << "fill " << fill << " gains " << gains[0] << "," << gains[1] << "," << gains[2];

            std::vector<uint8_t> lookedUp(3 * g.W * g.H, SENTINEL);
            std::vector<uint8_t> tableSpace(sizeof(DemosaicTables) + 64, SENTINEL);
            p.Output = lookedUp.data();
            host::InjectFault("KeSaveExtendedProcessorState", {1, 0, STATUS_UNSUCCESSFUL});
            const LONG count = DemosaicBayerWithTableSpace(&p, tableSpace.data(), tableSpace.size());
            host::ClearFault("KeSaveExtendedProcessorState");
            ASSERT_EQ(count, DemosaicBayerReference(&q));
            ASSERT_EQ(lookedUp, reference)
                << "tables, fill " << fill << " gains " << gains[0] << "," << gains[1] << "," << gains[2];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, DemosaicOracle,
    ::testing::Combine(::testing::Values(Geometry{5, 5, 0, 0, 5}, Geometry{6, 6, 0, 0, 6},
                                         Geometry{7, 9, 1, 2, 10}, Geometry{8, 7, 3, 1, 13},
                                         Geometry{33, 17, 0, 0, 33}, Geometry{64, 31, 5, 3, 80},
                                         Geometry{9, 6, 0, 1, 9}, Geometry{97, 12, 2, 0, 101},
                                         Geometry{200, 9, 1, 1, 203}),
                       ::testing::Values(0u, 1u, 2u, 3u, 4u, 0xFFFFFFFFu), ::testing::ValuesIn(ALL_PATHS)),
    [](const ::testing::TestParamInfo<std::tuple<Geometry, ULONG, ImagingPath>>& Info) {
        return std::to_string(Info.index) + "_" + PathName(std::get<2>(Info.param));
    });

// The sweep reads window rows 0 to H - 2 and columns 0 to W - 2: the last row and column never reach
// the picture, and nothing outside the window is read.
TEST(Demosaic, LastWindowRowAndColumnAreNeverRead) {
    const LONG W = 10, H = 9, X = 2, Y = 1, STRIDE = 14;
    auto base = MakeScratch(X, Y, W, H, STRIDE, SmallSample, 0x00);
    auto changed = MakeScratch(
        X, Y, W, H, STRIDE,
        [&](LONG r, LONG c) { return r == H - 1 || c == W - 1 ? 255 : SmallSample(r, c); }, 0xFF);
    std::vector<uint8_t> a(3 * W * H, SENTINEL), b(3 * W * H, SENTINEL);
    ColorParams p = Params(base, a, X, Y, W, H, STRIDE, 0, 2048, 256, 2048);
    ColorParams q = Params(changed, b, X, Y, W, H, STRIDE, 0, 2048, 256, 2048);
    DemosaicBayer(&p);
    DemosaicBayer(&q);
    EXPECT_EQ(a, b);
}

// The lookup kernel's tables go on the first cache line of the space it is given, and only when they fit
// there whole; a space one byte short is left alone and the bytes are computed instead.
TEST(Demosaic, GainTablesAreBuiltOnlyInsideTheSpaceGiven) {
    const LONG W = 12, H = 8;
    std::mt19937 random(3);
    auto scratch = MakeScratch(0, 0, W, H, W, [&](LONG, LONG) { return uint8_t(random()); });
    std::vector<uint8_t> reference(3 * W * H, SENTINEL);
    ColorParams q = Params(scratch, reference, 0, 0, W, H, W, 0, 128, 256, 300);
    DemosaicBayerReference(&q);

    alignas(64) static uint8_t space[sizeof(DemosaicTables) + 192];
    for (size_t skip : {0, 1, 63}) {
        for (size_t length : {sizeof(DemosaicTables) - 1, sizeof(DemosaicTables)}) {
            std::memset(space, SENTINEL, sizeof(space));
            const size_t tablesAt = skip == 0 ? 64 : 128; // the first cache line at or after the space
            uint8_t* start = space + tablesAt - skip;
            const bool fits = length >= sizeof(DemosaicTables);
            std::vector<uint8_t> out(3 * W * H, SENTINEL);
            ColorParams p = Params(scratch, out, 0, 0, W, H, W, 0, 128, 256, 300);
            host::InjectFault("KeSaveExtendedProcessorState", {1, 0, STATUS_UNSUCCESSFUL});
            DemosaicBayerWithTableSpace(&p, start, skip + length);
            host::ClearFault("KeSaveExtendedProcessorState");
            EXPECT_EQ(out, reference) << skip << "+" << length;

            for (size_t i = 0; i < sizeof(space); ++i) {
                const bool table = fits && i >= tablesAt && i < tablesAt + sizeof(DemosaicTables);
                if (!table) {
                    ASSERT_EQ(space[i], SENTINEL) << "byte " << i << " skip " << skip << " length " << length;
                }
            }
            if (fits) {
                const auto* tables = reinterpret_cast<const DemosaicTables*>(space + tablesAt);
                EXPECT_EQ(tables->Blue[4080], 255); // 4080 x 128 >> 11
                EXPECT_EQ(tables->Blue[17], 1);
                EXPECT_EQ(tables->Green[127], 127); // 127 x 256 >> 8
                EXPECT_EQ(tables->Green[300], 255);
                EXPECT_EQ(tables->Red[1000], 146); // 1000 x 300 >> 11
                EXPECT_EQ(tables->Red[1748], 255); // 524,400 is past 255 x 2048
            }
        }
    }
}
