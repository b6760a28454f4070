// Each kernel path (scalar, SSE2, SSSE3, AVX2, AVX-512) pinned in turn against the reference and the scalar
// kernels: every tail length and output alignment, every gain class, whole frames through the entry point,
// and the fallback when the vector state cannot be saved. A path the processor lacks is skipped, saying so.
#include "imaging/mono.h"
#include "imaging/white_balance.h"
#include "tests/imaging/imaging_support.h"

#include <gtest/gtest.h>

using namespace imaging_test;

namespace {

class ImagingPaths : public ::testing::TestWithParam<ImagingPath> {
  protected:
    void SetUp() override {
        ResetDriverState();
        const std::string why = PinImagingPath(GetParam());
        if (!why.empty())
            GTEST_SKIP() << why;
    }
    void TearDown() override { ResetDriverState(); }
    bool Avx() const { return GetParam() >= IMAGING_PATH_AVX2; }
    // The extended state a vector span of an AVX path saves.
    ULONG64 SavedMask() const {
        return GetParam() == IMAGING_PATH_AVX512 ? (XSTATE_MASK_AVX | XSTATE_MASK_AVX512) : XSTATE_MASK_AVX;
    }
    // Saves of either kind that succeeded, and restores: the SSE paths save the floating-point state.
    static unsigned Saves() {
        const host::ProcessorStateCounts counts = host::ProcessorState();
        return counts.ExtendedSaves + counts.FloatSaves;
    }
    static unsigned Restores() {
        const host::ProcessorStateCounts counts = host::ProcessorState();
        return counts.ExtendedRestores + counts.FloatRestores;
    }
};

} // namespace

// Widths from 4 to 80 give every count of pixels left after the AVX2 steps, the wider ones every
// AVX-512 head (the pixels before the output reaches a 64-byte boundary) and tail; the output is placed
// at varying offsets so the heads differ. Heights are kept small, the rows are what differs.
TEST_P(ImagingPaths, DemosaicMatchesReferenceForEveryTailAndGain) {
    const ULONG vectorGains[][3] = {
        {128, 128, 128}, {0, 255, 256}, {32767, 1, 32767}, {200, 32767, 400}, {16383, 16383, 16384}};
    const ULONG scalarGains[][3] = {{32768, 128, 128}, {128, 32768, 128}, {128, 128, 1000000}};
    std::vector<LONG> widths;
    for (LONG width = 4; width <= 80; ++width)
        widths.push_back(width);
    for (LONG width : {131, 132, 133, 197, 260})
        widths.push_back(width);
    for (LONG width : widths) {
        for (ULONG phase = 0; phase < 4; ++phase) {
            const LONG height = 7;
            const size_t offset = size_t(width * 13 + phase * 5) % 64;
            for (int fill : {-1, 0, 255}) {
                std::mt19937 random(width * 4 + phase);
                auto scratch = MakeScratch(1, 0, width, height, width + 3, [&](LONG, LONG) {
                    return fill < 0 ? uint8_t(random()) : uint8_t(fill);
                });
                auto check = [&](const ULONG* g, bool vectorGain) {
                    std::vector<uint8_t> fast(3 * width * height + 64, SENTINEL), reference(fast);
                    ColorParams p =
                        Params(scratch, fast, 1, 0, width, height, width + 3, phase, g[0], g[1], g[2]);
                    p.Output += offset;
                    ColorParams q = p;
                    q.Output = reference.data() + offset;
                    const unsigned savesBefore = Saves();
                    EXPECT_EQ(DemosaicBayer(&p), DemosaicBayerReference(&q));
                    ASSERT_EQ(fast, reference) << "width " << width << " phase " << phase << " fill " << fill
                                               << " gains " << g[0] << "," << g[1] << "," << g[2];
                    const bool vector = Saves() > savesBefore;
                    EXPECT_EQ(vector, GetParam() != IMAGING_PATH_SCALAR && vectorGain &&
                                          width - 4 >= VECTOR_MIN_PIXELS)
                        << "width " << width;
                };
                for (const auto& g : vectorGains)
                    check(g, true);
                for (const auto& g : scalarGains)
                    check(g, false);
            }
        }
    }
    const host::ProcessorStateCounts counts = host::ProcessorState();
    EXPECT_EQ(Saves(), Restores());
    EXPECT_EQ(counts.ExtendedSaves > 0, Avx());
    if (Avx()) {
        EXPECT_EQ(counts.LastExtendedMask, SavedMask());
    }
    EXPECT_EQ(counts.Depth, 0);
}

// The statistics and grey row kernels of the path against the scalar ones, at every length around the
// vector steps and at source and output offsets that move the heads.
TEST_P(ImagingPaths, RowKernelsMatchScalarAtEveryLength) {
    const auto bytes = RandomBytes(3000, 5);
    const std::vector<uint8_t> full(3000, 255);
    VectorStateSave save;
    const ImagingKernels kernels = BeginImagingKernels(&save);
    EXPECT_EQ(kernels.Path, GetParam());
    for (const auto* source : {&bytes, &full}) {
        for (LONG length :
             {0, 1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 100, 127, 128, 129, 191, 2560, 2894}) {
            for (LONG offset : {0, 1, 3, 22}) {
                ULONG evenScalar = 1, oddScalar = 1, evenPath = 2, oddPath = 2;
                SumParitiesScalar(source->data() + offset, length, &evenScalar, &oddScalar);
                kernels.SumParities(source->data() + offset, length, &evenPath, &oddPath);
                EXPECT_EQ(evenPath, evenScalar) << length << "+" << offset;
                EXPECT_EQ(oddPath, oddScalar) << length << "+" << offset;

                std::vector<uint8_t> scalar(3 * length + 72, SENTINEL), path(scalar);
                ReplicateSamplesScalar(source->data() + offset, scalar.data() + offset, SIZE_T(length));
                kernels.Replicate(source->data() + offset, path.data() + offset, SIZE_T(length));
                EXPECT_EQ(path, scalar) << length << "+" << offset;
            }
        }
    }
    EndImagingKernels(&save, kernels);
    EXPECT_EQ(host::ProcessorState().Depth, 0);
}

// Whole frames through the entry point, read straight from the raw frame's fields: windows at the
// origin and at odd columns and lines (the first row then comes from the second field). Colour with the
// white balance against the reference demosaic under the gains the statistics give; grey against the
// window's samples.
TEST_P(ImagingPaths, WholeFramesMatchTheReferenceForEachWindow) {
    RawDumpDone = 1;
    auto raw = PatternedRawFrame(RAW_FRAME_BYTES, 9);
    std::vector<uint8_t> scratch(RAW_FRAME_BYTES, 0);
    DeinterlaceFrame(raw.data(), scratch.data());
    struct Window {
        LONG X, Y, Width, Height;
    } windows[] = {{0, 0, 2560, 1920}, {3, 5, 1001, 700}, {0, 1, 2560, 1919}, {2000, 1200, 560, 720}};
    for (const Window& w : windows) {
        ASSERT_EQ(SetSourceRect(2894, w.X, w.Width, 2048, w.Y, w.Height), STATUS_SUCCESS);
        const size_t frameBytes = size_t(3) * w.Width * w.Height;

        ColorParams expected = Params(scratch, scratch, w.X, w.Y, w.Width, w.Height, 2894, 0, 1, 1, 1);
        PinImagingPath(IMAGING_PATH_SCALAR); // the statistics here only give the gains to expect
        ComputeWhiteBalance(&expected);
        PinImagingPath(GetParam());
        std::vector<uint8_t> reference(frameBytes, SENTINEL);
        expected.Output = reference.data();
        DemosaicBayerReference(&expected);

        DeviceContext colour = FreshDevice(w.Width, w.Height);
        colour.AutoWhiteBalance = 1;
        std::vector<uint8_t> frame(frameBytes, SENTINEL);
        ULONG count = 0;
        CamProcessRawVideoFrameEx(nullptr, &colour, nullptr, frame.data(), ULONG(frame.size()), raw.data(),
                                  ULONG(raw.size()), 0, &count, ULONG(raw.size()), 0);
        EXPECT_EQ(count, ULONG((w.Width - 2) * (w.Height - 2) * 3));
        EXPECT_EQ(colour.BlueGain, expected.BlueGain);
        EXPECT_EQ(colour.GreenGain, expected.GreenGain);
        EXPECT_EQ(colour.RedGain, expected.RedGain);
        EXPECT_TRUE(frame == reference) << "colour window " << w.X << "," << w.Y;

        DeviceContext grey = FreshDevice(w.Width, w.Height);
        grey.ColorEnable = 0;
        CamProcessRawVideoFrameEx(nullptr, &grey, nullptr, frame.data(), ULONG(frame.size()), raw.data(),
                                  ULONG(raw.size()), 0, &count, ULONG(raw.size()), 0);
        EXPECT_EQ(count, frameBytes);
        for (LONG k = 0; k < w.Height; ++k) {
            const uint8_t* source = &scratch[size_t(w.Y + w.Height - 1 - k) * 2894 + w.X];
            const uint8_t* row = &frame[size_t(k) * 3 * w.Width];
            for (LONG c = 0; c < w.Width; ++c)
                ASSERT_TRUE(row[3 * c] == source[c] && row[3 * c + 1] == source[c] &&
                            row[3 * c + 2] == source[c])
                    << "grey window " << w.X << "," << w.Y << " row " << k << " column " << c;
        }
    }
    EXPECT_EQ(host::ProcessorState().Depth, 0);
}

// When the vector state cannot be saved, every byte, the count and the gains come out exactly as on the
// path's own kernels, and nothing is restored that was not saved. The AVX paths fail every extended save;
// the SSE paths fail one floating-point save at a time (the white balance's own between the statistics
// and the demosaic is left alone: without it the frame keeps its gains, on every path).
TEST_P(ImagingPaths, FailedStateSaveFallsBackToIdenticalScalarFrames) {
    RawDumpDone = 1;
    auto raw = PatternedRawFrame(RAW_FRAME_BYTES, 3);
    struct Fault {
        const char* Name;
        host::FaultRule Rule;
    };
    for (bool colour : {false, true}) {
        std::vector<Fault> faults = {{nullptr, {}}};
        if (Avx())
            faults.push_back({"KeSaveExtendedProcessorState", {1, 0, STATUS_UNSUCCESSFUL}});
        else if (GetParam() != IMAGING_PATH_SCALAR)
            faults.push_back({"KeSaveFloatingPointState", {1, 1, STATUS_UNSUCCESSFUL}});
        if (colour && faults.size() > 1 && !Avx())
            faults.push_back({"KeSaveFloatingPointState", {3, 1, STATUS_UNSUCCESSFUL}});
        std::vector<uint8_t> frames[3];
        DeviceContext contexts[3];
        ULONG counts[3];
        for (size_t f = 0; f < faults.size(); ++f) {
            host::ResetKernel();
            if (faults[f].Name != nullptr)
                host::InjectFault(faults[f].Name, faults[f].Rule);
            contexts[f] = FreshDevice();
            contexts[f].ColorEnable = colour;
            contexts[f].AutoWhiteBalance = colour;
            frames[f].assign(CAPTURE_FRAME_BYTES, SENTINEL);
            counts[f] = 0;
            CamProcessRawVideoFrameEx(nullptr, &contexts[f], nullptr, frames[f].data(), CAPTURE_FRAME_BYTES,
                                      raw.data(), ULONG(raw.size()), 0, &counts[f], ULONG(raw.size()), 0);
            // One attempt per span (grey: the copy; colour: the statistics and the demosaic, with the
            // white balance's floating point between them), never retried with less state.
            const unsigned spans = GetParam() == IMAGING_PATH_SCALAR ? 0u : colour ? 2u : 1u;
            EXPECT_EQ(host::CallCount("KeSaveExtendedProcessorState") +
                          host::CallCount("KeSaveFloatingPointState"),
                      spans + (colour ? 1u : 0u));
            EXPECT_EQ(Saves(), Restores());
            const host::ProcessorStateCounts state = host::ProcessorState();
            if (Avx() && faults[f].Name == nullptr) {
                EXPECT_EQ(state.LastExtendedMask, SavedMask());
            }
            EXPECT_EQ(state.Depth, 0);
            EXPECT_EQ(counts[f], counts[0]);
            EXPECT_TRUE(frames[f] == frames[0]) << (colour ? "colour" : "grey") << " fault " << f;
            EXPECT_EQ(contexts[f].BlueGain, contexts[0].BlueGain);
            EXPECT_EQ(contexts[f].GreenGain, contexts[0].GreenGain);
            EXPECT_EQ(contexts[f].RedGain, contexts[0].RedGain);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EachPath, ImagingPaths, ::testing::ValuesIn(ALL_PATHS),
                         [](const ::testing::TestParamInfo<ImagingPath>& Info) {
                             return PathName(Info.param);
                         });

// The path each system and processor leave the driver: the older of what the system enables (XP and
// Vista no extended state, 7 the AVX state, 10 AVX-512's too) and what the processor's cpuid offers.
// Expected paths beyond the real processor's best are that best.
TEST(ImagingPathChoice, EachSystemAndProcessorGiveTheirPath) {
    using host::ProcessorLevel;
    using host::WindowsTarget;
    host::ResetKernel();
    FindExtendedStateRoutines();
    const ImagingPath best = SupportedImagingPath();
    const struct {
        WindowsTarget Target;
        ProcessorLevel Level;
        ImagingPath Path;
    } cases[] = {
        {WindowsTarget::Xp, ProcessorLevel::NoSse2, IMAGING_PATH_SCALAR},
        {WindowsTarget::Xp, ProcessorLevel::Sse2, IMAGING_PATH_SSE2},
        {WindowsTarget::Xp, ProcessorLevel::Ssse3, IMAGING_PATH_SSSE3},
        {WindowsTarget::Xp, ProcessorLevel::Real, IMAGING_PATH_SSSE3},
        {WindowsTarget::Vista, ProcessorLevel::Real, IMAGING_PATH_SSSE3},
        {WindowsTarget::Seven, ProcessorLevel::Ssse3, IMAGING_PATH_SSSE3},
        {WindowsTarget::Seven, ProcessorLevel::Real, IMAGING_PATH_AVX2},
        {WindowsTarget::Ten, ProcessorLevel::NoSse2, IMAGING_PATH_SCALAR},
        {WindowsTarget::Ten, ProcessorLevel::Sse2, IMAGING_PATH_SSE2},
        {WindowsTarget::Ten, ProcessorLevel::Avx2, IMAGING_PATH_AVX2},
        {WindowsTarget::Ten, ProcessorLevel::Real, IMAGING_PATH_AVX512},
    };
    for (const auto& c : cases) {
        host::SetWindowsTarget(c.Target);
        host::SetProcessorLevel(c.Level);
        FindExtendedStateRoutines(); // as DriverEntry does
        EXPECT_EQ(SupportedImagingPath(), c.Path < best ? c.Path : best)
            << host::WindowsTargetName(c.Target) << ", processor level " << int(c.Level);
    }
    host::ResetKernel();
    FindExtendedStateRoutines();
    EXPECT_EQ(SupportedImagingPath(), best);
}
