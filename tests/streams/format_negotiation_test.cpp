// Intersection, verification and the control hook, driven with hand-built SRBs. Every range and format
// goes in a heap buffer of exactly its declared size, so that a read past it is caught by ASan.
#include "streams/format_negotiation.h"
#include "streams/stream_descriptors.h"
#include "host/streamclass/stream_class_host.h"
#include "tests/driver/stack_rig.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr ULONG UNTOUCHED = 0xDEADBEEF;

std::vector<uint8_t> RangeBytes(const KS_DATARANGE_VIDEO& Range) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&Range);
    return std::vector<uint8_t>(bytes, bytes + sizeof Range);
}

KS_DATARANGE_VIDEO* AsRange(std::vector<uint8_t>& Bytes) {
    return reinterpret_cast<KS_DATARANGE_VIDEO*>(Bytes.data());
}

struct IntersectResult {
    NTSTATUS Returned;
    NTSTATUS Status;
    ULONG Actual;
    std::vector<uint8_t> Buffer;
    std::vector<uint8_t> Range; // the proposed range afterwards
};

// One intersection request; the range travels in an exact-size buffer of Range.size() bytes.
IntersectResult Intersect(ULONG StreamNumber, std::vector<uint8_t> Range, ULONG BufferSize) {
    std::unique_ptr<uint8_t[]> range(new uint8_t[Range.size()]);
    std::memcpy(range.get(), Range.data(), Range.size());
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[BufferSize == 0 ? 1 : BufferSize]);
    std::memset(buffer.get(), 0xA5, BufferSize == 0 ? 1 : BufferSize);
    STREAM_DATA_INTERSECT_INFO info{StreamNumber, reinterpret_cast<PKSDATARANGE>(range.get()),
                                    BufferSize == 0 ? nullptr : buffer.get(), BufferSize};
    HW_STREAM_REQUEST_BLOCK srb;
    std::memset(&srb, 0, sizeof srb);
    srb.Command = SRB_GET_DATA_INTERSECTION;
    srb.Status = STATUS_PENDING;
    srb.CommandData.IntersectInfo = &info;
    srb.ActualBytesTransferred = UNTOUCHED;
    IntersectResult result;
    result.Returned = IntersectStreamFormat(&srb);
    result.Status = srb.Status;
    result.Actual = srb.ActualBytesTransferred;
    result.Buffer.assign(buffer.get(), buffer.get() + BufferSize);
    result.Range.assign(range.get(), range.get() + Range.size());
    return result;
}

bool Verify(const std::vector<uint8_t>& Format, LONG StreamNumber) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[Format.size()]);
    std::memcpy(copy.get(), Format.data(), Format.size());
    return VerifyStreamFormat(reinterpret_cast<const KSDATAFORMAT*>(copy.get()), StreamNumber);
}

} // namespace

// ---- intersection ----------------------------------------------------------------------------------------

struct SizeCase {
    ULONG BufferSize;
    NTSTATUS Status;
    ULONG Actual;
};

class IntersectSizeProtocol : public ::testing::TestWithParam<SizeCase> {};

TEST_P(IntersectSizeProtocol, AnswersEachBufferSize) {
    const SizeCase c = GetParam();
    IntersectResult r = Intersect(STREAM_CAPTURE, RangeBytes(VideoCaptureRange), c.BufferSize);
    EXPECT_EQ(r.Returned, c.Status);
    // Success is stored by the dispatcher; every other answer by the routine itself.
    EXPECT_EQ(r.Status, c.Status == STATUS_SUCCESS ? STATUS_PENDING : c.Status);
    EXPECT_EQ(r.Actual, c.Actual);
    // Nothing is written before the format fits, and nothing past the 152 bytes of the format.
    const size_t written = c.Status == STATUS_SUCCESS ? 152 : 0;
    for (size_t i = written; i < r.Buffer.size(); ++i)
        ASSERT_EQ(r.Buffer[i], 0xA5) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(Intersection, IntersectSizeProtocol,
                         ::testing::Values(SizeCase{0, STATUS_BUFFER_OVERFLOW, 152},
                                           SizeCase{151, STATUS_BUFFER_TOO_SMALL, UNTOUCHED},
                                           SizeCase{152, STATUS_SUCCESS, 152},
                                           SizeCase{400, STATUS_SUCCESS, 152}));

TEST(Intersection, CaptureRangeGivesTheCaptureFormat) {
    IntersectResult r = Intersect(STREAM_CAPTURE, RangeBytes(VideoCaptureRange), 152);
    ASSERT_EQ(r.Returned, STATUS_SUCCESS);
    const KS_DATAFORMAT_VIDEOINFOHEADER* f = AsFormat(r.Buffer);
    EXPECT_EQ(f->DataFormat.FormatSize, 152u);
    EXPECT_EQ(f->DataFormat.SampleSize, 14745600u);
    EXPECT_TRUE(IsEqualGUID(f->DataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_RGB24));
    EXPECT_TRUE(IsEqualGUID(f->DataFormat.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO));
    EXPECT_EQ(f->VideoInfoHeader.AvgTimePerFrame, 666667);
    EXPECT_EQ(f->VideoInfoHeader.dwBitRate, 221184000u);
    EXPECT_EQ(f->VideoInfoHeader.bmiHeader.biSizeImage, 14745600u);
    EXPECT_EQ(f->VideoInfoHeader.bmiHeader.biWidth, 2560);
    EXPECT_EQ(f->VideoInfoHeader.bmiHeader.biHeight, 1920);
    // What intersection offers, verification accepts, for either stream.
    EXPECT_TRUE(Verify(r.Buffer, STREAM_CAPTURE));
    EXPECT_TRUE(Verify(r.Buffer, STREAM_STILL));

    IntersectResult still = Intersect(STREAM_STILL, RangeBytes(VideoStillRange), 152);
    ASSERT_EQ(still.Returned, STATUS_SUCCESS);
    EXPECT_EQ(AsFormat(still.Buffer)->VideoInfoHeader.AvgTimePerFrame, 10000000);
}

struct IntervalCase {
    LONGLONG Proposed;
    LONGLONG Offered;
    ULONG BitRate;
};

class IntersectFrameInterval : public ::testing::TestWithParam<IntervalCase> {};

TEST_P(IntersectFrameInterval, SlowerThanTheCameraIsClampedFasterIsKept) {
    const IntervalCase c = GetParam();
    std::vector<uint8_t> range = RangeBytes(VideoCaptureRange);
    AsRange(range)->VideoInfoHeader.AvgTimePerFrame = c.Proposed;
    IntersectResult r = Intersect(STREAM_CAPTURE, range, 152);
    ASSERT_EQ(r.Returned, STATUS_SUCCESS);
    EXPECT_EQ(AsFormat(r.Buffer)->VideoInfoHeader.AvgTimePerFrame, c.Offered);
    EXPECT_EQ(AsFormat(r.Buffer)->VideoInfoHeader.dwBitRate, c.BitRate);
    // The adjustment is made in the proposed range itself.
    EXPECT_EQ(AsRange(r.Range)->VideoInfoHeader.AvgTimePerFrame, c.Offered);
}

INSTANTIATE_TEST_SUITE_P(Intersection, IntersectFrameInterval,
                         ::testing::Values(IntervalCase{1000000, 666667, 1769472000u},
                                           IntervalCase{333333, 333333, 221184000u},
                                           IntervalCase{666667, 666667, 221184000u},
                                           IntervalCase{666668, 666667, 1769472000u}));

TEST(Intersection, DeepColourRangeGetsItsOwnSampleSizeAndThenFailsVerification) {
    std::vector<uint8_t> range = RangeBytes(VideoCaptureRange);
    AsRange(range)->VideoInfoHeader.bmiHeader.biBitCount = 32;
    IntersectResult r = Intersect(STREAM_CAPTURE, range, 152);
    ASSERT_EQ(r.Returned, STATUS_SUCCESS);
    EXPECT_EQ(AsFormat(r.Buffer)->DataFormat.SampleSize, 19660800u);
    EXPECT_EQ(AsFormat(r.Buffer)->VideoInfoHeader.bmiHeader.biSizeImage, 19660800u);
    EXPECT_FALSE(Verify(r.Buffer, STREAM_CAPTURE));
}

struct MismatchCase {
    const char* Name;
    ULONG StreamNumber;
    void (*Change)(std::vector<uint8_t>& Range);
};

class IntersectMismatch : public ::testing::TestWithParam<MismatchCase> {};

TEST_P(IntersectMismatch, GetsNoMatchAndWritesNothing) {
    const MismatchCase c = GetParam();
    std::vector<uint8_t> range = RangeBytes(VideoCaptureRange);
    c.Change(range);
    IntersectResult r = Intersect(c.StreamNumber, range, 152);
    EXPECT_EQ(r.Returned, STATUS_NO_MATCH) << c.Name;
    EXPECT_EQ(r.Status, STATUS_NO_MATCH) << c.Name;
    EXPECT_EQ(r.Actual, UNTOUCHED) << c.Name;
    for (uint8_t b : r.Buffer)
        ASSERT_EQ(b, 0xA5) << c.Name;
}

INSTANTIATE_TEST_SUITE_P(
    Intersection, IntersectMismatch,
    ::testing::Values(
        MismatchCase{"still range for the capture stream", STREAM_CAPTURE,
                     [](std::vector<uint8_t>& r) { r = RangeBytes(VideoStillRange); }},
        MismatchCase{"capture range for the still stream", STREAM_STILL, [](std::vector<uint8_t>&) {}},
        MismatchCase{"half width", STREAM_CAPTURE,
                     [](std::vector<uint8_t>& r) { AsRange(r)->VideoInfoHeader.bmiHeader.biWidth = 1280; }},
        MismatchCase{"top-down", STREAM_CAPTURE,
                     [](std::vector<uint8_t>& r) { AsRange(r)->VideoInfoHeader.bmiHeader.biHeight = -1920; }},
        MismatchCase{"other frame interval limits", STREAM_CAPTURE,
                     [](std::vector<uint8_t>& r) { AsRange(r)->ConfigCaps.MaxFrameInterval = 666668; }},
        MismatchCase{"not temporally compressed", STREAM_CAPTURE,
                     [](std::vector<uint8_t>& r) { AsRange(r)->bTemporalCompression = FALSE; }},
        MismatchCase{"other subtype", STREAM_CAPTURE,
                     [](std::vector<uint8_t>& r) { AsRange(r)->DataRange.SubFormat.Data1 ^= 1; }},
        // A range declaring fewer bytes arrives in a buffer of only that many: nothing past it is read.
        MismatchCase{"FormatSize 295", STREAM_CAPTURE,
                     [](std::vector<uint8_t>& r) {
                         AsRange(r)->DataRange.FormatSize = 295;
                         r.resize(295);
                     }},
        MismatchCase{"FormatSize 64", STREAM_CAPTURE,
                     [](std::vector<uint8_t>& r) {
                         AsRange(r)->DataRange.FormatSize = 64;
                         r.resize(64);
                     }},
        MismatchCase{"FormatSize 300", STREAM_CAPTURE,
                     [](std::vector<uint8_t>& r) {
                         AsRange(r)->DataRange.FormatSize = 300;
                         r.resize(300);
                     }},
        // A 296-byte range cannot carry a longer bitmap header; copying one would read past the range.
        MismatchCase{"biSize 44", STREAM_CAPTURE,
                     [](std::vector<uint8_t>& r) { AsRange(r)->VideoInfoHeader.bmiHeader.biSize = 44; }},
        MismatchCase{"biSize 0", STREAM_CAPTURE,
                     [](std::vector<uint8_t>& r) { AsRange(r)->VideoInfoHeader.bmiHeader.biSize = 0; }},
        MismatchCase{"stream 2", 2, [](std::vector<uint8_t>&) {}},
        MismatchCase{"stream 0xFFFFFFFF", 0xFFFFFFFFu, [](std::vector<uint8_t>&) {}}));

// ---- verification ----------------------------------------------------------------------------------------

TEST(Verification, StreamNumbersOutsideTheTableAreRefusedWithoutReading) {
    // A null format would crash any read: the stream number alone decides.
    EXPECT_FALSE(VerifyStreamFormat(nullptr, 2));
    EXPECT_FALSE(VerifyStreamFormat(nullptr, -1));
}

TEST(Verification, ComparesGuidsAndGeometryOnly) {
    std::vector<uint8_t> good = FormatFromRange(VideoCaptureRange);
    EXPECT_TRUE(Verify(good, 0));
    EXPECT_TRUE(Verify(FormatFromRange(VideoStillRange), 0));

    struct Change {
        const char* Name;
        bool Verifies;
        void (*Apply)(KS_DATAFORMAT_VIDEOINFOHEADER* f);
    };
    const Change changes[] = {
        {"640 wide", false,
         [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { f->VideoInfoHeader.bmiHeader.biWidth = 640; }},
        {"top-down", false,
         [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { f->VideoInfoHeader.bmiHeader.biHeight = -1920; }},
        {"image size", false,
         [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { ++f->VideoInfoHeader.bmiHeader.biSizeImage; }},
        {"major type", false,
         [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { f->DataFormat.MajorFormat.Data4[7] ^= 1; }},
        {"subtype", false, [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { f->DataFormat.SubFormat.Data2 ^= 1; }},
        {"specifier", false, [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { f->DataFormat.Specifier.Data1 = 0; }},
        {"frame interval", true,
         [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { f->VideoInfoHeader.AvgTimePerFrame = 1; }},
        {"bit count", true,
         [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { f->VideoInfoHeader.bmiHeader.biBitCount = 32; }},
        {"compression", true,
         [](KS_DATAFORMAT_VIDEOINFOHEADER* f) { f->VideoInfoHeader.bmiHeader.biCompression = 3; }},
    };
    for (const Change& c : changes) {
        std::vector<uint8_t> format = good;
        c.Apply(AsFormat(format));
        EXPECT_EQ(Verify(format, 0), c.Verifies) << c.Name;
        EXPECT_EQ(Verify(format, 1), c.Verifies) << c.Name;
    }
}

TEST(Verification, FormatsTooShortForTheBitmapHeaderAreRefusedWithoutReadingPastThem) {
    std::vector<uint8_t> good = FormatFromRange(VideoCaptureRange);
    // biSizeImage ends at byte 136: a format that declares (and has) fewer bytes is refused.
    for (ULONG size : {4u, 64u, 112u, 132u, 135u}) {
        std::vector<uint8_t> format(good.begin(), good.begin() + size);
        AsFormat(format)->DataFormat.FormatSize = size;
        EXPECT_FALSE(Verify(format, 0)) << size;
    }
    std::vector<uint8_t> justEnough(good.begin(), good.begin() + 136);
    AsFormat(justEnough)->DataFormat.FormatSize = 136;
    EXPECT_TRUE(Verify(justEnough, 0));
}

// ---- the control and data hooks --------------------------------------------------------------------------

namespace {

int setVideoFormatCalls;
PVOID setVideoFormatContext;
PHW_STREAM_REQUEST_BLOCK setVideoFormatSrb;
NTSTATUS setVideoFormatResult;

NTSTATUS NTAPI FakeSetVideoFormat(PVOID DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb) {
    ++setVideoFormatCalls;
    setVideoFormatContext = DeviceContext;
    setVideoFormatSrb = Srb;
    return setVideoFormatResult;
}

NTSTATUS NTAPI FakeBulk(PVOID, USHORT, PVOID, ULONG, PCOMMAND_COMPLETE_FUNCTION, PVOID) {
    return STATUS_SUCCESS;
}

class ControlHook : public ::testing::Test {
  protected:
    void SetUp() override {
        streamclass::ClearViolations();
        setVideoFormatCalls = 0;
        setVideoFormatResult = STATUS_SUCCESS;
        std::memset(&stream, 0, sizeof stream);
        stream.StreamNumber = STREAM_CAPTURE;
        stream.HwDeviceExtension = extension;
    }
    void TearDown() override {
        for (const std::string& v : streamclass::Violations())
            ADD_FAILURE() << v;
    }
    PDeviceContext Context() { return reinterpret_cast<PDeviceContext>(extension); }
    void PresentInterface() {
        Context()->CamInterface.Interface.Version = USBCAMD_VERSION_200;
        Context()->CamInterface.USBCAMD_BulkReadWrite = FakeBulk;
        Context()->CamInterface.USBCAMD_SetVideoFormat = FakeSetVideoFormat;
    }

    // Runs the hook on an SRB carrying Format (exact size); returns Completed.
    BOOLEAN Run(const std::vector<uint8_t>& Format, streamclass::Srb& Srb) {
        format.reset(new uint8_t[Format.size() == 0 ? 1 : Format.size()]);
        std::memcpy(format.get(), Format.data(), Format.size());
        Srb->CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(format.get());
        Srb->Status = STATUS_PENDING;
        BOOLEAN completed = 0xAB;
        CamReceiveCtrlPacket(Srb.Get(), extension, &completed);
        return completed;
    }

    alignas(8) uint8_t extension[DEVICE_CONTEXT_EXTENSION_SIZE] = {};
    HW_STREAM_OBJECT stream;
    std::unique_ptr<uint8_t[]> format;
};

} // namespace

TEST_F(ControlHook, ProposeAndSetAnswerByVerification) {
    struct Case {
        ULONG Command;
        bool Good;
        NTSTATUS Status;
    };
    const Case cases[] = {{SRB_PROPOSE_DATA_FORMAT, true, STATUS_SUCCESS},
                          {SRB_PROPOSE_DATA_FORMAT, false, STATUS_NO_MATCH},
                          {SRB_SET_DATA_FORMAT, true, STATUS_SUCCESS},
                          {SRB_SET_DATA_FORMAT, false, STATUS_NO_MATCH}};
    std::vector<uint8_t> good = FormatFromRange(VideoCaptureRange);
    std::vector<uint8_t> small = good;
    AsFormat(small)->VideoInfoHeader.bmiHeader.biWidth = 640;
    AsFormat(small)->VideoInfoHeader.bmiHeader.biHeight = 480;
    for (const Case& c : cases) {
        streamclass::Srb srb(c.Command, extension, &stream);
        EXPECT_EQ(Run(c.Good ? good : small, srb), TRUE);
        EXPECT_EQ(srb->Status, c.Status) << c.Command;
        EXPECT_EQ(srb.Completions(), 1) << c.Command;
    }
    // The interface is absent: nothing to tell the library.
    EXPECT_EQ(setVideoFormatCalls, 0);
}

TEST_F(ControlHook, SetFormatTellsThePresentInterfaceAndIgnoresItsAnswer) {
    PresentInterface();
    std::vector<uint8_t> good = FormatFromRange(VideoCaptureRange);
    for (NTSTATUS answer : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
        setVideoFormatResult = answer;
        streamclass::Srb srb(SRB_SET_DATA_FORMAT, extension, &stream);
        Run(good, srb);
        EXPECT_EQ(srb->Status, STATUS_SUCCESS);
        EXPECT_EQ(setVideoFormatContext, extension);
        EXPECT_EQ(setVideoFormatSrb, srb.Get());
    }
    EXPECT_EQ(setVideoFormatCalls, 2);

    std::vector<uint8_t> bad = good;
    ++AsFormat(bad)->VideoInfoHeader.bmiHeader.biSizeImage;
    streamclass::Srb refused(SRB_SET_DATA_FORMAT, extension, &stream);
    Run(bad, refused);
    EXPECT_EQ(refused->Status, STATUS_NO_MATCH);
    EXPECT_EQ(setVideoFormatCalls, 2);
}

TEST_F(ControlHook, GetFormatIsNotImplemented) {
    streamclass::Srb srb(SRB_GET_DATA_FORMAT, extension, &stream);
    EXPECT_EQ(Run(std::vector<uint8_t>(152), srb), TRUE);
    EXPECT_EQ(srb->Status, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(srb.Completions(), 1);
}

TEST_F(ControlHook, OtherCommandsGoBackToTheLibraryWithStatusReset) {
    for (ULONG command : {SRB_SET_STREAM_STATE, SRB_GET_STREAM_STATE, SRB_GET_STREAM_PROPERTY,
                          SRB_SET_STREAM_PROPERTY, SRB_INDICATE_MASTER_CLOCK}) {
        streamclass::Srb srb(command, extension, &stream);
        EXPECT_EQ(Run(std::vector<uint8_t>(8), srb), FALSE) << command;
        EXPECT_EQ(srb->Status, STATUS_SUCCESS) << command;
        EXPECT_EQ(srb.Completions(), 0) << command;
    }
}

TEST_F(ControlHook, DataHookLeavesReadsAlone) {
    streamclass::Srb srb(SRB_READ_DATA, extension, &stream);
    srb->Status = STATUS_PENDING;
    BOOLEAN completed = 0xAB;
    CamReceiveDataPacket(srb.Get(), extension, &completed);
    EXPECT_EQ(completed, 0xAB);
    EXPECT_EQ(srb->Status, STATUS_PENDING);
    EXPECT_EQ(srb.Completions(), 0);
}
