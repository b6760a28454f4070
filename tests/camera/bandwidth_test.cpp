// Bandwidth allocation and free, seen from the library: statuses, the raw frame length, the alternate
// settings the camera was asked for, and the fields the image pipeline reads afterwards.
#include "camera/bandwidth.h"

#include "camera/frame_geometry.h"
#include "camera/usb_configuration.h"
#include "tests/camera/camera_rig.h"

#include <string>

namespace {

constexpr NTSTATUS kNoInterface = STATUS_DEVICE_NOT_READY;

KS_DATAFORMAT_VIDEOINFOHEADER CaptureFormat(LONG Width = 2560, LONG Height = 1920,
                                            LONGLONG Interval = 666667) {
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    format.VideoInfoHeader.AvgTimePerFrame = Interval;
    format.VideoInfoHeader.bmiHeader.biWidth = Width;
    format.VideoInfoHeader.bmiHeader.biHeight = Height;
    return format;
}

// A configured camera. The frame geometry is shared by the whole driver; each test puts it back.
class Bandwidth : public ::testing::Test {
  protected:
    explicit Bandwidth(uint16_t PacketSize = 512) : rig_(Config(PacketSize)) {}
    void SetUp() override {
        saved_ = FrameGeometry;
        ASSERT_EQ(CamConfigure(nullptr, rig_.Context(), rig_.Interface(), nullptr, nullptr, nullptr),
                  STATUS_SUCCESS);
        rig_.Context()->LastFrameToggle = 1;
    }
    void TearDown() override { FrameGeometry = saved_; }

    static simcam::CameraConfig Config(uint16_t PacketSize) {
        simcam::CameraConfig config;
        config.DataPacketSize = PacketSize;
        return config;
    }

    NTSTATUS Allocate(KS_DATAFORMAT_VIDEOINFOHEADER Format) {
        length_ = 0xDEADBEEF;
        return CamAllocateBandwidth(nullptr, rig_.Context(), &length_, &Format);
    }

    std::vector<int> SettingsAskedFor() const {
        std::vector<int> settings;
        for (const auto& r : rig_.Device.AltSettingTrace)
            settings.push_back(r.Setting);
        return settings;
    }

    CameraRig rig_;
    ULONG length_ = 0;
    FrameGeometryRecord saved_{};
};

class PacketSizes : public Bandwidth, public ::testing::WithParamInterface<std::pair<uint16_t, ULONG>> {
  protected:
    PacketSizes() : Bandwidth(GetParam().first) {}
};

// The raw frame (2048 lines of 2894 bytes) is rounded up to whole data packets.
TEST_P(PacketSizes, RawFrameLengthIsWholePackets) {
    EXPECT_EQ(Allocate(CaptureFormat()), STATUS_SUCCESS);
    EXPECT_EQ(length_, GetParam().second);
    EXPECT_EQ(SettingsAskedFor(), std::vector<int>{0});
    EXPECT_EQ(rig_.Camera.AlternateSetting(), 0);
    EXPECT_EQ(rig_.Context()->LastFrameToggle, 0);
    EXPECT_EQ(rig_.Context()->FormatWidth, 2560);
    EXPECT_EQ(rig_.Context()->FormatHeight, 1920);
    EXPECT_EQ(FrameGeometry.SourceWidth, 2560);
    EXPECT_EQ(FrameGeometry.SourceHeight, 1920);
}

INSTANTIATE_TEST_SUITE_P(Camera, PacketSizes,
                         ::testing::Values(std::make_pair(uint16_t{512}, 5926912u),
                                           std::make_pair(uint16_t{1023}, 5927262u),
                                           std::make_pair(uint16_t{3072}, 5928960u),
                                           std::make_pair(uint16_t{0}, 0u)));

// Intervals are compared with their low four bits cleared against three times the setting's 100 ms.
TEST_F(Bandwidth, FrameIntervalLimit) {
    EXPECT_EQ(Allocate(CaptureFormat(2560, 1920, 3000015)), STATUS_SUCCESS);
    EXPECT_EQ(length_, 5926912u);

    rig_.Device.AltSettingTrace.clear();
    rig_.Context()->FormatWidth = 7;
    EXPECT_EQ(Allocate(CaptureFormat(640, 480, 3000016)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length_, 0u);
    EXPECT_TRUE(SettingsAskedFor().empty());
    EXPECT_EQ(rig_.Context()->FormatWidth, 7);
    EXPECT_EQ(FrameGeometry.SourceWidth, 2560);
}

// A size outside the sensor is refused after the format size was recorded, before any setting is chosen.
TEST_F(Bandwidth, OversizedFormatIsRefusedAfterTheSizeIsRecorded) {
    EXPECT_EQ(Allocate(CaptureFormat(2895, 1920)), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(length_, 0u);
    EXPECT_EQ(rig_.Context()->FormatWidth, 2895);
    EXPECT_EQ(rig_.Context()->FormatHeight, 1920);
    EXPECT_TRUE(SettingsAskedFor().empty());
    EXPECT_EQ(rig_.Context()->LastFrameToggle, 1);
}

// The library's own reason for refusing the setting is not passed on.
TEST_F(Bandwidth, FailingSelectionIsInsufficientResources) {
    host::InjectFault("simcam:alt", {1, 1, STATUS_IO_DEVICE_ERROR});
    EXPECT_EQ(Allocate(CaptureFormat()), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(length_, 0u);
    ASSERT_EQ(rig_.Device.AltSettingTrace.size(), 1u);
    EXPECT_EQ(rig_.Device.AltSettingTrace[0].Status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(rig_.Context()->FormatWidth, 2560);
}

// Free always asks for the idle setting and returns what the library answered.
TEST_F(Bandwidth, FreeSelectsTheIdleSettingWhateverTheAnswer) {
    ASSERT_EQ(Allocate(CaptureFormat()), STATUS_SUCCESS);
    EXPECT_EQ(CamFreeBandwidth(nullptr, rig_.Context()), STATUS_SUCCESS);
    EXPECT_EQ(rig_.Camera.AlternateSetting(), 7);

    host::InjectFault("simcam:alt", {1, 1, STATUS_IO_DEVICE_ERROR});
    EXPECT_EQ(CamFreeBandwidth(nullptr, rig_.Context()), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(SettingsAskedFor(), (std::vector<int>{0, 7, 7}));
    EXPECT_EQ(rig_.Context()->InterfaceInfo->AlternateSetting, 7);
    EXPECT_EQ(FrameGeometry.SourceWidth, 2560);
}

// A call without a format is refused before the geometry or the camera hear of it.
TEST_F(Bandwidth, WithoutAFormatNothingIsSelected) {
    EXPECT_EQ(CamAllocateBandwidth(nullptr, rig_.Context(), &length_, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(length_, 0u);
    EXPECT_EQ(FrameGeometry.SourceWidth, saved_.SourceWidth);
    EXPECT_TRUE(SettingsAskedFor().empty());
}

// Before configure, or after uninitialise or a failed bring-up, there is no interface copy to select a
// setting with: both calls fail plainly and nothing reaches the camera.
TEST_F(Bandwidth, WithoutAnInterfaceCopyNothingIsSelected) {
    ASSERT_EQ(CamUnInitialize(nullptr, rig_.Context()), STATUS_SUCCESS);
    EXPECT_EQ(Allocate(CaptureFormat()), kNoInterface);
    EXPECT_EQ(length_, 0u);
    EXPECT_EQ(rig_.Context()->FormatWidth, 0);
    EXPECT_EQ(CamFreeBandwidth(nullptr, rig_.Context()), kNoInterface);
    EXPECT_TRUE(SettingsAskedFor().empty());
}

} // namespace
