// The library's SRB side as a capture application meets it: stream state, stream properties, reads on
// a stopped stream, the formats the driver passes on, and what goes when the camera is removed.
#include "host/cameralib/library_srb.h"
#include "tests/driver/stack_rig.h"

namespace {

class LibraryStreams : public StackTest {
  protected:
    void SetUp() override {
        StackTest::SetUp();
        OpenFilter();
        NTSTATUS status;
        pin = Filter.OpenPin(STREAM_CAPTURE, FormatFromRange(VideoCaptureRange), &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
    }
    void TearDown() override {
        pin.reset();
        StackTest::TearDown();
    }
    std::unique_ptr<streamclass::Pin> pin;
};

} // namespace

TEST_F(LibraryStreams, StateIsKeptByTheLibrary) {
    KSSTATE state = KSSTATE_RUN;
    EXPECT_EQ(pin->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);
    EXPECT_EQ(LastCompletion().CompletedBy, streamclass::Completer::Library);
    EXPECT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(pin->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_PAUSE);
}

TEST_F(LibraryStreams, AnswersAllocatorFramingAndDroppedFrames) {
    KSPROPERTY property{KSPROPSETID_Connection, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, KSPROPERTY_TYPE_GET};
    KSALLOCATOR_FRAMING framing{};
    ULONG returned = 0;
    EXPECT_EQ(pin->GetProperty(0, &property, sizeof property, &framing, sizeof framing, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof framing);
    EXPECT_EQ(framing.FrameSize, 14745600u);
    EXPECT_GE(framing.Frames, 1u);
    EXPECT_EQ(LastCompletion().CompletedBy, streamclass::Completer::Library);
    // A buffer too small for the answer is refused rather than overrun.
    EXPECT_EQ(pin->GetProperty(0, &property, sizeof property, &framing, sizeof framing - 1, &returned),
              STATUS_BUFFER_TOO_SMALL);

    KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
    dropped.Property = {PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT,
                        KSPROPERTY_TYPE_GET};
    dropped.DropCount = 99;
    EXPECT_EQ(pin->GetProperty(1, &dropped, sizeof dropped, &dropped, sizeof dropped, &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof dropped);
    EXPECT_EQ(dropped.DropCount, 0);
    EXPECT_EQ(dropped.AverageFrameSize, 14745600u);

    // Neither property can be set.
    STREAM_PROPERTY_DESCRIPTOR set{&property, 0, &framing, sizeof property, sizeof framing};
    EXPECT_EQ(pin->SendControlSrb(SRB_SET_STREAM_PROPERTY, &set), STATUS_NOT_SUPPORTED);
}

TEST_F(LibraryStreams, ReadOnAStoppedStreamIsRefusedAtOnce) {
    std::vector<uint8_t> frame(14745600);
    ULONG used = 123;
    EXPECT_EQ(pin->ReadFrame(frame.data(), static_cast<ULONG>(frame.size()), &used), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(LastCompletion().CompletedBy, streamclass::Completer::Library);
}

TEST_F(LibraryStreams, SetFormatReachesTheLibraryThroughTheInterface) {
    std::vector<uint8_t> format = FormatFromRange(VideoCaptureRange);
    AsFormat(format)->VideoInfoHeader.AvgTimePerFrame = 1000000;
    EXPECT_EQ(pin->SetFormat(format), STATUS_SUCCESS);
    EXPECT_EQ(LastCompletion().CompletedBy, streamclass::Completer::Driver);
    ASSERT_EQ(Library()->SetVideoFormatCalls.size(), 1u);
    EXPECT_EQ(Library()->SetVideoFormatCalls[0].StreamNumber, 0u);
    EXPECT_EQ(Library()->SetVideoFormatCalls[0].Format, format);
    // The stream now runs with that format.
    cameralib::LibraryStream* stream = cameralib::FindLibraryStream(pin->StreamObject());
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(stream->Format.data())
                  ->VideoInfoHeader.AvgTimePerFrame,
              1000000);
}

TEST_F(LibraryStreams, ASecondOpenOfTheSameStreamIsRefused) {
    NTSTATUS status;
    std::unique_ptr<streamclass::Pin> second =
        Filter.OpenPin(STREAM_CAPTURE, FormatFromRange(VideoCaptureRange), &status);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(LastCompletion().CompletedBy, streamclass::Completer::Library);
}

TEST_F(LibraryStreams, ClosingHandsTheStreamBackAndRemovalForgetsTheCamera) {
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
    EXPECT_EQ(LastCompletion().CompletedBy, streamclass::Completer::Library);
    EXPECT_EQ(cameralib::FindLibraryStream(pin->StreamObject()), nullptr);
    EXPECT_EQ(Filter.RemoveCamera(), STATUS_SUCCESS);
    EXPECT_EQ(LastCompletion().Command, static_cast<ULONG>(SRB_UNINITIALIZE_DEVICE));
    EXPECT_EQ(cameralib::DeviceFromContext(Filter.DeviceExtension()), nullptr);
    // The driver's interface copy went with uninitialise.
    for (const host::PoolBlockInfo& block : host::PoolOutstanding())
        EXPECT_NE(block.Tag, 0x206D6457u) << block.Size << " bytes";
}

TEST(LibraryRegistration, DriverEntryRegistersTheExtensionSizeAndRoutine) {
    bus::Bus bus;
    simcam::SimulatedCamera camera;
    streamclass::Filter filter;
    ASSERT_EQ(filter.Load(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(filter.AddDevice(bus.Plug(&camera)->Pdo()), STATUS_SUCCESS);
    // The extension is the registered 212 bytes (rounded to whole words), zero-filled.
    const uint8_t* extension = static_cast<const uint8_t*>(filter.DeviceExtension());
    for (size_t i = 0; i < DEVICE_CONTEXT_EXTENSION_SIZE; ++i)
        ASSERT_EQ(extension[i], 0) << i;
    // No initialise-device yet: the library has no record of the camera.
    EXPECT_EQ(cameralib::DeviceFromContext(filter.DeviceExtension()), nullptr);
}
