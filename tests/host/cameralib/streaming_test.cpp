// The library's packet pump and frame assembly, with the driver's real packet routine and a recording
// stand-in for the rest of the version-2 record, against the simulated camera's packets.
#include "host/cameralib/streaming.h"

#include "camera/capture.h"
#include "host/bus/bus.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "host/streamclass/stream_class_host.h"
#include "host/simcam/packetizer.h"
#include "host/simcam/sensor.h"
#include "host/simcam/simulated_camera.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr NTSTATUS STATUS_DEVICE_NOT_READY_ = static_cast<NTSTATUS>(0xC00000A3);
constexpr ULONG kFrameBufferSize = 4096;
constexpr ULONG kBytesReported = 4000; // what the recording raw-frame routine reports

// What the recording callbacks saw.
struct Recorder {
    std::vector<std::string> Calls;
    ULONG RawFrameLengthToGive = 0;
    NTSTATUS AllocateStatus = STATUS_SUCCESS;
    NTSTATUS StartStatus = STATUS_SUCCESS;
    NTSTATUS StopStatus = STATUS_SUCCESS;
    std::vector<uint8_t> LastRaw;
    ULONG LastRawLength = 0, LastActualLength = 0, LastFrameLength = 0, LastPackets = 0;
    unsigned NewFrames = 0;
    simcam::SimulatedCamera* Camera = nullptr;
    cameralib::LibraryDevice* Device = nullptr;
};
Recorder* rec = nullptr;

NTSTATUS NTAPI RecAllocate(PDEVICE_OBJECT, PVOID, PULONG RawFrameLength, PVOID, ULONG) {
    rec->Calls.push_back("allocate");
    *RawFrameLength = rec->RawFrameLengthToGive;
    return rec->AllocateStatus;
}
NTSTATUS NTAPI RecStart(PDEVICE_OBJECT, PVOID, ULONG) {
    rec->Calls.push_back("start");
    if (NT_SUCCESS(rec->StartStatus))
        rec->Camera->VendorRequest(2, 1, 11, false, nullptr);
    return rec->StartStatus;
}
NTSTATUS NTAPI RecStop(PDEVICE_OBJECT, PVOID, ULONG) {
    rec->Calls.push_back("stop");
    rec->Camera->VendorRequest(2, 0, 11, false, nullptr);
    return rec->StopStatus;
}
NTSTATUS NTAPI RecFree(PDEVICE_OBJECT, PVOID, ULONG) {
    rec->Calls.push_back("free");
    return STATUS_SUCCESS;
}
VOID NTAPI RecNewFrame(PVOID, PVOID, ULONG, PULONG) {
    ++rec->NewFrames;
}
NTSTATUS NTAPI RecRawFrame(PDEVICE_OBJECT, PVOID, PVOID, PVOID FrameBuffer, ULONG FrameLength, PVOID Raw,
                           ULONG RawLength, ULONG Packets, PULONG BytesReturned, ULONG ActualLength, ULONG) {
    const uint8_t* raw = static_cast<const uint8_t*>(Raw);
    rec->LastRaw.assign(raw, raw + RawLength);
    rec->LastRawLength = RawLength;
    rec->LastActualLength = ActualLength;
    rec->LastFrameLength = FrameLength;
    rec->LastPackets = Packets;
    std::memset(FrameBuffer, 0x5A, FrameLength);
    *BytesReturned = kBytesReported;
    return STATUS_SUCCESS;
}

// The direct-call interface's SetIsoPipeState, as the library records it.
NTSTATUS NTAPI RecPipeState(PVOID DeviceContext, ULONG Flags) {
    cameralib::DeviceFromContext(DeviceContext)->IsoPipeStateCalls.push_back(Flags);
    return STATUS_SUCCESS;
}

const USBCAMD_DEVICE_DATA2 kRecord = {
    0,       nullptr, nullptr, CamProcessUSBPacketEx, RecNewFrame, RecRawFrame, RecStart, RecStop,
    nullptr, nullptr, nullptr, RecAllocate,           RecFree,
};

// The driver's packet routine, except that from data packet OffsetFrom of each frame on it says the image
// data starts OffsetBytes into the packet: the frame no longer lies back to back in the camera's packets.
uint32_t OffsetFrom = UINT32_MAX;
constexpr ULONG OffsetBytes = 3;
uint32_t DataPacketIndex = 0;
ULONG NTAPI OffsetPacketRoutine(PDEVICE_OBJECT Bus, PVOID Context, PVOID FrameContext,
                                PUSBD_ISO_PACKET_DESCRIPTOR SyncPacket, PVOID SyncBuffer,
                                PUSBD_ISO_PACKET_DESCRIPTOR DataPacket, PVOID DataBuffer,
                                PBOOLEAN FrameComplete, PULONG PacketFlag, PULONG ValidDataOffset) {
    ULONG bytes = CamProcessUSBPacketEx(Bus, Context, FrameContext, SyncPacket, SyncBuffer, DataPacket,
                                        DataBuffer, FrameComplete, PacketFlag, ValidDataOffset);
    if (bytes != 0 && DataPacketIndex++ >= OffsetFrom) {
        *ValidDataOffset = OffsetBytes;
        bytes -= OffsetBytes;
    }
    if (*FrameComplete)
        DataPacketIndex = 0;
    return bytes;
}

const USBCAMD_DEVICE_DATA2 kOffsetRecord = {
    0,       nullptr, nullptr, OffsetPacketRoutine, RecNewFrame, RecRawFrame, RecStart, RecStop,
    nullptr, nullptr, nullptr, RecAllocate,         RecFree,
};

// A small scene with every sample different from its neighbours, so a misplaced packet shows.
simcam::Scene NoiseScene() {
    simcam::Scene s;
    s.Width = 97;
    s.Height = 61;
    s.Rgb.resize(size_t(s.Width) * s.Height * 3);
    uint32_t x = 12345;
    for (auto& b : s.Rgb) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return s;
}

class Pump : public ::testing::Test {
  protected:
    void Start(uint16_t PacketSize = 512) {
        host::ResetKernel();
        host::ClearAllFaults();
        host::ClockSetMode(host::ClockMode::Virtual);
        streamclass::ClearViolations();
        simcam::CameraConfig config;
        config.DataPacketSize = PacketSize;
        bus_ = std::make_unique<bus::Bus>();
        camera_ = std::make_unique<simcam::SimulatedCamera>(config);
        std::memset(&ctx_, 0, sizeof(ctx_));
        device_.Port = bus_->Plug(camera_.get());
        ASSERT_EQ(device_.Port->SelectConfiguration(0), STATUS_SUCCESS);
        interface_ = device_.Port->InterfaceInformation();
        ctx_.InterfaceInfo = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(interface_.data());
        ctx_.CamInterface.Interface.Version = USBCAMD_VERSION_200;
        ctx_.CamInterface.USBCAMD_SetIsoPipeState = RecPipeState;
        device_.DeviceContext = &ctx_;
        device_.InterfaceInfo = interface_;
        // The roles the driver gives the pipes at configure: the first sync pipe, the data pipe.
        device_.PipeConfig = {
            {0, USBCAMD_SYNC_PIPE}, {0, USBCAMD_SYNC_PIPE}, {0, USBCAMD_MULTIPLEX_PIPE}, {0, 0}};
        device_.DeviceData2 = &kRecord;
        cameralib::AttachDevice(&device_);
        recorder_.Camera = camera_.get();
        recorder_.Device = &device_;
        const uint32_t packets = (simcam::RAW_FRAME_SIZE + PacketSize - 1) / PacketSize;
        recorder_.RawFrameLengthToGive = packets * PacketSize;
        rec = &recorder_;
        std::vector<uint8_t> exposure = {0xEE, 0x02, 0, 0}; // 750: the scene at its own brightness
        camera_->VendorRequest(5, 0, 1, false, &exposure);
        scene_ = NoiseScene();
        simcam::RenderRawFrame(scene_, 750, 0, &expected_);
        expected_.resize(recorder_.RawFrameLengthToGive, simcam::RAW_FILLER);
        camera_->SetScene(scene_);
        cameralib::SetFrameObserver(&device_,
                                    [this](const cameralib::FrameRecord& f) { frames_.push_back(f); });
        stream_.StreamNumber = 0;
    }
    void TearDown() override {
        cameralib::StreamRelease(&device_);
        cameralib::DetachDevice(&device_);
        host::ClearAllFaults();
        rec = nullptr;
        EXPECT_TRUE(streamclass::Violations().empty()) << streamclass::Violations()[0];
    }

    NTSTATUS Run() { return cameralib::StreamRun(&device_, 0, &format_.DataFormat); }

    struct ReadResult {
        NTSTATUS Status;
        ULONG DataUsed;
        ULONG Actual;
    };
    ReadResult Read() {
        buffer_.assign(kFrameBufferSize, 0);
        KSSTREAM_HEADER header{};
        header.Size = sizeof(header);
        header.Data = buffer_.data();
        header.FrameExtent = kFrameBufferSize;
        streamclass::Srb srb(SRB_READ_DATA, &ctx_, &stream_);
        srb->NumberOfBuffers = 1;
        srb->CommandData.DataBufferArray = &header;
        cameralib::StreamRead(&device_, srb.Get());
        srb.WaitForCompletion();
        EXPECT_EQ(srb.Completions(), 1);
        return {srb->Status, header.DataUsed, srb->ActualBytesTransferred};
    }

    cameralib::StreamStatistics Stats() { return cameralib::GetStreamStatistics(&device_); }

    std::unique_ptr<bus::Bus> bus_; // outlives the camera, which leaves it as it goes
    std::unique_ptr<simcam::SimulatedCamera> camera_;
    DeviceContext ctx_;
    std::vector<uint8_t> interface_;
    cameralib::LibraryDevice device_;
    Recorder recorder_;
    simcam::Scene scene_;
    std::vector<uint8_t> expected_;
    std::vector<uint8_t> buffer_;
    std::vector<cameralib::FrameRecord> frames_;
    KS_DATAFORMAT_VIDEOINFOHEADER format_{};
    HW_STREAM_OBJECT stream_{};
};

TEST_F(Pump, RunReadStopDeliversTheCamerasFramesWhole) {
    Start();
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    for (int i = 0; i < 3; ++i) {
        ReadResult r = Read();
        ASSERT_EQ(r.Status, STATUS_SUCCESS);
        EXPECT_EQ(r.DataUsed, kBytesReported);
        EXPECT_EQ(r.Actual, kBytesReported);
        EXPECT_TRUE(recorder_.LastRaw == expected_) << "frame " << i << " differs from the camera's";
        EXPECT_EQ(recorder_.LastRawLength, 5926912u);
        EXPECT_EQ(recorder_.LastActualLength, 5926912u);
        EXPECT_EQ(recorder_.LastPackets, 11576u);
        EXPECT_EQ(recorder_.LastFrameLength, kFrameBufferSize);
        EXPECT_EQ(buffer_[kFrameBufferSize - 1], 0x5A);
    }
    EXPECT_EQ(cameralib::StreamStop(&device_, 0), STATUS_SUCCESS);
    EXPECT_EQ(recorder_.Calls, (std::vector<std::string>{"allocate", "start", "stop", "free"}));
    EXPECT_EQ(Stats().FramesDelivered, 3u);
    EXPECT_EQ(Stats().FramesDropped, 0u);
    ASSERT_EQ(frames_.size(), 3u);
    for (uint64_t i = 0; i < 3; ++i) {
        EXPECT_EQ(frames_[i].Index, i);
        EXPECT_EQ(frames_[i].Bytes, kBytesReported);
        EXPECT_FALSE(frames_[i].Dropped);
        EXPECT_FALSE(frames_[i].Still);
    }
    // The camera keeps its pace on the virtual clock: a frame every 1/15 s.
    EXPECT_NEAR(double(frames_[2].TimeUs - frames_[1].TimeUs), 66666.7, 1.0);
    EXPECT_EQ(recorder_.NewFrames, 4u); // before each frame, and for the one after the last
}

TEST_F(Pump, PacketsThatDoNotDivideTheFrameAreAssembledWithTheirPadding) {
    Start(1023);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    ASSERT_EQ(Read().Status, STATUS_SUCCESS);
    EXPECT_EQ(recorder_.LastRawLength, 5927262u);
    EXPECT_TRUE(recorder_.LastRaw == expected_);
}

// Each fault spoils exactly one assembly; the read still gets the next whole frame, byte for byte.
struct FaultCase {
    const char* Name;
    simcam::PacketFaults Faults;
    uint64_t Dropped;
    uint64_t FramesSent; // by the time the read is served
};

class PumpFaults : public Pump, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(PumpFaults, SpoilOneAssemblyAndTheNextFrameIsWhole) {
    Start();
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    camera_->QueueFrameFaults(GetParam().Faults);
    ReadResult r = Read();
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_TRUE(recorder_.LastRaw == expected_);
    EXPECT_EQ(Stats().FramesDropped, GetParam().Dropped);
    EXPECT_EQ(camera_->Statistics().FramesSent, GetParam().FramesSent);
    EXPECT_EQ(Stats().FramesDelivered, 1u);
    size_t dropped = 0;
    for (const auto& f : frames_)
        dropped += f.Dropped ? 1 : 0;
    EXPECT_EQ(dropped, GetParam().Dropped);
}

simcam::PacketFaults Short(uint32_t i) {
    simcam::PacketFaults f;
    f.ShortPackets = {i};
    return f;
}
simcam::PacketFaults SyncFail(uint32_t i) {
    simcam::PacketFaults f;
    f.FailedSync = {i};
    return f;
}
simcam::PacketFaults DataFail(uint32_t i) {
    simcam::PacketFaults f;
    f.FailedData = {i};
    return f;
}
simcam::PacketFaults NoData(std::vector<uint32_t> i) {
    simcam::PacketFaults f;
    f.NoDataBefore = i;
    return f;
}
simcam::PacketFaults Restart(uint32_t i) {
    simcam::PacketFaults f;
    f.RestartBefore = {i};
    return f;
}
simcam::PacketFaults MissingEnd() {
    simcam::PacketFaults f;
    f.MissingEnd = true;
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Streaming, PumpFaults,
    ::testing::Values(FaultCase{"ShortPacket", Short(100), 1, 2},
                      FaultCase{"ShortLastPacket", Short(11575), 1, 2},
                      FaultCase{"FailedSync", SyncFail(7), 1, 2},
                      FaultCase{"FailedData", DataFail(11000), 1, 2},
                      // No-data packets carry filler the pump must not append.
                      FaultCase{"NoDataPackets", NoData({0, 5, 11575}), 0, 1},
                      FaultCase{"RestartMidFrame", Restart(4000), 1, 2},
                      // Before the first packet there is nothing to lose.
                      FaultCase{"RestartAtFrameStart", Restart(0), 0, 1},
                      // Without its end the frame runs into the next one; the joined assembly is too long
                      // and is dropped whole, and the frame after that is delivered.
                      FaultCase{"MissingEnd", MissingEnd(), 1, 3}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.Name); });

TEST_F(Pump, RestartStopsAndStartsThePipeOnce) {
    Start();
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    camera_->QueueFrameFaults(Restart(10));
    ASSERT_EQ(Read().Status, STATUS_SUCCESS);
    EXPECT_EQ(device_.IsoPipeStateCalls, (std::vector<ULONG>{1, 0}));
    EXPECT_EQ(Stats().PipeRestarts, 1u);
}

TEST_F(Pump, StillToggleMarksOnlyThatFrame) {
    Start();
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    camera_->QueueFrameFaults({}, false);
    camera_->QueueFrameFaults({}, true);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(Read().Status, STATUS_SUCCESS);
    ASSERT_EQ(frames_.size(), 3u);
    EXPECT_FALSE(frames_[0].Still);
    EXPECT_TRUE(frames_[1].Still);
    EXPECT_FALSE(frames_[2].Still);
    EXPECT_EQ(Stats().StillFrames, 1u);
    EXPECT_TRUE(recorder_.LastRaw == expected_);
}

TEST_F(Pump, FramesLongerThanAskedForAreDroppedNeverOverrun) {
    Start();
    recorder_.RawFrameLengthToGive -= 512; // one packet less than the camera sends
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    ReadResult r = Read();
    EXPECT_EQ(r.Status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(r.DataUsed, 0u);
    EXPECT_EQ(Stats().FramesDelivered, 0u);
    EXPECT_EQ(Stats().FramesDropped, 16u);
    EXPECT_TRUE(recorder_.LastRaw.empty());
}

TEST_F(Pump, ExposureChangesReachTheNextFrame) {
    Start();
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    ASSERT_EQ(Read().Status, STATUS_SUCCESS);
    std::vector<uint8_t> exposure = {0x77, 0x01, 0, 0}; // 375: half as bright
    camera_->VendorRequest(5, 0, 1, false, &exposure);
    ASSERT_EQ(Read().Status, STATUS_SUCCESS);
    std::vector<uint8_t> darker;
    simcam::RenderRawFrame(scene_, 375, 0, &darker);
    darker.resize(expected_.size(), simcam::RAW_FILLER);
    EXPECT_TRUE(recorder_.LastRaw == darker);
    EXPECT_FALSE(recorder_.LastRaw == expected_);
}

TEST_F(Pump, ReadsOfAStreamThatIsNotRunningAreRefused) {
    Start();
    EXPECT_EQ(Read().Status, STATUS_DEVICE_NOT_READY_);
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    EXPECT_EQ(cameralib::StreamStop(&device_, 0), STATUS_SUCCESS);
    EXPECT_EQ(Read().Status, STATUS_DEVICE_NOT_READY_);
    EXPECT_TRUE(recorder_.LastRaw.empty());
}

TEST_F(Pump, ACameraThatStoppedCapturingFailsTheReadInsteadOfHanging) {
    Start();
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    camera_->VendorRequest(2, 0, 11, false, nullptr);
    EXPECT_EQ(Read().Status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(camera_->Statistics().FramesSent, 0u);
}

TEST_F(Pump, RunFailuresUndoWhatWasDone) {
    Start();
    recorder_.AllocateStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(Run(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(recorder_.Calls, (std::vector<std::string>{"allocate"}));

    recorder_.Calls.clear();
    recorder_.AllocateStatus = STATUS_SUCCESS;
    recorder_.StartStatus = STATUS_IO_DEVICE_ERROR;
    EXPECT_EQ(Run(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(recorder_.Calls, (std::vector<std::string>{"allocate", "start", "free"}));
    EXPECT_EQ(Read().Status, STATUS_DEVICE_NOT_READY_);
}

TEST_F(Pump, StopReportsAFailedStopButStillFreesAndStops) {
    Start();
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    recorder_.StopStatus = STATUS_ACCESS_DENIED;
    EXPECT_EQ(cameralib::StreamStop(&device_, 0), STATUS_ACCESS_DENIED);
    EXPECT_EQ(recorder_.Calls, (std::vector<std::string>{"allocate", "start", "stop", "free"}));
    EXPECT_EQ(Read().Status, STATUS_DEVICE_NOT_READY_);
}

TEST_F(Pump, SuccessValuesOtherThanZeroFromStopAreSuccess) {
    Start();
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    recorder_.StopStatus = 1; // what a stop that saved the settings returns
    EXPECT_EQ(cameralib::StreamStop(&device_, 0), STATUS_SUCCESS);
}

// The raw frame as the driver gets it: the length it asked for, padding of the last packet included.
TEST_F(Pump, RawFramesAreOfferedAtTheLengthTheDriverAskedFor) {
    Start(1023);
    std::vector<size_t> lengths;
    cameralib::SetRawFrameObserver(
        &device_, [&](uint64_t, const uint8_t*, size_t Length) { lengths.push_back(Length); });
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    ASSERT_EQ(Read().Status, STATUS_SUCCESS);
    EXPECT_EQ(lengths, (std::vector<size_t>{5927262}));
}

// Frames the driver takes from inside its packets are assembled from exactly the bytes it names, every
// frame of the run, and the raw-frame observer sees those same bytes; a later run whose frames lie in
// the packets back to back gets the camera's frame again.
TEST_F(Pump, FramesTakenFromInsidePacketsHoldTheBytesTheDriverNamed) {
    Start();
    device_.DeviceData2 = &kOffsetRecord;
    OffsetFrom = 3000;
    DataPacketIndex = 0;
    std::vector<uint8_t> named;
    for (size_t i = 0; i < 11576; ++i) {
        const size_t skip = i >= OffsetFrom ? OffsetBytes : 0;
        named.insert(named.end(), expected_.begin() + i * 512 + skip, expected_.begin() + (i + 1) * 512);
    }
    recorder_.RawFrameLengthToGive = static_cast<ULONG>(named.size());
    std::vector<uint8_t> observed;
    cameralib::SetRawFrameObserver(&device_, [&](uint64_t, const uint8_t* Data, size_t Length) {
        observed.assign(Data, Data + Length);
    });
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    for (int i = 0; i < 2; ++i) {
        observed.clear();
        ASSERT_EQ(Read().Status, STATUS_SUCCESS);
        EXPECT_TRUE(recorder_.LastRaw == named) << "frame " << i;
        EXPECT_TRUE(observed == named) << "frame " << i;
    }
    EXPECT_EQ(Stats().FramesDropped, 0u);
    ASSERT_EQ(cameralib::StreamStop(&device_, 0), STATUS_SUCCESS);

    OffsetFrom = UINT32_MAX;
    recorder_.RawFrameLengthToGive = simcam::RAW_FRAME_SIZE;
    ASSERT_EQ(Run(), STATUS_SUCCESS);
    ASSERT_EQ(Read().Status, STATUS_SUCCESS);
    EXPECT_TRUE(recorder_.LastRaw == expected_);
    EXPECT_TRUE(observed == expected_);
}

} // namespace
