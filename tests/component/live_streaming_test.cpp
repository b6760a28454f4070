// The stack as it lives among threads: the camera sends on its own clock whether or not reads wait, the
// library's workers frame, assemble and convert, applications read, set properties, stop and pull the
// camera out at any moment. Each test asserts what an application can observe, and that no request
// was completed twice or never, no blocking call ran at dispatch level and no pool block was left.
#include "host/cameralib/streaming.h"
#include "driver/callback_records.h"
#include "driver/device_context.h"
#include "driver/driver_entry.h"
#include "host/rig/rig.h"
#include "platform/kernel.h"
#include "host/simcam/sensor.h"
#include "tests/component/fresh_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

namespace {

constexpr int64_t kFrameTime = 666667; // 1/15 s, as the camera paces and the format says
constexpr ULONG kDroppedFramesSet = 1; // index of the dropped-frames set among the stream's sets

void Delay(int64_t Units100ns) {
    LARGE_INTEGER interval;
    interval.QuadPart = -Units100ns;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// What each step of one session reported, and what became of the read queued while the pin ran
// (STATUS_PENDING: the step was not reached).
struct UnplugSession {
    NTSTATUS Plugged = STATUS_PENDING;
    NTSTATUS Ran = STATUS_PENDING;
    NTSTATUS PropertySet = STATUS_PENDING;
    NTSTATUS Stopped = STATUS_PENDING;
    NTSTATUS Read = STATUS_PENDING;
    unsigned Requests = 0; // vendor requests the camera received
};

class LiveStack : public ::testing::Test {
  protected:
    void SetUp() override {
        driveC_ = ResetHostForStack("z40k-live-c");
        firstBlock_ = host::PoolAllocationCount();
    }
    void TearDown() override {
        pins_.clear();
        rig_.reset();
        for (const std::string& v : streamclass::Violations())
            ADD_FAILURE() << v;
        for (const host::PoolBlockInfo& block : host::PoolOutstanding())
            EXPECT_LE(block.Serial, firstBlock_) << "pool block of " << block.Size << " bytes left";
        std::error_code ec;
        std::filesystem::remove_all(driveC_, ec);
    }

    // Plugs a camera in and opens its capture pin; returns its index.
    size_t Plug(simcam::Scene Scene) {
        if (rig_ == nullptr)
            rig_ = std::make_unique<rig::Rig>(DriverEntry);
        size_t index = 0;
        EXPECT_EQ(rig_->Plug(simcam::CameraConfig(), &index), STATUS_SUCCESS);
        streamclass::Filter& filter = rig_->FilterOf(index);
        std::vector<const KS_DATARANGE_VIDEO*> ranges = filter.Ranges(0);
        EXPECT_EQ(filter.Intersect(0, &ranges.at(0)->DataRange, &format_), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        pins_.push_back(filter.OpenPin(0, format_, &status));
        EXPECT_EQ(status, STATUS_SUCCESS);
        rig_->CameraOf(index)->SetScene(std::move(Scene));
        return index;
    }
    streamclass::Pin& PinOf(size_t Index) { return *pins_.at(Index); }
    ULONG FrameBytes() const {
        return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format_.data())->DataFormat.SampleSize;
    }
    NTSTATUS SetCameraProperty(size_t Index, ULONG Id, LONG Value) {
        CameraPropertyData request{};
        request.Property = {kCameraSet, Id, KSPROPERTY_TYPE_SET};
        CameraPropertyData data = request;
        data.Value = Value;
        ULONG returned = 0;
        return rig_->FilterOf(Index).DeviceProperty(true, &request, sizeof request, &data, sizeof data,
                                                    &returned);
    }
    // What the driver makes of the camera's frame of Scene with the registers and settings as they are.
    std::vector<uint8_t> Expected(size_t Index, const simcam::Scene& Scene) {
        simcam::SimulatedCamera& camera = *rig_->CameraOf(Index);
        std::vector<uint8_t> raw;
        simcam::RenderRawFrame(Scene, camera.ExposureRegister(), camera.GainRegister(), &raw);
        DeviceContext copy;
        std::memcpy(&copy, rig_->FilterOf(Index).DeviceExtension(), sizeof copy);
        std::vector<uint8_t> expected(FrameBytes(), 0);
        ULONG used = 0;
        uint8_t frameContext[8] = {};
        CamDeviceData2.CamProcessRawVideoFrameEx(
            nullptr, &copy, frameContext, expected.data(), static_cast<ULONG>(expected.size()), raw.data(),
            static_cast<ULONG>(raw.size()), 0, &used, static_cast<ULONG>(raw.size()), 0);
        return expected;
    }

    // One session: bring-up, the pin opened and run with a read queued, an exposure set, stop. The camera
    // is pulled out at vendor request AtRequest (0: never) as the request reaches it, or with AfterServing
    // once it has answered; the stream class then removes it as after any surprise removal.
    UnplugSession UnplugSessionAt(unsigned AtRequest, bool AfterServing) {
        UnplugSession session;
        rig_ = std::make_unique<rig::Rig>(DriverEntry);
        size_t index = 0;
        session.Plugged = rig_->Plug(
            simcam::CameraConfig(), &index, [&](streamclass::Filter&, simcam::SimulatedCamera& Camera) {
                Camera.SetScene(Solid(90, 90, 90)); // spares the chart's making in every session
                Camera.SetRequestHook([&, camera = &Camera](uint8_t, unsigned Ordinal, bool Served) {
                    session.Requests = Ordinal;
                    if (Ordinal == AtRequest && Served == AfterServing)
                        camera->Unplug();
                });
            });
        std::vector<uint8_t> frame;
        std::unique_ptr<streamclass::PendingRead> read;
        if (NT_SUCCESS(session.Plugged)) {
            streamclass::Filter& filter = rig_->FilterOf(index);
            std::vector<const KS_DATARANGE_VIDEO*> ranges = filter.Ranges(0);
            EXPECT_EQ(filter.Intersect(0, &ranges.at(0)->DataRange, &format_), STATUS_SUCCESS);
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            pins_.push_back(filter.OpenPin(0, format_, &status));
            EXPECT_EQ(status, STATUS_SUCCESS); // the open's register writes are not looked at
            session.Ran = PinOf(0).SetState(KSSTATE_RUN);
            frame.assign(FrameBytes(), 0);
            read = PinOf(0).QueueRead(frame.data(), FrameBytes());
            session.PropertySet = SetCameraProperty(0, 7, 900); // exposure: a register write
            session.Stopped = PinOf(0).SetState(KSSTATE_STOP);
        }
        rig_->Unplug(index);
        if (read != nullptr) {
            session.Read = read->Wait(nullptr, host::ClockNow100ns() + 20 * kFrameTime);
            EXPECT_TRUE(read->Done()) << "the read never completed";
        }
        read.reset();
        pins_.clear();
        rig_.reset();
        return session;
    }

    std::filesystem::path driveC_;
    uint64_t firstBlock_ = 0;
    std::unique_ptr<rig::Rig> rig_;
    std::vector<std::unique_ptr<streamclass::Pin>> pins_;
    std::vector<uint8_t> format_;
};

// A reader slower than the camera: frames finished while no read waits are dropped, and the frame
// numbers, drop counts, discontinuity flags, presentation times and the dropped-frames property agree.
TEST_F(LiveStack, SlowReaderLosesFramesAndEveryCountAgrees) {
    const simcam::Scene scene = Solid(200, 120, 40);
    Plug(scene);
    ASSERT_EQ(PinOf(0).SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const std::vector<uint8_t> expected = Expected(0, scene);
    std::vector<uint8_t> frame(FrameBytes());
    // Time the reader spends between reads: none, then 2.5, 1.5 and 0.2 frame times.
    const int64_t pauses[] = {0, kFrameTime * 5 / 2, kFrameTime * 3 / 2, kFrameTime / 5, 0};
    LONGLONG lastPicture = 0, lastDrops = 0;
    for (int64_t pause : pauses) {
        Delay(pause);
        streamclass::ReadResult r;
        std::fill(frame.begin(), frame.end(), 0);
        ASSERT_EQ(PinOf(0).ReadFrame(frame.data(), FrameBytes(), nullptr, &r), STATUS_SUCCESS);
        ASSERT_TRUE(r.HasFrameInfo);
        const LONGLONG skipped = r.PictureNumber - lastPicture - 1;
        EXPECT_EQ(r.DropCount - lastDrops, skipped) << "picture " << r.PictureNumber;
        EXPECT_EQ((r.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0, skipped != 0);
        EXPECT_EQ(r.PresentationTime, r.PictureNumber * kFrameTime);
        EXPECT_EQ(r.Duration, kFrameTime);
        EXPECT_TRUE(frame == expected) << "picture " << r.PictureNumber << " is not whole";
        lastPicture = r.PictureNumber;
        lastDrops = r.DropCount;
    }
    // 2.5 frame times lose two frames, 1.5 one, 0.2 none.
    EXPECT_EQ(lastPicture, 8);
    EXPECT_EQ(lastDrops, 3);
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
    dropped.Property = {PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT,
                        KSPROPERTY_TYPE_GET};
    ULONG returned = 0;
    ASSERT_EQ(PinOf(0).GetProperty(kDroppedFramesSet, &dropped, sizeof dropped, &dropped, sizeof dropped,
                                   &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(dropped.PictureNumber, 8);
    EXPECT_EQ(dropped.DropCount, 3);
    EXPECT_EQ(PinOf(0).SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// Reads queued when the pin stops or closes come back cancelled; reads that cannot be served are
// refused at once, and a buffer too short for the image is never written.
TEST_F(LiveStack, ReadsOutsideARunAreRefusedAndPendingOnesCancelled) {
    Plug(Solid(10, 20, 30));
    std::vector<uint8_t> a(FrameBytes()), b(FrameBytes()), c(FrameBytes());
    EXPECT_EQ(PinOf(0).ReadFrame(a.data(), FrameBytes(), nullptr), STATUS_DEVICE_NOT_READY);
    ASSERT_EQ(PinOf(0).SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<uint8_t> shortBuffer(FrameBytes() - 1, 0xA5);
    EXPECT_EQ(PinOf(0).ReadFrame(shortBuffer.data(), FrameBytes() - 1, nullptr), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(std::count(shortBuffer.begin(), shortBuffer.end(), 0xA5),
              static_cast<long>(shortBuffer.size()));

    auto first = PinOf(0).QueueRead(a.data(), FrameBytes());
    auto second = PinOf(0).QueueRead(b.data(), FrameBytes());
    auto third = PinOf(0).QueueRead(c.data(), FrameBytes());
    EXPECT_EQ(first->Wait(), STATUS_SUCCESS);
    EXPECT_FALSE(second->Done());
    ASSERT_EQ(PinOf(0).SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(second->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(third->Wait(), STATUS_CANCELLED);
    EXPECT_EQ(PinOf(0).ReadFrame(a.data(), FrameBytes(), nullptr), STATUS_DEVICE_NOT_READY);

    // Closing a running pin with reads queued cancels them too.
    ASSERT_EQ(PinOf(0).SetState(KSSTATE_RUN), STATUS_SUCCESS);
    auto fourth = PinOf(0).QueueRead(a.data(), FrameBytes());
    EXPECT_EQ(PinOf(0).Close(), STATUS_SUCCESS);
    EXPECT_EQ(fourth->Wait(), STATUS_CANCELLED);
}

// The camera pulled out mid-frame and mid-read: the queued reads fail, the driver's stop finds the
// camera gone and leaves the registry alone, and everything the driver took is freed.
TEST_F(LiveStack, UnplugMidFrameFailsTheQueuedReadsAndLeavesNothing) {
    Plug(Solid(90, 90, 90));
    ASSERT_EQ(PinOf(0).SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<uint8_t> a(FrameBytes()), b(FrameBytes());
    auto first = PinOf(0).QueueRead(a.data(), FrameBytes());
    ASSERT_EQ(first->Wait(), STATUS_SUCCESS);
    auto second = PinOf(0).QueueRead(b.data(), FrameBytes());
    Delay(kFrameTime / 2); // half of the next frame is on its way
    host::RegistryClear();
    EXPECT_EQ(rig_->Unplug(0), STATUS_SUCCESS);
    EXPECT_EQ(second->Wait(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(PinOf(0).IsOpen());
    EXPECT_FALSE(host::RegistryKeyExists(host::DriverKeyPath() + "\\Z40K_Settings"));
}

// Two cameras on one driver, each with its own scene: every frame a camera delivers is its own scene's.
TEST_F(LiveStack, TwoCamerasStreamTheirOwnScenes) {
    const simcam::Scene scenes[] = {Solid(250, 30, 30), Solid(30, 30, 250)};
    Plug(scenes[0]);
    Plug(scenes[1]);
    // The reference conversions need the frame geometry that running the pins sets.
    for (size_t i = 0; i < 2; ++i)
        ASSERT_EQ(PinOf(i).SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const std::vector<uint8_t> expected[] = {Expected(0, scenes[0]), Expected(1, scenes[1])};
    ASSERT_FALSE(expected[0] == expected[1]);
    std::vector<uint8_t> frames[2] = {std::vector<uint8_t>(FrameBytes()), std::vector<uint8_t>(FrameBytes())};
    for (int round = 0; round < 3; ++round) {
        auto first = PinOf(0).QueueRead(frames[0].data(), FrameBytes());
        auto second = PinOf(1).QueueRead(frames[1].data(), FrameBytes());
        ASSERT_EQ(second->Wait(), STATUS_SUCCESS);
        ASSERT_EQ(first->Wait(), STATUS_SUCCESS);
        for (size_t i = 0; i < 2; ++i)
            EXPECT_TRUE(frames[i] == expected[i]) << "camera " << i << ", round " << round;
    }
    for (size_t i = 0; i < 2; ++i)
        EXPECT_EQ(PinOf(i).SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// Two application threads change every setting the frames depend on while a capture runs. No request
// goes astray, and once they stop, the frames are the pipeline's output for the final settings.
TEST_F(LiveStack, SettersRacingACaptureLeaveTheFinalSettingsInForce) {
    const simcam::Scene scene = Solid(180, 140, 60);
    Plug(scene);
    ASSERT_EQ(PinOf(0).SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::atomic<bool> go{false};
    auto setter = [this, &go](unsigned Seed) {
        while (!go)
            std::this_thread::yield();
        uint32_t x = Seed;
        for (int i = 0; i < 2000; ++i) {
            x = x * 1103515245u + 12345u;
            const ULONG ids[] = {5, 6, 7, 8, 9, 10, 11};
            SetCameraProperty(0, ids[(x >> 8) % 7], static_cast<LONG>((x >> 12) % 600));
        }
    };
    std::thread one(setter, 1u), two(setter, 2u);
    go = true;
    std::vector<uint8_t> frame(FrameBytes());
    unsigned read = 0;
    for (; read < 60; ++read)
        ASSERT_EQ(PinOf(0).ReadFrame(frame.data(), FrameBytes(), nullptr), STATUS_SUCCESS);
    one.join();
    two.join();
    // The final settings: colour on, white balance off, fixed gains and exposure.
    const std::pair<ULONG, LONG> finals[] = {{6, 0},   {5, 1},    {7, 500}, {8, 3},
                                             {9, 140}, {10, 120}, {11, 100}};
    for (const auto& setting : finals)
        ASSERT_EQ(SetCameraProperty(0, setting.first, setting.second), STATUS_SUCCESS);
    // The frame in flight may still show the old registers; the one after cannot.
    ASSERT_EQ(PinOf(0).ReadFrame(frame.data(), FrameBytes(), nullptr), STATUS_SUCCESS);
    ASSERT_EQ(PinOf(0).ReadFrame(frame.data(), FrameBytes(), nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(frame == Expected(0, scene));
    EXPECT_EQ(PinOf(0).SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

// The driver's frame and packet routines as the library calls them, wrapped to see when they run: the
// first raw frame takes three frame times of clock time to convert, long enough for a stop to arrive
// in the middle of it.
struct RoutineWatch {
    USBCAMD_DEVICE_DATA2 Calls;
    const USBCAMD_DEVICE_DATA2* Driver;
    std::atomic<int> Sequence{0};
    std::atomic<bool> Converting{false};
    std::atomic<int> Conversions{0};
    std::atomic<int> LastRoutine{0}; // sequence number of the last packet or frame routine call
    int64_t ConversionEnd100ns = 0;
    std::atomic<int> StopReturned{0};
};
RoutineWatch* gWatch = nullptr;

ULONG NTAPI WatchedPacket(PDEVICE_OBJECT Bus, PVOID Context, PVOID Frame, PUSBD_ISO_PACKET_DESCRIPTOR Sync,
                          PVOID SyncBuffer, PUSBD_ISO_PACKET_DESCRIPTOR Data, PVOID DataBuffer,
                          PBOOLEAN Complete, PULONG Flag, PULONG Offset) {
    gWatch->LastRoutine = ++gWatch->Sequence;
    return gWatch->Driver->CamProcessUSBPacketEx(Bus, Context, Frame, Sync, SyncBuffer, Data, DataBuffer,
                                                 Complete, Flag, Offset);
}

NTSTATUS NTAPI WatchedRawFrame(PDEVICE_OBJECT Bus, PVOID Context, PVOID FrameContext, PVOID Buffer,
                               ULONG Length, PVOID Raw, ULONG RawLength, ULONG Packets, PULONG Returned,
                               ULONG ActualRawLength, ULONG Stream) {
    gWatch->LastRoutine = ++gWatch->Sequence;
    if (gWatch->Conversions++ == 0) {
        gWatch->Converting = true;
        host::ClockNotify();
        Delay(3 * kFrameTime);
    }
    const NTSTATUS status =
        gWatch->Driver->CamProcessRawVideoFrameEx(Bus, Context, FrameContext, Buffer, Length, Raw, RawLength,
                                                  Packets, Returned, ActualRawLength, Stream);
    if (gWatch->Converting) {
        gWatch->ConversionEnd100ns = host::ClockNow100ns();
        gWatch->Converting = false;
    }
    gWatch->LastRoutine = ++gWatch->Sequence;
    return status;
}

NTSTATUS NTAPI WatchedStop(PDEVICE_OBJECT Bus, PVOID Context, ULONG Stream) {
    const NTSTATUS status = gWatch->Driver->CamStopCaptureEx(Bus, Context, Stream);
    gWatch->StopReturned = ++gWatch->Sequence;
    return status;
}

// A stop that arrives while the frame worker is inside the raw-frame routine: the stop waits for the
// conversion, the read being filled completes once and whole, the next one is cancelled, and no packet or
// frame routine runs once the driver's stop capture has returned.
TEST_F(LiveStack, StopDuringAConversionWaitsForItAndNothingRunsAfter) {
    const simcam::Scene scene = Solid(70, 160, 220);
    Plug(scene);
    RoutineWatch watch;
    cameralib::LibraryDevice* library = rig_->LibraryOf(0);
    ASSERT_NE(library, nullptr);
    watch.Driver = library->DeviceData2;
    watch.Calls = *watch.Driver;
    watch.Calls.CamProcessUSBPacketEx = WatchedPacket;
    watch.Calls.CamProcessRawVideoFrameEx = WatchedRawFrame;
    watch.Calls.CamStopCaptureEx = WatchedStop;
    gWatch = &watch;
    library->DeviceData2 = &watch.Calls;

    ASSERT_EQ(PinOf(0).SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const std::vector<uint8_t> expected = Expected(0, scene);
    std::vector<uint8_t> a(FrameBytes()), b(FrameBytes());
    auto filling = PinOf(0).QueueRead(a.data(), FrameBytes());
    auto waiting = PinOf(0).QueueRead(b.data(), FrameBytes());
    host::ClockWait([&] { return watch.Converting.load(); });
    const int64_t stopAt = host::ClockNow100ns();
    EXPECT_EQ(PinOf(0).SetState(KSSTATE_STOP), STATUS_SUCCESS);
    const int64_t stoppedAt = host::ClockNow100ns();
    const int lastBeforeReturn = watch.LastRoutine;
    Delay(5 * kFrameTime); // a frame or packet routine running late would show now
    library->DeviceData2 = watch.Driver;

    EXPECT_EQ(watch.ConversionEnd100ns, stopAt + 3 * kFrameTime);
    EXPECT_GE(stoppedAt, watch.ConversionEnd100ns);
    EXPECT_EQ(watch.Conversions, 1);
    ASSERT_NE(watch.StopReturned, 0);
    EXPECT_LT(watch.LastRoutine, watch.StopReturned);
    EXPECT_EQ(watch.LastRoutine, lastBeforeReturn);
    streamclass::ReadResult r;
    EXPECT_EQ(filling->Wait(&r), STATUS_SUCCESS);
    EXPECT_GT(r.DataUsed, 0u);
    EXPECT_TRUE(a == expected);
    EXPECT_EQ(waiting->Wait(), STATUS_CANCELLED);
    gWatch = nullptr;
}

// The camera pulled out at every vendor request of a session, as the request reaches it and just after
// it answered: every step ends with a defined status, the read completes once, nothing leaks and nothing
// runs at the wrong level. A property set succeeds whatever the camera answers (the setting is kept and
// reaches the camera at the next open); stop stops the stream whatever the camera answers and says so.
TEST_F(LiveStack, UnplugAtEveryRequestOfASessionEndsDefinedAndClean) {
    constexpr NTSTATUS OK = STATUS_SUCCESS, GONE = simcam::DEVICE_GONE_STATUS, NONE = STATUS_PENDING;
    const struct {
        unsigned At;
        bool After;
        NTSTATUS Plug, Run, Property, Stop, Read;
    } cases[] = {
        {0, false, OK, OK, OK, OK, STATUS_CANCELLED}, // never: the reference session
        // Bring-up: the status word (1), the start-up control (2).
        {1, false, GONE, NONE, NONE, NONE, NONE},
        {1, true, GONE, NONE, NONE, NONE, NONE},
        {2, false, GONE, NONE, NONE, NONE, NONE},
        // Gone once bring-up is done: the open's exposure (3) and gain (4) writes fail unnoticed, and the
        // run finds no bandwidth.
        {2, true, OK, STATUS_INSUFFICIENT_RESOURCES, OK, OK, STATUS_DEVICE_NOT_READY},
        {3, false, OK, STATUS_INSUFFICIENT_RESOURCES, OK, OK, STATUS_DEVICE_NOT_READY},
        {3, true, OK, STATUS_INSUFFICIENT_RESOURCES, OK, OK, STATUS_DEVICE_NOT_READY},
        {4, false, OK, STATUS_INSUFFICIENT_RESOURCES, OK, OK, STATUS_DEVICE_NOT_READY},
        {4, true, OK, STATUS_INSUFFICIENT_RESOURCES, OK, OK, STATUS_DEVICE_NOT_READY},
        // The run's capture controls (5, 6).
        {5, false, OK, GONE, OK, OK, STATUS_DEVICE_NOT_READY},
        {5, true, OK, GONE, OK, OK, STATUS_DEVICE_NOT_READY},
        {6, false, OK, GONE, OK, OK, STATUS_DEVICE_NOT_READY},
        // Gone while the pin runs: the exposure write (7), the stop's capture control (8).
        {6, true, OK, OK, OK, GONE, STATUS_CANCELLED},
        {7, false, OK, OK, OK, GONE, STATUS_CANCELLED},
        {7, true, OK, OK, OK, GONE, STATUS_CANCELLED},
        {8, false, OK, OK, OK, GONE, STATUS_CANCELLED},
        {8, true, OK, OK, OK, GONE, STATUS_CANCELLED},
    };
    for (const auto& c : cases) {
        ResetHostForStack("z40k-live-c");
        firstBlock_ = host::PoolAllocationCount();
        const UnplugSession s = UnplugSessionAt(c.At, c.After);
        const std::string where =
            "unplugged at request " + std::to_string(c.At) + (c.After ? " once answered" : "");
        if (c.At == 0) {
            EXPECT_EQ(s.Requests, 8u) << "the table covers every request of the session";
        }
        EXPECT_EQ(s.Plugged, c.Plug) << where;
        EXPECT_EQ(s.Ran, c.Run) << where;
        EXPECT_EQ(s.PropertySet, c.Property) << where;
        EXPECT_EQ(s.Stopped, c.Stop) << where;
        EXPECT_EQ(s.Read, c.Read) << where;
        for (const std::string& v : streamclass::Violations())
            ADD_FAILURE() << where << ": " << v;
        for (const host::BugCheckReport& report : host::BugChecks())
            ADD_FAILURE() << where << ": " << report.Text;
        for (const host::PoolBlockInfo& block : host::PoolOutstanding())
            EXPECT_LE(block.Serial, firstBlock_) << where << ": " << block.Size << " bytes left";
    }
}

} // namespace
