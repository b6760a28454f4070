// The raw-frame entry points: de-interlace, grey output, the colour path's byte count and bounds, the
// one-time dump, and frames that cannot be converted.
#include "imaging/mono.h"
#include "tests/imaging/imaging_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

using namespace imaging_test;

namespace {

constexpr ULONG UNTOUCHED_COUNT = 0xDEADBEEF;
// One past the last sample of the second field's last line: the shortest raw frame that holds both.
constexpr ULONG SHORTEST_RAW_FRAME = 5866959;

class RawFrame : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetDriverState();
        driveC_ = std::filesystem::temp_directory_path() /
                  ("z40k-imaging-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(driveC_);
        host::FilesSetDriveC(driveC_.string());
        blocksBefore_ = host::PoolOutstanding().size();
    }
    void TearDown() override {
        EXPECT_EQ(host::PoolOutstanding().size(), blocksBefore_) << "scratch frame leaked";
        EXPECT_TRUE(host::PoolTakeErrors().empty()) << "pool guard damaged";
        std::filesystem::remove_all(driveC_);
        host::ResetKernel();
    }

    // Runs the version-2 entry point as the library would; the buffers are exactly their length so that
    // the pool's and the sanitizers' guards catch any stray access.
    ULONG Run(DeviceContext& Context, std::vector<uint8_t>& Raw, std::vector<uint8_t>& Frame,
              ULONG StreamNumber = 0, NTSTATUS* Status = nullptr) {
        ULONG bytes = UNTOUCHED_COUNT;
        NTSTATUS status = CamProcessRawVideoFrameEx(nullptr, &Context, nullptr, Frame.data(),
                                                    ULONG(Frame.size()), Raw.data(), ULONG(Raw.size()), 1234,
                                                    &bytes, ULONG(Raw.size()), StreamNumber);
        if (Status)
            *Status = status;
        EXPECT_EQ(status, STATUS_SUCCESS);
        return bytes;
    }

    std::filesystem::path DumpPath() const { return driveC_ / "DS-test.raw"; }

    std::filesystem::path driveC_;
    size_t blocksBefore_ = 0;
};

bool AllEqual(const std::vector<uint8_t>& Bytes, size_t From, size_t To, uint8_t Value) {
    for (size_t i = From; i < To; ++i)
        if (Bytes[i] != Value)
            return false;
    return true;
}

} // namespace

// Stored row k is window row 1919 - k, left to right, each sample three times; window rows come from
// the two fields at their fixed offsets.
TEST_F(RawFrame, GreyFrameIsTheDeinterlacedWindowBottomUp) {
    DeviceContext context = FreshDevice();
    context.ColorEnable = 0;
    auto raw = PatternedRawFrame();
    std::vector<uint8_t> frame(CAPTURE_FRAME_BYTES, SENTINEL);

    EXPECT_EQ(Run(context, raw, frame), CAPTURE_FRAME_BYTES);

    EXPECT_EQ(RawOffsetOf(1919, 0), 5864399u);
    EXPECT_EQ(frame[0], raw[5864399]);
    for (size_t k :
         {size_t(0), size_t(1), size_t(2), size_t(958), size_t(1917), size_t(1918), size_t(1919)}) {
        const size_t row = 1919 - k;
        for (size_t c = 0; c < 2560; ++c) {
            const uint8_t s = raw[RawOffsetOf(row, c)];
            const size_t at = (k * 2560 + c) * 3;
            ASSERT_TRUE(frame[at] == s && frame[at + 1] == s && frame[at + 2] == s)
                << "row " << k << " col " << c;
        }
    }
    // Scratch lines 0 and 1 are raw bytes 14,675.. and 3,089,053..; the top row of the picture is last.
    EXPECT_EQ(frame[(1919 * 2560) * 3], raw[14675]);
    EXPECT_EQ(frame[(1918 * 2560) * 3], raw[3089053]);
    EXPECT_EQ(frame[(1918 * 2560 + 2559) * 3], raw[3091612]);
}

// Bytes of the raw frame outside the two fields' samples never reach the picture.
TEST_F(RawFrame, OnlyTheFieldsSamplesAreRead) {
    DeviceContext context = FreshDevice();
    context.ColorEnable = 0;
    std::vector<uint8_t> raw(RAW_FRAME_BYTES, 0xFF);
    for (size_t r = 0; r < 1920; ++r)
        std::memset(&raw[RawOffsetOf(r, 0)], 0x11, 2560);
    std::vector<uint8_t> frame(CAPTURE_FRAME_BYTES, SENTINEL);
    Run(context, raw, frame);
    EXPECT_TRUE(AllEqual(frame, 0, frame.size(), 0x11));
}

TEST_F(RawFrame, VersionTwoEntryConvertsStillFramesAlike) {
    DeviceContext context = FreshDevice();
    auto raw = PatternedRawFrame();
    std::vector<uint8_t> video(CAPTURE_FRAME_BYTES, SENTINEL), still(CAPTURE_FRAME_BYTES, SENTINEL);
    EXPECT_EQ(Run(context, raw, video, 0), Run(context, raw, still, 1));
    EXPECT_EQ(video, still);
}

// Colour through the whole entry point equals the reference demosaic of the de-interlaced window; the
// count is (W - 2) x (H - 2) x 3, and what the demosaic does not write keeps its old content.
// Once as the processor allows and once with the vector state refused: the scalar demosaic then keeps
// its gain tables in the scratch frame below the window, which must not disturb the picture.
TEST_F(RawFrame, ColourFrameMatchesTheReferenceAndLeavesItsMarginsAlone) {
    auto raw = PatternedRawFrame(RAW_FRAME_BYTES, 7);
    std::vector<uint8_t> scratch(RAW_FRAME_BYTES, 0);
    for (size_t r = 0; r < 1920; ++r)
        std::memcpy(&scratch[r * 2894], &raw[RawOffsetOf(r, 0)], 2560);
    std::vector<uint8_t> expected(CAPTURE_FRAME_BYTES, SENTINEL);
    ColorParams p = Params(scratch, expected, 0, 0, 2560, 1920, 2894, 0, 200, 128, 90);
    DemosaicBayerReference(&p);

    for (bool refuseVectorState : {false, true}) {
        if (refuseVectorState)
            host::InjectFault("KeSaveExtendedProcessorState", {1, 0, STATUS_UNSUCCESSFUL});
        DeviceContext context = FreshDevice();
        context.BlueGain = 200;
        context.RedGain = 90;
        std::vector<uint8_t> frame(CAPTURE_FRAME_BYTES, SENTINEL);

        EXPECT_EQ(Run(context, raw, frame), 14718732u);
        EXPECT_TRUE(frame == expected) << "vector state refused: " << refuseVectorState;
        for (size_t k = 0; k < 1916; ++k)
            ASSERT_TRUE(AllEqual(frame, k * 7680 + 7668, (k + 1) * 7680, SENTINEL)) << k;
        EXPECT_TRUE(AllEqual(frame, 1916 * 7680, frame.size(), SENTINEL)); // 30,720 bytes
        host::ClearFault("KeSaveExtendedProcessorState");
    }
}

TEST_F(RawFrame, WhiteBalanceRunsOnColourFramesOnlyAndItsGainsStay) {
    auto raw = PatternedRawFrame();
    // Blue samples half as bright as the others.
    for (size_t r = 0; r < 1920; ++r)
        for (size_t c = 0; c < 2560; ++c)
            raw[RawOffsetOf(r, c)] = BayerClass(0, LONG(r), LONG(c)) == SAMPLE_BLUE ? 50 : 100;
    std::vector<uint8_t> frame(CAPTURE_FRAME_BYTES, SENTINEL);

    DeviceContext grey = FreshDevice();
    grey.ColorEnable = 0;
    grey.AutoWhiteBalance = 1;
    grey.GreenGain = 77;
    Run(grey, raw, frame);
    EXPECT_EQ(grey.BlueGain, 128u);
    EXPECT_EQ(grey.GreenGain, 77u);
    EXPECT_EQ(host::ProcessorState().FloatSaves, 0u);

    DeviceContext colour = FreshDevice();
    colour.AutoWhiteBalance = 1;
    colour.GreenGain = 77;
    Run(colour, raw, frame);
    EXPECT_EQ(colour.BlueGain, 256u);
    EXPECT_EQ(colour.GreenGain, 128u);
    EXPECT_EQ(colour.RedGain, 128u);
    // Applied to the same frame: blue 50 x 2 comes out as 100 like the others.
    EXPECT_EQ(frame[0], 100);
    EXPECT_EQ(frame[1], 100);
    EXPECT_EQ(frame[2], 100);

    // A failed floating-point save keeps the gains the frame started with, and they are written back.
    colour.BlueGain = 5;
    colour.GreenGain = 6;
    colour.RedGain = 7;
    host::InjectFault("KeSaveFloatingPointState", {1, 1, STATUS_UNSUCCESSFUL});
    Run(colour, raw, frame);
    EXPECT_EQ(colour.BlueGain, 5u);
    EXPECT_EQ(colour.GreenGain, 6u);
    EXPECT_EQ(colour.RedGain, 7u);
}

TEST_F(RawFrame, NothingToConvertLeavesCountAndBufferAlone) {
    DeviceContext context = FreshDevice();
    auto raw = PatternedRawFrame();
    std::vector<uint8_t> frame(64, SENTINEL);
    ULONG bytes = UNTOUCHED_COUNT;
    const uint64_t allocations = host::PoolAllocationCount();
    // No raw frame length (none was set at bandwidth allocation), or no frame buffer length.
    EXPECT_EQ(CamProcessRawVideoFrame(nullptr, &context, nullptr, frame.data(), 64, raw.data(), 0, 0, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(CamProcessRawVideoFrame(nullptr, &context, nullptr, frame.data(), 0, raw.data(),
                                      ULONG(raw.size()), 0, &bytes),
              STATUS_SUCCESS);
    EXPECT_EQ(bytes, UNTOUCHED_COUNT);
    EXPECT_TRUE(AllEqual(frame, 0, frame.size(), SENTINEL));
    EXPECT_EQ(host::PoolAllocationCount(), allocations);
}

// Frames that cannot be converted are dropped: success, 0 bytes, nothing written, no stray access.
TEST_F(RawFrame, UnconvertibleFramesAreDroppedAsZeroBytes) {
    DeviceContext context = FreshDevice();
    std::vector<uint8_t> frame(CAPTURE_FRAME_BYTES, SENTINEL);

    // A raw frame one byte short of the second field's last sample: no scratch frame is even allocated.
    auto shortRaw = PatternedRawFrame(SHORTEST_RAW_FRAME - 1);
    const uint64_t allocations = host::PoolAllocationCount();
    EXPECT_EQ(Run(context, shortRaw, frame), 0u);
    EXPECT_EQ(host::PoolAllocationCount(), allocations);

    // No scratch frame to be had.
    auto raw = PatternedRawFrame();
    host::InjectFault("ExAllocatePoolWithTag", {1, 1, STATUS_INSUFFICIENT_RESOURCES});
    EXPECT_EQ(Run(context, raw, frame), 0u);
    context.ColorEnable = 0;
    host::InjectFault("ExAllocatePoolWithTag", {1, 1, STATUS_INSUFFICIENT_RESOURCES});
    EXPECT_EQ(Run(context, raw, frame), 0u);
    EXPECT_FALSE(std::filesystem::exists(DumpPath()));
    EXPECT_EQ(RawDumpDone, 0);

    // A colour frame buffer shorter than the picture is not written at all.
    context.ColorEnable = 1;
    context.AutoWhiteBalance = 1;
    std::vector<uint8_t> shortFrame(CAPTURE_FRAME_BYTES - 1, SENTINEL);
    EXPECT_EQ(Run(context, raw, shortFrame), 0u);
    EXPECT_EQ(context.BlueGain, 128u);
    EXPECT_EQ(host::ProcessorState().FloatSaves, 0u);

    EXPECT_TRUE(AllEqual(frame, 0, frame.size(), SENTINEL));
    EXPECT_TRUE(AllEqual(shortFrame, 0, shortFrame.size(), SENTINEL));
}

// The shortest raw frame accepted converts fully: its scratch frame, of the same length, is shorter
// than the dump's 5,926,912 bytes, which is then cut to the scratch frame.
TEST_F(RawFrame, ShortestRawFrameConvertsAndDumpsOnlyWhatItHas) {
    DeviceContext context = FreshDevice();
    context.ColorEnable = 0;
    auto raw = PatternedRawFrame(SHORTEST_RAW_FRAME);
    std::vector<uint8_t> frame(CAPTURE_FRAME_BYTES, SENTINEL);
    EXPECT_EQ(Run(context, raw, frame), CAPTURE_FRAME_BYTES);
    EXPECT_EQ(frame[0], raw[5864399]);
    EXPECT_EQ(std::filesystem::file_size(DumpPath()), SHORTEST_RAW_FRAME - 1); // the even scratch end
    context.ColorEnable = 1;
    EXPECT_EQ(Run(context, raw, frame), 14718732u);
}

// The grey copy stops when the buffer is full, writes whole pixels only, and never climbs above the
// window however long the buffer or odd the format.
TEST_F(RawFrame, GreyCopyIsBoundedByBufferRowsAndScratch) {
    auto raw = PatternedRawFrame();
    DeviceContext context = FreshDevice();
    context.ColorEnable = 0;

    std::vector<uint8_t> small(3 * 5 + 2, SENTINEL); // room for 5 whole pixels and 2 bytes
    EXPECT_EQ(Run(context, raw, small), 15u);
    EXPECT_EQ(small[15], SENTINEL);
    EXPECT_EQ(small[16], SENTINEL);
    EXPECT_EQ(small[12], raw[RawOffsetOf(1919, 4)]);

    std::vector<uint8_t> large(CAPTURE_FRAME_BYTES + 4096, SENTINEL);
    EXPECT_EQ(Run(context, raw, large), CAPTURE_FRAME_BYTES);
    EXPECT_TRUE(AllEqual(large, CAPTURE_FRAME_BYTES, large.size(), SENTINEL));

    DeviceContext noWidth = FreshDevice(0, 1920);
    noWidth.ColorEnable = 0;
    EXPECT_EQ(Run(noWidth, raw, small), 0u);
    DeviceContext negative = FreshDevice(-5, -7);
    negative.ColorEnable = 0;
    EXPECT_EQ(Run(negative, raw, small), 0u);

    // A format taller than the scratch frame: rows below its end are skipped, the rest still copied
    // from the window upward, and nothing is read outside the scratch frame.
    DeviceContext tall = FreshDevice(2560, 2100);
    tall.ColorEnable = 0;
    std::vector<uint8_t> frame(2560 * 2100 * 3, SENTINEL);
    const ULONG bytes = Run(tall, raw, frame);
    EXPECT_EQ(bytes % 3, 0u);
    EXPECT_LE(bytes, frame.size());
    EXPECT_GT(bytes, CAPTURE_FRAME_BYTES);

    // A format wider than a line: its last row ends where the scratch frame ends.
    DeviceContext wide = FreshDevice(2900, 2048);
    wide.ColorEnable = 0;
    std::vector<uint8_t> wideFrame(2900 * 2048 * 3, SENTINEL);
    EXPECT_EQ(Run(wide, raw, wideFrame), (2047u * 2900 + 2894) * 3);
}

TEST_F(RawFrame, FirstGreyFrameIsDumpedOncePerLoadAndColourFramesNever) {
    auto raw = PatternedRawFrame();
    std::vector<uint8_t> frame(CAPTURE_FRAME_BYTES, SENTINEL);
    DeviceContext colour = FreshDevice();
    Run(colour, raw, frame);
    EXPECT_FALSE(std::filesystem::exists(DumpPath()));
    EXPECT_EQ(RawDumpDone, 0);

    DeviceContext grey = FreshDevice();
    grey.ColorEnable = 0;
    Run(grey, raw, frame);
    ASSERT_TRUE(std::filesystem::exists(DumpPath()));
    std::ifstream in(DumpPath(), std::ios::binary);
    std::vector<uint8_t> dump((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(dump.size(), RAW_FRAME_BYTES);
    for (size_t r = 0; r < 1920; ++r) {
        ASSERT_EQ(std::memcmp(&dump[r * 2894], &raw[RawOffsetOf(r, 0)], 2560), 0) << "line " << r;
        ASSERT_TRUE(AllEqual(dump, r * 2894 + 2560, (r + 1) * 2894, 0)) << "line " << r; // no stale pool
    }
    EXPECT_TRUE(AllEqual(dump, 1920 * 2894, dump.size(), 0));
    EXPECT_EQ(host::FilesOpenHandles(), 0u);

    // Later grey frames, of this camera or another, leave the file alone.
    std::filesystem::remove(DumpPath());
    Run(grey, raw, frame);
    DeviceContext second = FreshDevice();
    second.ColorEnable = 0;
    Run(second, raw, frame);
    EXPECT_FALSE(std::filesystem::exists(DumpPath()));
}

TEST_F(RawFrame, FailedDumpIsNotRetriedAndTheFrameIsConvertedAnyway) {
    auto raw = PatternedRawFrame();
    std::vector<uint8_t> frame(CAPTURE_FRAME_BYTES, SENTINEL);
    DeviceContext grey = FreshDevice();
    grey.ColorEnable = 0;
    host::InjectFault("ZwCreateFile", {1, 1, STATUS_UNSUCCESSFUL});
    EXPECT_EQ(Run(grey, raw, frame), CAPTURE_FRAME_BYTES);
    EXPECT_EQ(frame[0], raw[5864399]);
    EXPECT_EQ(host::CallCount("ZwWriteFile"), 0u);
    EXPECT_EQ(host::FilesOpenHandles(), 0u);
    Run(grey, raw, frame);
    EXPECT_FALSE(std::filesystem::exists(DumpPath()));
    EXPECT_EQ(host::CallCount("ZwCreateFile"), 1u);

    // A failed write still closes the file.
    RawDumpDone = 0;
    host::InjectFault("ZwWriteFile", {1, 1, STATUS_UNSUCCESSFUL});
    EXPECT_EQ(Run(grey, raw, frame), CAPTURE_FRAME_BYTES);
    EXPECT_EQ(host::FilesOpenHandles(), 0u);
}

// The colour path checks its window against both buffers: a window reaching past a short scratch frame
// is dropped, never read.
TEST_F(RawFrame, ColourWindowOutsideScratchIsDropped) {
    DeviceContext context = FreshDevice();
    ASSERT_EQ(SetWindowFromFormat(&context, 2894, 2048), STATUS_SUCCESS);
    std::vector<uint8_t> scratch(RAW_FRAME_BYTES - 2, 0x40);
    std::vector<uint8_t> frame(2894 * 2048 * 3, SENTINEL);
    EXPECT_EQ(ConvertColor(&context, scratch.data(), scratch.data() + scratch.size(), frame.data(),
                           frame.data() + frame.size()),
              0u);
    EXPECT_TRUE(AllEqual(frame, 0, frame.size(), SENTINEL));
    scratch.resize(RAW_FRAME_BYTES, 0x40);
    EXPECT_EQ(ConvertColor(&context, scratch.data(), scratch.data() + scratch.size(), frame.data(),
                           frame.data() + frame.size()),
              2892u * 2046u * 3u);
    EXPECT_EQ(frame[0], 0x40);

    // A window of three columns holds no quad of samples: dropped as well.
    ASSERT_EQ(SetSourceRect(2894, 0, 3, 2048, 0, 1920), STATUS_SUCCESS);
    std::fill(frame.begin(), frame.end(), SENTINEL);
    EXPECT_EQ(ConvertColor(&context, scratch.data(), scratch.data() + scratch.size(), frame.data(),
                           frame.data() + frame.size()),
              0u);
    EXPECT_TRUE(AllEqual(frame, 0, frame.size(), SENTINEL));
}
