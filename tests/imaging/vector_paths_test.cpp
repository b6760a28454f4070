// The vector kernels against the scalar ones and the reference: every tail length, every gain class,
// and the fallback when the vector state cannot be saved.
#include "imaging/mono.h"
#include "imaging/vector_paths.h"
#include "imaging/white_balance.h"
#include "imaging_support.h"

#include <gtest/gtest.h>

using namespace imaging_test;

namespace {

class VectorPaths : public ::testing::Test {
  protected:
    void SetUp() override {
#if defined(Z40K_VECTOR_PATHS)
        if (!CpuHasAvx2())
            GTEST_SKIP() << "no AVX2 on this processor: the scalar kernels are the only ones";
#else
        GTEST_SKIP() << "this build has the scalar kernels only";
#endif
        host::ResetKernel();
    }
    void TearDown() override {
        host::ResetKernel();
    }
};

} // namespace

#if defined(Z40K_VECTOR_PATHS)

// Widths from 4 to 80 give every count of pixels left after the 32-pixel steps, for both phases of the
// first pixel; heights are kept small, the rows are what differs.
TEST_F(VectorPaths, DemosaicMatchesReferenceForEveryTailAndGain) {
    const ULONG vectorGains[][3] = {{128, 128, 128}, {0, 255, 256}, {32767, 1, 32767}, {200, 32767, 400}};
    const ULONG scalarGains[][3] = {{32768, 128, 128}, {128, 32768, 128}, {128, 128, 1000000}};
    for (LONG width = 4; width <= 80; ++width) {
        for (ULONG phase = 0; phase < 4; ++phase) {
            const LONG height = 7;
            for (int fill : {-1, 0, 255}) {
                std::mt19937 random(width * 4 + phase);
                auto scratch = MakeScratch(1, 0, width, height, width + 3, [&](LONG, LONG) {
                    return fill < 0 ? uint8_t(random()) : uint8_t(fill);
                });
                auto check = [&](const ULONG* g, bool expectVector) {
                    std::vector<uint8_t> fast(3 * width * height, SENTINEL), reference(fast);
                    ColorParams p =
                        Params(scratch, fast, 1, 0, width, height, width + 3, phase, g[0], g[1], g[2]);
                    ColorParams q = p;
                    q.Output = reference.data();
                    const unsigned savesBefore = host::ProcessorState().ExtendedSaves;
                    EXPECT_EQ(DemosaicBayer(&p), DemosaicBayerReference(&q));
                    ASSERT_EQ(fast, reference) << "width " << width << " phase " << phase << " fill " << fill
                                               << " gains " << g[0] << "," << g[1] << "," << g[2];
                    const bool vector = host::ProcessorState().ExtendedSaves > savesBefore;
                    EXPECT_EQ(vector, expectVector && width - 4 >= VECTOR_MIN_PIXELS) << "width " << width;
                };
                for (const auto& g : vectorGains)
                    check(g, true);
                for (const auto& g : scalarGains)
                    check(g, false);
            }
        }
    }
    const host::ProcessorStateCounts counts = host::ProcessorState();
    EXPECT_EQ(counts.ExtendedSaves, counts.ExtendedRestores);
    EXPECT_EQ(counts.LastExtendedMask, XSTATE_MASK_AVX);
    EXPECT_EQ(counts.Depth, 0);
}

TEST_F(VectorPaths, ParitySumsAndGreyReplicationMatchScalarAtEveryLength) {
    const auto bytes = RandomBytes(3000, 5);
    const std::vector<uint8_t> full(3000, 255);
    for (const auto* source : {&bytes, &full}) {
        for (LONG length : {0, 1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 2560, 2894}) {
            for (LONG offset : {0, 1, 3}) {
                ULONG evenScalar = 1, oddScalar = 1, evenVector = 2, oddVector = 2;
                SumParitiesScalar(source->data() + offset, length, &evenScalar, &oddScalar);
                SumParitiesAvx2(source->data() + offset, length, &evenVector, &oddVector);
                EXPECT_EQ(evenVector, evenScalar) << length << "+" << offset;
                EXPECT_EQ(oddVector, oddScalar) << length << "+" << offset;

                std::vector<uint8_t> scalar(3 * length + 8, SENTINEL), vector(scalar);
                ReplicateSamplesScalar(source->data() + offset, scalar.data(), SIZE_T(length));
                ReplicateSamplesAvx2(source->data() + offset, vector.data(), SIZE_T(length));
                EXPECT_EQ(vector, scalar) << length << "+" << offset;
            }
        }
    }
}

// Whole frames through the entry point: when the AVX state cannot be saved, every byte, the count and
// the gains come out exactly as from the vector path, and nothing is restored that was not saved.
TEST_F(VectorPaths, FailedStateSaveFallsBackToIdenticalScalarFrames) {
    ResetDriverState();
    RawDumpDone = 1;
    auto raw = PatternedRawFrame(RAW_FRAME_BYTES, 3);
    for (bool colour : {false, true}) {
        std::vector<uint8_t> frames[2];
        DeviceContext contexts[2];
        ULONG counts[2];
        for (int failSave = 0; failSave < 2; ++failSave) {
            host::ResetKernel();
            if (failSave)
                host::InjectFault("KeSaveExtendedProcessorState", {1, 0, STATUS_UNSUCCESSFUL});
            contexts[failSave] = FreshDevice();
            contexts[failSave].ColorEnable = colour;
            contexts[failSave].AutoWhiteBalance = colour;
            frames[failSave].assign(CAPTURE_FRAME_BYTES, SENTINEL);
            counts[failSave] = 0;
            CamProcessRawVideoFrameEx(nullptr, &contexts[failSave], nullptr, frames[failSave].data(),
                                      CAPTURE_FRAME_BYTES, raw.data(), ULONG(raw.size()), 0,
                                      &counts[failSave], ULONG(raw.size()), 0);
            const host::ProcessorStateCounts state = host::ProcessorState();
            if (failSave) {
                EXPECT_GT(host::CallCount("KeSaveExtendedProcessorState"), 0u);
                EXPECT_EQ(state.ExtendedRestores, 0u);
            } else {
                // Grey: the copy; colour: the statistics and the demosaic.
                EXPECT_EQ(state.ExtendedSaves, colour ? 2u : 1u);
                EXPECT_EQ(state.ExtendedRestores, state.ExtendedSaves);
            }
            EXPECT_EQ(state.Depth, 0);
        }
        EXPECT_EQ(counts[0], counts[1]);
        EXPECT_TRUE(frames[0] == frames[1]) << (colour ? "colour" : "grey");
        EXPECT_EQ(contexts[0].BlueGain, contexts[1].BlueGain);
        EXPECT_EQ(contexts[0].GreenGain, contexts[1].GreenGain);
        EXPECT_EQ(contexts[0].RedGain, contexts[1].RedGain);
    }
}

#endif
