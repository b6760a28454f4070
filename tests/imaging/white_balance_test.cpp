// The grey-world balance: class statistics, the gains it derives, its limits and its failure path.
#include "imaging/vector_paths.h"
#include "imaging/white_balance.h"
#include "tests/imaging/imaging_support.h"

#include <gtest/gtest.h>

using namespace imaging_test;

namespace {

struct ClassValues {
    uint8_t Green, Blue, Red;
};

// Balances a W x H window (phase 0) whose samples are given per class, starting from gains 1, 2, 3 so
// that any gain left alone shows.
ColorParams Balance(LONG W, LONG H, ClassValues V, ULONG Phase = 0) {
    static std::vector<uint8_t> scratch, out;
    scratch = MakeScratch(1, 1, W, H, W + 3, [&](LONG r, LONG c) {
        switch (BayerClass(Phase, r, c)) {
        case SAMPLE_BLUE:
            return V.Blue;
        case SAMPLE_RED:
            return V.Red;
        default:
            return V.Green;
        }
    });
    ColorParams p = Params(scratch, out, 1, 1, W, H, W + 3, Phase, 1, 2, 3);
    EXPECT_EQ(ComputeWhiteBalance(&p), TRUE);
    return p;
}

} // namespace

struct BalanceCase {
    const char* Name;
    LONG W, H;
    ClassValues Values;
    ULONG Blue, Green, Red;
};

class WhiteBalanceGains : public ::testing::TestWithParam<BalanceCase> {
  protected:
    void SetUp() override { host::ResetKernel(); }
};

TEST_P(WhiteBalanceGains, GainsBringBlueAndRedToTheGreenMean) {
    const BalanceCase& c = GetParam();
    ColorParams p = Balance(c.W, c.H, c.Values);
    EXPECT_EQ(p.BlueGain, c.Blue);
    EXPECT_EQ(p.GreenGain, c.Green);
    EXPECT_EQ(p.RedGain, c.Red);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WhiteBalanceGains,
    ::testing::Values(BalanceCase{"EqualMeans", 16, 12, {100, 100, 100}, 128, 128, 128},
                      BalanceCase{"HalfBrightBlue", 16, 12, {100, 50, 100}, 256, 128, 128},
                      BalanceCase{"BrightBlue", 16, 12, {100, 200, 100}, 64, 128, 128},
                      BalanceCase{"CappedAt400", 16, 12, {100, 20, 100}, 400, 128, 128},
                      // 128 x 90 / 30 is 384 in exact arithmetic, 383.99999999999989 in the balance's order.
                      BalanceCase{"DarkRed", 16, 12, {90, 100, 30}, 115, 128, 383},
                      BalanceCase{"BlueZero", 16, 12, {100, 0, 100}, 0, 128, 128},
                      BalanceCase{"GreenZero", 16, 12, {0, 100, 100}, 0, 128, 0},
                      BalanceCase{"AllZero", 16, 12, {0, 0, 0}, 0, 128, 0},
                      // One row holds no red sample: its mean is not a number, and so are both gains.
                      BalanceCase{"OneRowNoRed", 16, 1, {100, 100, 100}, 0, 128, 0},
                      // One column holds no blue sample.
                      BalanceCase{"OneColumnNoBlue", 1, 12, {100, 100, 100}, 0, 128, 0},
                      // Odd sizes: classes follow window coordinates, every row starts at column 0's.
                      BalanceCase{"OddSize", 7, 5, {100, 50, 25}, 256, 128, 400}),
    [](const ::testing::TestParamInfo<BalanceCase>& info) { return std::string(info.param.Name); });

// 128 x mGreen / mBlue computed in the balance's own order lands just below an integer and truncates
// to the integer below: greens alternate 1 and 2 (mean 1.5), blue and red are 1. The shortened formula
// would give 192.
TEST(WhiteBalance, OrderOfOperationsDecidesTheTruncation) {
    host::ResetKernel();
    static std::vector<uint8_t> out;
    const LONG W = 8, H = 6;
    auto scratch = MakeScratch(0, 0, W, H, W, [](LONG r, LONG c) -> uint8_t {
        if (BayerClass(0, r, c) != SAMPLE_GREEN)
            return 1;
        return r % 2 == 0 ? 1 : 2;
    });
    ColorParams p = Params(scratch, out, 0, 0, W, H, W, 0, 0, 0, 0);
    ComputeWhiteBalance(&p);
    EXPECT_EQ(p.BlueGain, 191u);
    EXPECT_EQ(p.RedGain, 191u);
}

// Nearly all blue samples 0 and a few 1: 128 x mGreen / mBlue is far above 2^31 and must be capped, not
// converted to an integer first.
TEST(WhiteBalance, TinyBlueMeanIsCapped) {
    host::ResetKernel();
    static std::vector<uint8_t> out;
    const LONG W = 2560, H = 1920;
    auto scratch = MakeScratch(0, 0, W, H, 2894, [](LONG r, LONG c) -> uint8_t {
        if (BayerClass(0, r, c) == SAMPLE_BLUE)
            return r == 0 && c == 1 ? 1 : 0;
        return 255;
    });
    ColorParams p = Params(scratch, out, 0, 0, W, H, 2894, 0, 0, 0, 0);
    ComputeWhiteBalance(&p);
    EXPECT_EQ(p.BlueGain, 400u);
    EXPECT_EQ(p.RedGain, 128u);
}

// The balance reads only its region, with the classes of window coordinates shifted by the phase.
TEST(WhiteBalance, PhaseMovesTheClassesAndTheRegionBoundsTheSamples) {
    host::ResetKernel();
    for (ULONG phase = 0; phase < 4; ++phase) {
        ColorParams p = Balance(12, 10, {100, 50, 200}, phase);
        EXPECT_EQ(p.BlueGain, 256u) << phase;
        EXPECT_EQ(p.RedGain, 64u) << phase;
    }
    // A region of the two middle rows and four middle columns of a window whose other samples would
    // give quite different gains.
    static std::vector<uint8_t> out;
    auto scratch = MakeScratch(0, 0, 8, 6, 8, [](LONG r, LONG c) -> uint8_t {
        if (r >= 2 && r < 4 && c >= 2 && c < 6)
            return BayerClass(0, r, c) == SAMPLE_BLUE ? 50 : 100;
        return BayerClass(0, r, c) == SAMPLE_RED ? 10 : 200;
    });
    ColorParams p = Params(scratch, out, 0, 0, 8, 6, 8, 0, 0, 0, 0);
    p.StatsLeft = 2;
    p.StatsTop = 2;
    p.StatsRight = 6;
    p.StatsBottom = 4;
    ComputeWhiteBalance(&p);
    EXPECT_EQ(p.BlueGain, 256u);
    EXPECT_EQ(p.RedGain, 128u);
}

TEST(WhiteBalance, FloatingPointStateIsSavedAroundTheWorkAndItsFailureKeepsAllGains) {
    host::ResetKernel();
    PinImagingPath(IMAGING_PATH_SCALAR); // the SSE statistics save the same state first
    ColorParams p = Balance(16, 12, {100, 50, 100});
    host::ProcessorStateCounts counts = host::ProcessorState();
    EXPECT_EQ(counts.FloatSaves, 1u);
    EXPECT_EQ(counts.FloatRestores, 1u);
    EXPECT_EQ(counts.Depth, 0);
    EXPECT_EQ(p.BlueGain, 256u);

    host::ResetKernel();
    host::InjectFault("KeSaveFloatingPointState", {1, 1, STATUS_INSUFFICIENT_RESOURCES});
    p = Balance(16, 12, {100, 50, 100});
    EXPECT_EQ(p.BlueGain, 1u);
    EXPECT_EQ(p.GreenGain, 2u);
    EXPECT_EQ(p.RedGain, 3u);
    EXPECT_EQ(host::ProcessorState().FloatRestores, 0u);
    UnpinImagingPath();
}

// The scalar statistics add a word of samples per step (eight on x86-64, four on i386) in 16-bit lanes
// and fold the lanes every 256 steps: rows of 255s around those lengths would overflow a lane that was
// folded too late.
TEST(WhiteBalance, ParitySumsSurviveFullLanesAndEveryTail) {
    const std::vector<uint8_t> bytes = RandomBytes(6000, 11), full(6000, 255);
    for (const auto* source : {&full, &bytes}) {
        for (LONG length : {0,    1,    3,    4,    5,    7,    8,    9,    15,   16,   17,   1023, 1024,
                            1025, 1028, 1032, 2047, 2048, 2049, 2055, 2056, 2057, 4104, 4113, 5990}) {
            for (LONG offset : {0, 1, 5}) {
                ULONG expectedEven = 0, expectedOdd = 0;
                for (LONG c = 0; c < length; ++c)
                    (c % 2 == 0 ? expectedEven : expectedOdd) += (*source)[offset + c];
                ULONG even = 1, odd = 1;
                SumParitiesScalar(source->data() + offset, length, &even, &odd);
                EXPECT_EQ(even, expectedEven) << length << "+" << offset;
                EXPECT_EQ(odd, expectedOdd) << length << "+" << offset;
            }
        }
    }
}
