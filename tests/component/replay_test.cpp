// A capture recorded on the high-speed bus, played back through the whole stack: the replay device's
// thread, the bus's pacing and the recording's writer meet the library's threads here (a suite the
// ThreadSanitizer build runs).
#include "host/rig/capture_pin.h"
#include "host/rig/session.h"
#include "tests/component/fresh_host.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Frames {
    std::vector<std::vector<uint8_t>> Pixels;
    std::vector<int64_t> TimesUs;
};

// Two frames through a session with Options: the camera's, or the recording's when it plays one back.
Frames Capture(rig::SessionOptions Options) {
    Frames frames;
    Options.VirtualClock = true;
    const char* image = std::getenv("Z40K_DRIVER_IMAGE");
    Options.DriverImage = image != nullptr ? image : "";
    rig::Session session;
    std::string error;
    EXPECT_TRUE(session.Open(Options, &error)) << error;
    size_t index = 0;
    EXPECT_EQ(session.Plug(rig::CameraOptions(), &index), STATUS_SUCCESS);
    session.OnFrame(index, [&frames](const rig::FrameRecord& Frame) {
        if (!Frame.Dropped)
            frames.TimesUs.push_back(Frame.TimeUs);
    });
    rig::CapturePin capture;
    EXPECT_EQ(rig::OpenCapturePin(session.FilterOf(index), &capture).Failure, rig::PinFailure::None);
    EXPECT_EQ(capture.Pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        std::vector<uint8_t> buffer(capture.Format.DataFormat.SampleSize);
        ULONG used = 0;
        EXPECT_EQ(capture.Pin->ReadFrame(buffer.data(), static_cast<ULONG>(buffer.size()), &used),
                  STATUS_SUCCESS);
        frames.Pixels.push_back(std::move(buffer));
    }
    EXPECT_EQ(capture.Pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    capture.Pin->Close();
    session.Remove(index);
    EXPECT_TRUE(session.CloseRecording(&error)) << error;
    return frames;
}

// Played back, the recording gives the frames the camera gave, each when the camera gave it.
TEST(Replay, ARecordedCaptureReplaysToTheSameFramesAtTheSamePace) {
    const fs::path dir = fs::temp_directory_path() / ("z40k-replay-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    rig::SessionOptions record;
    record.DriveC = (dir / "c").string();
    record.Pcap = (dir / "camera.pcap").string();
    const Frames recorded = Capture(record);
    rig::SessionOptions replay;
    replay.DriveC = record.DriveC;
    replay.Replay = record.Pcap;
    const Frames replayed = Capture(replay);
    ASSERT_EQ(recorded.Pixels.size(), 2u);
    EXPECT_TRUE(replayed.Pixels == recorded.Pixels);
    EXPECT_EQ(replayed.TimesUs, recorded.TimesUs);
    fs::remove_all(dir);
}

} // namespace
