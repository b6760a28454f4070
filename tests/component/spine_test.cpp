// The stack as a capture application drives it: load, add a camera, initialise, read the filter's
// descriptors, intersect, open a pin, propose and set formats, close, remove - every SRB completed
// exactly once by the side the dispatch rules name. Also: the stream class catches the SRBs that break
// those rules.
#include "platform/camera_properties.h"
#include "tests/driver/stack_rig.h"

#include <map>

TEST_F(StackTest, CaptureApplicationSession) {
    std::vector<streamclass::SrbEvent> seen;
    streamclass::SetSrbObserver([&](const streamclass::SrbEvent& e) { seen.push_back(e); });
    OpenFilter();

    ASSERT_EQ(Filter.StreamCount(), 1u);
    const HW_STREAM_INFORMATION& capture = Filter.StreamInfo(0);
    EXPECT_TRUE(IsEqualGUID(*capture.Name, PINNAME_VIDEO_CAPTURE));
    EXPECT_EQ(capture.NumStreamPropArrayEntries, 2u);
    EXPECT_EQ(Filter.StreamHeader().NumDevPropArrayEntries, 1u);
    EXPECT_EQ(Filter.StreamHeader().DevicePropertiesArray[0].PropertiesCount, 14u);

    std::vector<uint8_t> format;
    ASSERT_EQ(Filter.Intersect(0, &Filter.Ranges(0)[0]->DataRange, &format), STATUS_SUCCESS);
    NTSTATUS status;
    std::unique_ptr<streamclass::Pin> pin = Filter.OpenPin(0, format, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(pin->ProposeFormat(format), STATUS_SUCCESS);
    std::vector<uint8_t> vga = format;
    AsFormat(vga)->VideoInfoHeader.bmiHeader.biWidth = 640;
    AsFormat(vga)->VideoInfoHeader.bmiHeader.biHeight = 480;
    EXPECT_EQ(pin->ProposeFormat(vga), STATUS_NO_MATCH);
    EXPECT_EQ(pin->SetFormat(format), STATUS_SUCCESS);
    EXPECT_EQ(pin->SetFormat(vga), STATUS_NO_MATCH);
    std::vector<uint8_t> current;
    EXPECT_EQ(pin->GetFormat(&current), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(pin->Close(), STATUS_SUCCESS);
    EXPECT_EQ(Filter.RemoveCamera(), STATUS_SUCCESS);
    Filter.Unload();
    streamclass::SetSrbObserver(nullptr);

    // Who completed what, in order.
    using C = streamclass::Completer;
    const std::vector<std::pair<ULONG, C>> expected = {
        {SRB_INITIALIZE_DEVICE, C::Library},    {SRB_INITIALIZATION_COMPLETE, C::Driver},
        {SRB_GET_STREAM_INFO, C::Library},      {SRB_GET_DATA_INTERSECTION, C::Driver},
        {SRB_GET_DATA_INTERSECTION, C::Driver}, {SRB_OPEN_STREAM, C::Library},
        {SRB_PROPOSE_DATA_FORMAT, C::Driver},   {SRB_PROPOSE_DATA_FORMAT, C::Driver},
        {SRB_SET_DATA_FORMAT, C::Driver},       {SRB_SET_DATA_FORMAT, C::Driver},
        {SRB_GET_DATA_FORMAT, C::Driver},       {SRB_CLOSE_STREAM, C::Library},
        {SRB_UNINITIALIZE_DEVICE, C::Library}};
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(seen[i].Command, expected[i].first) << i;
        EXPECT_EQ(seen[i].CompletedBy, expected[i].second) << streamclass::CommandName(seen[i].Command);
        if (i > 0) {
            EXPECT_GT(seen[i].Number, seen[i - 1].Number);
        }
    }
    EXPECT_NE(streamclass::SrbEventJson(seen[5]).find(
                  "\"command\":\"SRB_OPEN_STREAM\",\"status\":\"0x00000000\",\"completed_by\":\"library\""),
              std::string::npos);
}

TEST_F(StackTest, TwoCamerasKeepTheirOwnSettings) {
    simcam::SimulatedCamera secondCamera;
    streamclass::Filter second;
    OpenFilter();
    ASSERT_EQ(second.Open(DriverUnderTest(), Bus.Plug(&secondCamera)->Pdo()), STATUS_SUCCESS);
    static_cast<PDeviceContext>(second.DeviceExtension())->ExposureTime = 100;
    EXPECT_EQ(Context()->ExposureTime, 750);
    NTSTATUS status;
    std::unique_ptr<streamclass::Pin> pin =
        second.OpenPin(STREAM_CAPTURE, FormatFromRange(VideoCaptureRange), &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(secondCamera.ExposureRegister(), 100);
    EXPECT_EQ(Context()->ExposureTime, 750);
    pin.reset();
    second.Unload();
}

// ---- the rules themselves --------------------------------------------------------------------------------

namespace {

PHW_STREAM_REQUEST_BLOCK heldSrb;

VOID STREAMAPI CompletesTwice(PHW_STREAM_REQUEST_BLOCK Srb) {
    Srb->Status = STATUS_SUCCESS;
    StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
    StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
}

VOID STREAMAPI CompletedByBoth(PHW_STREAM_REQUEST_BLOCK Srb) {
    StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
    streamclass::CompleterScope library(streamclass::Completer::Library);
    StreamClassDeviceNotification(DeviceRequestComplete, Srb->HwDeviceExtension, Srb);
}

VOID STREAMAPI NeverCompletes(PHW_STREAM_REQUEST_BLOCK Srb) {
    heldSrb = Srb;
}

} // namespace

TEST(StreamClassRules, CatchesSrbsCompletedTwiceByBothOrNever) {
    streamclass::ClearViolations();
    alignas(8) uint8_t extension[16] = {};
    {
        streamclass::Srb srb(SRB_GET_STREAM_INFO, extension);
        streamclass::DeliverAdapterSrb(CompletesTwice, srb);
    }
    {
        streamclass::Srb srb(SRB_OPEN_STREAM, extension);
        streamclass::DeliverAdapterSrb(CompletedByBoth, srb);
    }
    {
        streamclass::Srb srb(SRB_CLOSE_STREAM, extension);
        streamclass::DeliverAdapterSrb(NeverCompletes, srb);
    }
    // A completion after the SRB is gone names no SRB the stream class sent.
    StreamClassDeviceNotification(DeviceRequestComplete, extension, heldSrb);
    std::vector<std::string> violations = streamclass::Violations();
    ASSERT_EQ(violations.size(), 4u);
    EXPECT_NE(violations[0].find("SRB_GET_STREAM_INFO completed twice by the driver"), std::string::npos);
    EXPECT_NE(violations[1].find("SRB_OPEN_STREAM completed by both the driver and the library"),
              std::string::npos);
    EXPECT_NE(violations[2].find("SRB_CLOSE_STREAM never completed"), std::string::npos);
    EXPECT_NE(violations[3].find("did not send"), std::string::npos);
    streamclass::ClearViolations();
}

TEST_F(StackTest, PropertyRequestsAreCheckedAgainstTheAdvertisedSetBeforeTheyAreSent) {
    OpenFilter();
    const size_t before = streamclass::CompletedSrbs().size();
    CameraPropertyRecord record{};
    record.Property.Set = CameraPropertySetGuid;
    record.Property.Id = 7;
    ULONG returned = 0;
    // Too short for the advertised minimum, an unknown item, a set on a get-only item, an unadvertised set.
    EXPECT_EQ(Filter.DeviceProperty(false, &record, sizeof record, &record, 31, &returned),
              STATUS_BUFFER_TOO_SMALL);
    record.Property.Id = 15;
    EXPECT_EQ(Filter.DeviceProperty(false, &record, sizeof record, &record, sizeof record, &returned),
              STATUS_NOT_FOUND);
    record.Property.Id = 1;
    EXPECT_EQ(Filter.DeviceProperty(true, &record, sizeof record, &record, sizeof record, &returned),
              STATUS_NOT_FOUND);
    record.Property.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
    EXPECT_EQ(Filter.DeviceProperty(false, &record, sizeof record, &record, sizeof record, &returned),
              STATUS_NOT_FOUND);
    EXPECT_EQ(streamclass::CompletedSrbs().size(), before); // none of them reached the driver
    // Unchecked, the same request goes through.
    record.Property.Set = CameraPropertySetGuid;
    record.Property.Id = 7;
    EXPECT_EQ(Filter.DeviceProperty(false, &record, sizeof record, &record, sizeof record, &returned, false),
              STATUS_SUCCESS);
    EXPECT_EQ(record.Value, 750);
}
