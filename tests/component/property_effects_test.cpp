// Property changes made by an application while the pin runs: they reach the camera at once, show in
// the next frame, and reach the registry when capture stops.
#include "host/cameralib/streaming.h"
#include "host/rig/rig.h"
#include "tests/component/fresh_host.h"
#include "tests/component/driver_under_test.h"
#include "imaging/raw_frame.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "host/streamclass/client.h"
#include "platform/camera_properties.h"
#include "host/simcam/simulated_camera.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <unistd.h>

namespace {

simcam::Scene Uniform(uint8_t Level) {
    simcam::Scene s;
    s.Width = 64;
    s.Height = 48;
    s.Rgb.assign(size_t(s.Width) * s.Height * 3, Level);
    return s;
}

class PropertyEffects : public ::testing::Test {
  protected:
    void SetUp() override {
        driveC_ = ResetHostForStack("z40k-props-c");
        rig_ = std::make_unique<rig::Rig>(DriverUnderTest());
        size_t index = 0;
        ASSERT_EQ(rig_->Plug(simcam::CameraConfig(), &index), STATUS_SUCCESS);
        camera_ = rig_->CameraOf(index);
        filter_ = &rig_->FilterOf(index);
        std::vector<uint8_t> format;
        ASSERT_EQ(filter_->Intersect(0, &filter_->Ranges(0)[0]->DataRange, &format), STATUS_SUCCESS);
        frameBytes_ = reinterpret_cast<const KSDATAFORMAT*>(format.data())->SampleSize;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        pin_ = filter_->OpenPin(0, format, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        camera_->SetScene(Uniform(60));
        ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    }
    void TearDown() override {
        pin_.reset();
        rig_.reset();
        for (const std::string& v : streamclass::Violations())
            ADD_FAILURE() << v;
        std::error_code ec;
        std::filesystem::remove_all(driveC_, ec);
    }

    NTSTATUS Set(ULONG Id, LONG Value) {
        CameraPropertyRecord record{};
        record.Property.Set = CameraPropertySetGuid;
        record.Property.Id = Id;
        record.Property.Flags = KSPROPERTY_TYPE_SET;
        record.Value = Value;
        CameraPropertyRecord property = record;
        ULONG returned = 0;
        return filter_->DeviceProperty(true, &property, sizeof property, &record, sizeof record, &returned);
    }

    // Blue, green and red of a pixel in the middle of the next frame.
    std::array<uint8_t, 3> NextFramePixel() {
        std::vector<uint8_t> frame(frameBytes_, 0);
        ULONG used = 0;
        EXPECT_EQ(pin_->ReadFrame(frame.data(), frameBytes_, &used), STATUS_SUCCESS);
        size_t at = (size_t(960) * 2560 + 1280) * 3;
        return {frame[at], frame[at + 1], frame[at + 2]};
    }

    uint32_t Saved(const char* Name) {
        host::RegistryValue value;
        if (!host::RegistryGetValue(host::DriverKeyPath() + "\\Z40K_Settings", Name, &value) ||
            value.Data.size() != 4)
            return 0xDEADBEEF;
        return value.Data[0] | value.Data[1] << 8 | value.Data[2] << 16 | uint32_t(value.Data[3]) << 24;
    }

    std::filesystem::path driveC_;
    std::unique_ptr<rig::Rig> rig_;
    simcam::SimulatedCamera* camera_ = nullptr;
    streamclass::Filter* filter_ = nullptr;
    std::unique_ptr<streamclass::Pin> pin_;
    ULONG frameBytes_ = 0;
};

TEST_F(PropertyEffects, ExposureGainAndChannelGainShowInTheNextFrameAndInTheRegistryAfterStop) {
    EXPECT_EQ(NextFramePixel(), (std::array<uint8_t, 3>{60, 60, 60}));

    // Twice the default exposure doubles the light the sensor gathers.
    ASSERT_EQ(Set(7, 1500), STATUS_SUCCESS);
    EXPECT_EQ(camera_->ExposureRegister(), 1500);
    EXPECT_EQ(NextFramePixel(), (std::array<uint8_t, 3>{120, 120, 120}));

    // A gain register of 256 doubles it again.
    ASSERT_EQ(Set(8, 256), STATUS_SUCCESS);
    EXPECT_EQ(camera_->GainRegister(), 256);
    EXPECT_EQ(NextFramePixel(), (std::array<uint8_t, 3>{240, 240, 240}));

    // Halving the red gain halves the red byte only.
    ASSERT_EQ(Set(9, 64), STATUS_SUCCESS);
    EXPECT_EQ(NextFramePixel(), (std::array<uint8_t, 3>{240, 240, 120}));

    EXPECT_EQ(Saved("Exposure Time"), 0xDEADBEEFu) << "nothing reaches the registry while capture runs";
    ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Saved("Exposure Time"), 1500u);
    EXPECT_EQ(Saved("Global Gain"), 256u);
    EXPECT_EQ(Saved("Color Enable"), 1u);
}

TEST_F(PropertyEffects, GreyOutputAndWhiteBalanceFollowTheCameraSet) {
    ASSERT_EQ(Set(11, 256), STATUS_SUCCESS); // blue gain doubled
    EXPECT_EQ(NextFramePixel(), (std::array<uint8_t, 3>{120, 60, 60}));
    // The white balance takes the gains back to a grey world from the very next frame.
    ASSERT_EQ(Set(6, 1), STATUS_SUCCESS);
    EXPECT_EQ(NextFramePixel(), (std::array<uint8_t, 3>{60, 60, 60}));
    ASSERT_EQ(Set(5, 0), STATUS_SUCCESS);
    EXPECT_EQ(NextFramePixel(), (std::array<uint8_t, 3>{60, 60, 60}));
    ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Saved("Color Enable"), 0u);
    EXPECT_EQ(Saved("Auto White Balance"), 1u);
}

} // namespace

namespace {

// The proc-amp set's image controls reach the camera's firmware, which applies each to what the sensor
// sees: the next frame shows the documented transform (image_controls.h) of a flat warm colour, and a
// control set back to 0 gives the picture back. Sharpening finds no edge in a flat picture.
TEST_F(PropertyEffects, ImageControlsChangeThePictureAsDocumented) {
    simcam::Scene warm = Uniform(0);
    for (size_t i = 0; i < warm.Rgb.size(); i += 3) {
        warm.Rgb[i] = 90;
        warm.Rgb[i + 1] = 60;
        warm.Rgb[i + 2] = 30;
    }
    camera_->SetScene(warm);
    NextFramePixel();
    const std::array<uint8_t, 3> plain = {30, 60, 90}; // blue, green, red
    ASSERT_EQ(NextFramePixel(), plain);
    struct Case {
        const char* Name;
        ULONG Id;
        LONG Value; // the wire's step is Value / 11
        std::array<uint8_t, 3> Bgr;
    };
    const Case cases[] = {
        {"brightness", KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, 54, {94, 124, 154}},
        {"contrast", KSPROPERTY_VIDEOPROCAMP_CONTRAST, 54, {0, 26, 71}},
        {"saturation", KSPROPERTY_VIDEOPROCAMP_SATURATION, 54, {12, 57, 102}},
        {"white balance", KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE, 110, {25, 60, 104}},
        {"sharpness", KSPROPERTY_VIDEOPROCAMP_SHARPNESS, 108, {30, 60, 90}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        KSPROPERTY_VIDEOPROCAMP_S record{};
        record.Property.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
        record.Property.Id = c.Id;
        record.Property.Flags = KSPROPERTY_TYPE_SET;
        record.Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
        for (LONG value : {c.Value, LONG{0}}) {
            record.Value = value;
            KSPROPERTY_VIDEOPROCAMP_S property = record;
            ULONG returned = 0;
            // The driver does not advertise the proc-amp set; applications send it unchecked.
            ASSERT_EQ(filter_->DeviceProperty(true, &property, sizeof property, &record, sizeof record,
                                              &returned, false),
                      STATUS_SUCCESS);
            EXPECT_EQ(NextFramePixel(), value == 0 ? plain : c.Bgr);
        }
    }
}

} // namespace
