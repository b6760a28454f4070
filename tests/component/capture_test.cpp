// Capture through the whole stack, as an application does it: stream class -> driver -> camera class
// library -> simulated camera. Each frame a read returns must be exactly what the driver's raw-frame
// routine makes of the frame the camera rendered, and the settings must reach the registry at stop.
#include "camera/frame_geometry.h"
#include "host/cameralib/streaming.h"
#include "imaging/vector_paths.h"
#include "tests/component/fresh_host.h"
#include "driver/callback_records.h"
#include "driver/device_context.h"
#include "tests/component/driver_under_test.h"
#include "tests/imaging/path_levers.h"
#include "imaging/raw_frame.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "host/rig/capture_pin.h"
#include "host/rig/rig.h"
#include "host/streamclass/client.h"
#include "host/simcam/packetizer.h"
#include "host/simcam/sensor.h"
#include "host/simcam/simulated_camera.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A scene with structure at every scale, smaller than the sensor so it is also resampled.
simcam::Scene Bars() {
    simcam::Scene s;
    s.Width = 320;
    s.Height = 240;
    s.Rgb.resize(size_t(s.Width) * s.Height * 3);
    for (int y = 0; y < s.Height; ++y) {
        for (int x = 0; x < s.Width; ++x) {
            uint8_t* p = &s.Rgb[(size_t(y) * s.Width + x) * 3];
            p[0] = static_cast<uint8_t>(x * 255 / (s.Width - 1));
            p[1] = static_cast<uint8_t>((x / 8 + y / 8) % 2 ? 200 : 30);
            p[2] = static_cast<uint8_t>(y * 255 / (s.Height - 1));
        }
    }
    return s;
}

class CaptureStack : public ::testing::TestWithParam<uint16_t> {
  protected:
    void SetUp() override {
        driveC_ = ResetHostForStack("z40k-capture-c");
        simcam::CameraConfig config;
        config.DataPacketSize = GetParam();
        rig_ = std::make_unique<rig::Rig>(DriverUnderTest());
        size_t index = 0;
        ASSERT_EQ(rig_->Plug(config, &index), STATUS_SUCCESS);
        camera_ = rig_->CameraOf(index);
        filter_ = &rig_->FilterOf(index);
        std::vector<const KS_DATARANGE_VIDEO*> ranges = filter_->Ranges(0);
        ASSERT_FALSE(ranges.empty());
        ASSERT_EQ(filter_->Intersect(0, &ranges[0]->DataRange, &format_), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        pin_ = filter_->OpenPin(0, format_, &status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        library_ = cameralib::DeviceFromContext(filter_->DeviceExtension());
        ASSERT_NE(library_, nullptr);
        rig_->SetRawFrameObserver(index, [this](uint64_t, const uint8_t* Data, size_t Length) {
            lastRaw_.assign(Data, Data + Length);
        });
    }
    void TearDown() override {
        pin_.reset();
        rig_.reset();
        for (const std::string& v : streamclass::Violations())
            ADD_FAILURE() << v;
        std::error_code ec;
        std::filesystem::remove_all(driveC_, ec);
    }

    PDeviceContext Context() { return static_cast<PDeviceContext>(filter_->DeviceExtension()); }
    ULONG FrameBytes() const {
        return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format_.data())->DataFormat.SampleSize;
    }

    NTSTATUS SetColour(bool On) {
        CameraPropertyData request{};
        request.Property.Set = kCameraSet;
        request.Property.Id = 5;
        request.Property.Flags = KSPROPERTY_TYPE_SET;
        CameraPropertyData data = request;
        data.Value = On ? 1 : 0;
        ULONG returned = 0;
        return filter_->DeviceProperty(true, &request, sizeof request, &data, sizeof data, &returned);
    }

    // Reads one frame and checks it against the driver's conversion of the frame the camera rendered
    // from the scene with its current registers, done here on a copy of the device context.
    void ReadAndCompare(const simcam::Scene& Scene, const char* What) {
        std::vector<uint8_t> frame(FrameBytes(), 0);
        ULONG used = 0;
        ASSERT_EQ(pin_->ReadFrame(frame.data(), static_cast<ULONG>(frame.size()), &used), STATUS_SUCCESS)
            << What;

        std::vector<uint8_t> raw;
        simcam::RenderRawFrame(Scene, camera_->ExposureRegister(), camera_->GainRegister(), &raw);
        ASSERT_EQ(raw.size(), simcam::RAW_FRAME_SIZE);
        ASSERT_TRUE(lastRaw_ == raw) << What << ": the raw frame was not carried intact";
        const ULONG packet = GetParam();
        raw.resize((raw.size() + packet - 1) / packet * packet, simcam::RAW_FILLER);

        DeviceContext copy;
        std::memcpy(&copy, Context(), sizeof copy);
        // The geometry the allocation set, in this program's driver too when a driver binary ran it.
        ASSERT_EQ(SetWindowFromFormat(&copy, copy.FormatWidth, copy.FormatHeight), STATUS_SUCCESS);
        std::vector<uint8_t> expected(FrameBytes(), 0);
        ULONG expectedUsed = 0;
        uint8_t frameContext[8] = {};
        ASSERT_EQ(CamDeviceData2.CamProcessRawVideoFrameEx(nullptr, &copy, frameContext, expected.data(),
                                                           static_cast<ULONG>(expected.size()), raw.data(),
                                                           static_cast<ULONG>(raw.size()), 0, &expectedUsed,
                                                           static_cast<ULONG>(raw.size()), 0),
                  STATUS_SUCCESS);
        EXPECT_EQ(used, expectedUsed) << What;
        EXPECT_TRUE(frame == expected) << What << ": the delivered frame differs from the direct conversion";
    }

    std::filesystem::path driveC_;
    std::unique_ptr<rig::Rig> rig_;
    simcam::SimulatedCamera* camera_ = nullptr;
    streamclass::Filter* filter_ = nullptr;
    std::unique_ptr<streamclass::Pin> pin_;
    std::vector<uint8_t> format_;
    cameralib::LibraryDevice* library_ = nullptr;
    std::vector<uint8_t> lastRaw_;
};

std::map<std::string, uint32_t> SavedSettings() {
    std::map<std::string, uint32_t> out;
    for (const auto& [name, value] : host::RegistryValues(host::DriverKeyPath() + "\\Z40K_Settings")) {
        EXPECT_EQ(value.Type, 4u) << name;
        EXPECT_EQ(value.Data.size(), 4u) << name;
        if (value.Data.size() == 4)
            out[name] =
                value.Data[0] | value.Data[1] << 8 | value.Data[2] << 16 | uint32_t(value.Data[3]) << 24;
    }
    return out;
}

TEST_P(CaptureStack, ColourFramesMatchTheDirectConversionAndStopSavesTheSettings) {
    const simcam::Scene scene = Bars();
    camera_->SetScene(scene);
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_TRUE(SavedSettings().empty()) << "nothing is saved before the stop";
    for (int i = 0; i < 3; ++i)
        ReadAndCompare(scene, "colour frame");
    ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    std::map<std::string, uint32_t> expected = {{"Color Enable", 1},    {"Auto White Balance", 0},
                                                {"Exposure Time", 750}, {"Global Gain", 0},
                                                {"Horizon Mirror", 0},  {"Vertical Flip", 1}};
    EXPECT_EQ(SavedSettings(), expected);
    EXPECT_EQ(cameralib::GetStreamStatistics(library_).FramesDropped, 0u);
    EXPECT_FALSE(camera_->CaptureOn());
}

TEST_P(CaptureStack, GreyFramesMatchTheDirectConversion) {
    const simcam::Scene scene = Bars();
    camera_->SetScene(scene);
    ASSERT_EQ(SetColour(false), STATUS_SUCCESS);
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i)
        ReadAndCompare(scene, "grey frame");
    ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(SavedSettings()["Color Enable"], 0u);
    // The first grey frame after load leaves its de-interlaced copy on drive C.
    std::error_code ec;
    EXPECT_EQ(std::filesystem::file_size(driveC_ / "DS-test.raw", ec), 5926912u);
}

TEST_P(CaptureStack, ColourCanBeSwitchedBetweenFramesOfOneRun) {
    const simcam::Scene chart = simcam::BuiltInChart();
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ReadAndCompare(chart, "colour frame of the chart");
    ASSERT_EQ(SetColour(false), STATUS_SUCCESS);
    ReadAndCompare(chart, "grey frame of the chart");
    ASSERT_EQ(SetColour(true), STATUS_SUCCESS);
    ReadAndCompare(chart, "colour frame again");
    ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// The restart reaches the library through the direct-call interface the driver fetched at
// initialisation-complete; spoilt frames are dropped and the read gets the next whole one.
TEST_P(CaptureStack, RestartAndShortPacketsCostOneFrameEach) {
    const simcam::Scene chart = simcam::BuiltInChart();
    simcam::PacketFaults restart, shortPacket;
    restart.RestartBefore = {300};
    shortPacket.ShortPackets = {5};
    camera_->QueueFrameFaults(restart);
    camera_->QueueFrameFaults(shortPacket);
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ReadAndCompare(chart, "frame after two spoilt ones");
    EXPECT_EQ(library_->IsoPipeStateCalls, (std::vector<ULONG>{1, 0}));
    EXPECT_EQ(cameralib::GetStreamStatistics(library_).FramesDropped, 2u);
    ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// The driver takes the fastest path the system it runs on lets it: Windows XP and Vista have no
// extended-state routines (the SSE paths, under the floating-point save), Windows 7 saves AVX but not
// the AVX-512 state, Windows 10 both. What the processor has caps each.
TEST_P(CaptureStack, TakesTheFastestPathItsWindowsAllows) {
    const host::WindowsTarget target = host::CurrentWindowsTarget();
    host::SetWindowsTarget(host::WindowsTarget::Ten);
    FindExtendedStateRoutines(); // what the processor offers, found by this program's driver
    const LONG best = SupportedImagingPath();
    host::SetWindowsTarget(target);
    FindExtendedStateRoutines(); // back to what DriverEntry found, should the driver be this program's
    const LONG cap = target <= host::WindowsTarget::Vista   ? IMAGING_PATH_SSSE3
                     : target == host::WindowsTarget::Seven ? IMAGING_PATH_AVX2
                                                            : IMAGING_PATH_AVX512;
    const LONG expected = std::min(best, cap);
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const host::ProcessorStateCounts before = host::ProcessorState();
    std::vector<uint8_t> frame(FrameBytes(), 0);
    ULONG used = 0;
    ASSERT_EQ(pin_->ReadFrame(frame.data(), static_cast<ULONG>(frame.size()), &used), STATUS_SUCCESS);
    const host::ProcessorStateCounts after = host::ProcessorState();
    ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    const unsigned extended = after.ExtendedSaves - before.ExtendedSaves;
    const unsigned floating = after.FloatSaves - before.FloatSaves;
    if (expected >= IMAGING_PATH_AVX2) {
        EXPECT_GT(extended, 0u) << host::WindowsTargetName(target);
        EXPECT_EQ(after.LastExtendedMask,
                  expected == IMAGING_PATH_AVX512 ? XSTATE_MASK_AVX | XSTATE_MASK_AVX512 : XSTATE_MASK_AVX)
            << host::WindowsTargetName(target);
    } else {
        EXPECT_EQ(extended, 0u) << host::WindowsTargetName(target);
        EXPECT_EQ(floating > 0, expected >= IMAGING_PATH_SSE2) << host::WindowsTargetName(target);
    }
    EXPECT_EQ(after.Depth, 0);
}

// One raw-frame call of the driver under test on a camera whose pin runs, with a fault armed just
// before it: the bytes, their count and the gains.
struct PathFrame {
    std::vector<uint8_t> Bytes;
    ULONG Count = 0;
    ULONG Gains[3] = {};
};

void ConvertOnce(ImagingPath Path, bool Colour, const std::vector<uint8_t>& Raw, const char* Fault,
                 const host::FaultRule& Rule, PathFrame* Out) {
    const std::filesystem::path driveC = ResetHostForStack("z40k-paths-c");
    path_levers::ActAsSystemOf(Path);
    const std::string settings = host::DriverKeyPath() + "\\Z40K_Settings";
    host::RegistrySetDword(settings, "Color Enable", Colour);
    host::RegistrySetDword(settings, "Auto White Balance", Colour);
    rig::Rig rig(DriverUnderTest());
    size_t camera = 0;
    ASSERT_EQ(rig.Plug(simcam::CameraConfig(), &camera), STATUS_SUCCESS);
    rig::CapturePin pin;
    ASSERT_EQ(rig::OpenCapturePin(rig.FilterOf(camera), &pin).Failure, rig::PinFailure::None);
    ASSERT_EQ(pin.Pin->SetState(KSSTATE_RUN), STATUS_SUCCESS); // the window is set; no frame is sent
    cameralib::LibraryDevice* library = rig.LibraryOf(camera);
    PDeviceContext context = static_cast<PDeviceContext>(library->DeviceContext);
    Out->Bytes.assign(pin.Format.DataFormat.SampleSize, 0);
    if (Fault != nullptr)
        host::InjectFault(Fault, Rule);
    ASSERT_EQ(library->DeviceData2->CamProcessRawVideoFrameEx(
                  library->BusDeviceObject, context, nullptr, Out->Bytes.data(), ULONG(Out->Bytes.size()),
                  const_cast<uint8_t*>(Raw.data()), ULONG(Raw.size()), 0, &Out->Count, ULONG(Raw.size()), 0),
              STATUS_SUCCESS);
    host::ClearAllFaults();
    Out->Gains[0] = context->BlueGain;
    Out->Gains[1] = context->GreenGain;
    Out->Gains[2] = context->RedGain;
    pin.Pin->SetState(KSSTATE_STOP);
    EXPECT_EQ(host::ProcessorState().Depth, 0);
    std::error_code ec;
    std::filesystem::remove_all(driveC, ec);
}

// Every path the driver under test has (z40k.sys's own kernels, when it is the image) up to what the
// suite's Windows allows, pinned by the system and processor the host acts as, converts a raw frame
// into the same bytes, count and gains: colour with the white balance, and grey. On each path a failed
// save of one span's state (the statistics', the demosaic's, the grey copy's) gives that span's scalar
// kernels, which must give them too. A processor's level reaches z40k.sys only where the host traps its
// cpuid; without the trap its scalar and SSE2 paths are left to the failed saves.
TEST(EachPathCaptureStack, WritesTheBytesOfTheScalarKernels) {
    std::vector<uint8_t> raw(simcam::RAW_FRAME_SIZE);
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = uint8_t((i * 2654435761u) >> 13);
    const char* image = std::getenv("Z40K_DRIVER_IMAGE");
    const bool loaded = image != nullptr && *image != '\0';
    for (bool colour : {true, false}) {
        PathFrame expected;
        bool first = true;
        for (ImagingPath path : {IMAGING_PATH_SCALAR, IMAGING_PATH_SSE2, IMAGING_PATH_SSSE3,
                                 IMAGING_PATH_AVX2, IMAGING_PATH_AVX512}) {
            if (path_levers::LeversOf(path).Target > TargetUnderTest() ||
                (loaded && !path_levers::ImageSeesLevers(path)))
                continue;
            // The processor is this program's too: its driver finds what the image will.
            host::ResetKernel();
            path_levers::ActAsSystemOf(path);
            FindExtendedStateRoutines();
            const bool reached = SupportedImagingPath() == path;
            host::ResetKernel();
            FindExtendedStateRoutines();
            if (!reached)
                continue;
            // The white balance's own floating-point save comes between the statistics' and the
            // demosaic's, and is not one of a span.
            const char* save =
                path >= IMAGING_PATH_AVX2 ? "KeSaveExtendedProcessorState" : "KeSaveFloatingPointState";
            const unsigned long long demosaicSave = path >= IMAGING_PATH_AVX2 ? 2 : 3;
            std::vector<std::pair<const char*, host::FaultRule>> faults = {{nullptr, {}}};
            if (path != IMAGING_PATH_SCALAR) {
                faults.push_back({save, {1, 1, STATUS_UNSUCCESSFUL}});
                if (colour)
                    faults.push_back({save, {demosaicSave, 1, STATUS_UNSUCCESSFUL}});
            }
            for (size_t f = 0; f < faults.size(); ++f) {
                PathFrame frame;
                ConvertOnce(path, colour, raw, faults[f].first, faults[f].second, &frame);
                if (first) {
                    expected = frame;
                    first = false;
                    EXPECT_GT(frame.Count, 0u);
                }
                const std::string what = std::string(colour ? "colour" : "grey") + " on path " +
                                         path_levers::PathName(path) + ", fault " + std::to_string(f);
                EXPECT_EQ(frame.Count, expected.Count) << what;
                EXPECT_TRUE(std::equal(frame.Gains, frame.Gains + 3, expected.Gains)) << what;
                EXPECT_TRUE(frame.Bytes == expected.Bytes) << what;
            }
        }
        EXPECT_FALSE(first) << "no path converted";
    }
}

INSTANTIATE_TEST_SUITE_P(Capture, CaptureStack, ::testing::Values(512, 1023),
                         [](const ::testing::TestParamInfo<uint16_t>& info) {
                             return "Packets" + std::to_string(info.param);
                         });

} // namespace
