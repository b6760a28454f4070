// Capture start/stop and packet framing, driven directly with hand-built contexts.
#include "camera/capture.h"

#include "host/cameralib/library_device.h"
#include "camera/vendor_requests.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "host/simcam/simulated_camera.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace {

constexpr USHORT kFullPacket = 512;

// The set-iso-pipe-state calls the packet routine makes, in order.
std::vector<ULONG>& PipeStateCalls() {
    static std::vector<ULONG> calls;
    return calls;
}

NTSTATUS NTAPI RecordPipeState(PVOID, ULONG Flags) {
    PipeStateCalls().push_back(Flags);
    return STATUS_SUCCESS;
}

// A device context as the library holds it after configure: an interface copy with four pipes, the data
// pipe's full packet size, and (optionally) the direct-call interface.
class PacketFraming : public ::testing::Test {
  protected:
    void SetUp() override {
        PipeStateCalls().clear();
        std::memset(&ctx_, 0, sizeof(ctx_));
        interface_.resize(UsbInterfaceInformationSize(4));
        auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(interface_.data());
        info->Length = static_cast<USHORT>(interface_.size());
        info->NumberOfPipes = 4;
        info->Pipes[0].MaximumPacketSize = 64;
        info->Pipes[1].MaximumPacketSize = 64;
        info->Pipes[2].MaximumPacketSize = kFullPacket;
        info->Pipes[3].MaximumPacketSize = 64;
        ctx_.InterfaceInfo = info;
        ctx_.CamInterface.Interface.Version = USBCAMD_VERSION_200;
        ctx_.CamInterface.USBCAMD_SetIsoPipeState = RecordPipeState;
    }

    struct Result {
        ULONG Bytes;
        ULONG Flag;
        ULONG Offset;
        BOOLEAN Complete;
    };

    // One packet through the version-2 routine. The header and the data are copied into buffers of
    // exactly their size so that a read past either lands in a sanitizer's red zone.
    Result Packet(UCHAR Header, ULONG DataLength = kFullPacket, USBD_STATUS SyncStatus = USBD_STATUS_SUCCESS,
                  USBD_STATUS DataStatus = USBD_STATUS_SUCCESS) {
        std::vector<UCHAR> sync(1, Header);
        std::vector<UCHAR> data(DataLength, 0xA5);
        USBD_ISO_PACKET_DESCRIPTOR syncPacket{0, 1, SyncStatus};
        USBD_ISO_PACKET_DESCRIPTOR dataPacket{0, DataLength, DataStatus};
        Result r{0xDEAD, 0xDEAD, 0xDEAD, FALSE};
        r.Bytes =
            CamProcessUSBPacketEx(nullptr, &ctx_, nullptr, &syncPacket, sync.data(), &dataPacket,
                                  data.empty() ? nullptr : data.data(), &r.Complete, &r.Flag, &r.Offset);
        return r;
    }

    DeviceContext ctx_;
    std::vector<uint8_t> interface_;
};

constexpr ULONG kDrop = USBCAMD_PROCESSPACKETEX_DropFrame;
constexpr ULONG kStill = USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill;

struct HeaderCase {
    const char* Name;
    UCHAR Header;
    ULONG DataLength;
    USBD_STATUS SyncStatus;
    USBD_STATUS DataStatus;
    ULONG Bytes;
    ULONG Flag;
    BOOLEAN Complete;
    size_t PipeRestarts; // SetIsoPipeState pairs
};

class HeaderCases : public PacketFraming, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(HeaderCases, AnswerBytesFlagAndCompletion) {
    const HeaderCase& c = GetParam();
    ctx_.LastFrameToggle = 1; // headers other than plain data must leave it alone
    Result r = Packet(c.Header, c.DataLength, c.SyncStatus, c.DataStatus);
    EXPECT_EQ(r.Bytes, c.Bytes);
    EXPECT_EQ(r.Flag, c.Flag);
    EXPECT_EQ(r.Offset, 0u);
    EXPECT_EQ(r.Complete, c.Complete);
    std::vector<ULONG> expected;
    for (size_t i = 0; i < c.PipeRestarts; ++i) {
        expected.push_back(1); // stop the pipe
        expected.push_back(0); // start it again
    }
    EXPECT_EQ(PipeStateCalls(), expected);
    if ((c.Header & (CAM_HEADER_END_OF_FRAME | CAM_HEADER_RESTART | CAM_HEADER_NO_DATA)) &&
        c.SyncStatus >= 0) {
        EXPECT_EQ(ctx_.LastFrameToggle, 1);
    }
}

constexpr USBD_STATUS kOk = USBD_STATUS_SUCCESS;
constexpr USBD_STATUS kCrc = USBD_STATUS_CRC;

INSTANTIATE_TEST_SUITE_P(
    Capture, HeaderCases,
    ::testing::Values(
        HeaderCase{"EndOfFrameFull", 0x80, kFullPacket, kOk, kOk, kFullPacket, 0, TRUE, 0},
        HeaderCase{"EndOfFrameShort", 0x80, kFullPacket - 1, kOk, kOk, 0, kDrop, TRUE, 0},
        HeaderCase{"EndOfFrameEmpty", 0x80, 0, kOk, kOk, 0, kDrop, TRUE, 0},
        HeaderCase{"EndOfFrameWinsOverRestart", 0x82, kFullPacket, kOk, kOk, kFullPacket, 0, TRUE, 0},
        HeaderCase{"EndOfFrameWithToggle", 0xC0, kFullPacket, kOk, kOk, kFullPacket, 0, TRUE, 0},
        HeaderCase{"Restart", 0x02, kFullPacket, kOk, kOk, 0, 0, FALSE, 1},
        HeaderCase{"RestartWinsOverNoData", 0x03, kFullPacket, kOk, kOk, 0, 0, FALSE, 1},
        HeaderCase{"RestartWithFailedData", 0x02, kFullPacket, kOk, kCrc, 0, kDrop, FALSE, 1},
        HeaderCase{"NoData", 0x01, kFullPacket, kOk, kOk, 0, 0, FALSE, 0},
        HeaderCase{"NoDataShortIsNoDrop", 0x01, 3, kOk, kOk, 0, 0, FALSE, 0},
        HeaderCase{"UninterpretedBitsAreData", 0x3C, kFullPacket, kOk, kOk, kFullPacket, 0, FALSE, 0},
        HeaderCase{"DataShort", 0x00, kFullPacket - 1, kOk, kOk, 0, kDrop, FALSE, 0},
        HeaderCase{"DataTooLong", 0x00, kFullPacket + 1, kOk, kOk, 0, kDrop, FALSE, 0},
        HeaderCase{"DataFailed", 0x00, kFullPacket, kOk, kCrc, kFullPacket, kDrop, FALSE, 0},
        HeaderCase{"EndOfFrameDataFailed", 0x80, kFullPacket, kOk, kCrc, kFullPacket, kDrop, TRUE, 0},
        // A failed sync packet's header reads as 0: no end of frame, no restart, just a dropped frame.
        HeaderCase{"FailedSyncHidesEndOfFrame", 0x80, kFullPacket, kCrc, kOk, kFullPacket, kDrop, FALSE, 0},
        HeaderCase{"FailedSyncHidesRestart", 0x02, kFullPacket, kCrc, kOk, kFullPacket, kDrop, FALSE, 0}),
    [](const ::testing::TestParamInfo<HeaderCase>& info) { return std::string(info.param.Name); });

TEST_F(PacketFraming, ToggleRisingEdgeMarksStill) {
    const UCHAR headers[] = {0x00, 0x40, 0x40, 0x00, 0x40};
    const ULONG flags[] = {0, kStill, 0, 0, kStill};
    for (size_t i = 0; i < 5; ++i) {
        Result r = Packet(headers[i]);
        EXPECT_EQ(r.Flag, flags[i]) << "packet " << i;
        EXPECT_EQ(r.Bytes, kFullPacket) << "packet " << i;
        EXPECT_EQ(ctx_.LastFrameToggle, headers[i] ? 1 : 0) << "packet " << i;
    }
}

TEST_F(PacketFraming, FailedSyncClearsToggleSoNextToggleIsStillAgain) {
    Packet(0x40);
    Result failed = Packet(0x40, kFullPacket, USBD_STATUS_CRC);
    EXPECT_EQ(failed.Flag, kDrop);
    EXPECT_EQ(ctx_.LastFrameToggle, 0);
    EXPECT_EQ(Packet(0x40).Flag, kStill);
}

TEST_F(PacketFraming, ShortStillPacketIsBothStillAndDropped) {
    Result r = Packet(0x40, 10);
    EXPECT_EQ(r.Flag, kStill | kDrop);
    EXPECT_EQ(r.Bytes, 0u);
}

TEST_F(PacketFraming, FrameCompleteIsNeverClearedByTheRoutine) {
    std::vector<UCHAR> sync(1, 0x00);
    USBD_ISO_PACKET_DESCRIPTOR syncPacket{0, 1, kOk};
    USBD_ISO_PACKET_DESCRIPTOR dataPacket{0, kFullPacket, kOk};
    BOOLEAN complete = TRUE;
    ULONG flag = 0, offset = 0;
    CamProcessUSBPacketEx(nullptr, &ctx_, nullptr, &syncPacket, sync.data(), &dataPacket, nullptr, &complete,
                          &flag, &offset);
    EXPECT_EQ(complete, TRUE);
}

TEST_F(PacketFraming, RestartWithoutDirectCallInterfaceDoesNothing) {
    std::memset(&ctx_.CamInterface, 0, sizeof(ctx_.CamInterface));
    Result r = Packet(0x02);
    EXPECT_EQ(r.Bytes, 0u);
    EXPECT_EQ(r.Flag, 0u);
    EXPECT_TRUE(PipeStateCalls().empty());
}

// Without an interface copy there is no full-packet size to compare with: nothing is taken as image
// data and every data position drops the frame, instead of dereferencing the missing copy.
TEST_F(PacketFraming, WithoutInterfaceCopyEveryDataPacketDrops) {
    ctx_.InterfaceInfo = nullptr;
    Result data = Packet(0x00);
    EXPECT_EQ(data.Bytes, 0u);
    EXPECT_EQ(data.Flag, kDrop);
    Result end = Packet(0x80);
    EXPECT_EQ(end.Bytes, 0u);
    EXPECT_EQ(end.Flag, kDrop);
    EXPECT_EQ(end.Complete, TRUE);
    EXPECT_EQ(Packet(0x01).Flag, 0u);
}

TEST_F(PacketFraming, InterfaceCopyWithoutDataPipeEveryDataPacketDrops) {
    ctx_.InterfaceInfo->NumberOfPipes = 2;
    Result r = Packet(0x00);
    EXPECT_EQ(r.Bytes, 0u);
    EXPECT_EQ(r.Flag, kDrop);
}

TEST_F(PacketFraming, VersionOneAdapterGivesTheSameBytesAndNoStill) {
    std::vector<UCHAR> sync(1, 0x40);
    USBD_ISO_PACKET_DESCRIPTOR syncPacket{0, 1, kOk};
    USBD_ISO_PACKET_DESCRIPTOR dataPacket{0, kFullPacket, kOk};
    BOOLEAN complete = FALSE;
    BOOLEAN still = TRUE;
    ULONG bytes = CamProcessUSBPacket(nullptr, &ctx_, nullptr, &syncPacket, sync.data(), &dataPacket, nullptr,
                                      &complete, &still);
    EXPECT_EQ(bytes, kFullPacket);
    EXPECT_EQ(still, FALSE);
    EXPECT_EQ(complete, FALSE);
    EXPECT_EQ(ctx_.LastFrameToggle, 1);

    sync[0] = 0x80;
    dataPacket.Length = 7;
    bytes = CamProcessUSBPacket(nullptr, &ctx_, nullptr, &syncPacket, sync.data(), &dataPacket, nullptr,
                                &complete, &still);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(complete, TRUE);
}

// ---- start and stop -----------------------------------------------------------------------------------

NTSTATUS AnswerNothing(PDEVICE_OBJECT, PIRP) {
    return STATUS_NOT_SUPPORTED;
}

class CaptureControl : public ::testing::Test {
  protected:
    void SetUp() override {
        host::ResetKernel();
        host::ClearAllFaults();
        host::ClockSetMode(host::ClockMode::Virtual);
        std::memset(&ctx_, 0, sizeof(ctx_));
        pdo_ = host::CreateDeviceObject(AnswerNothing);
        host::RegistrySetDevicePdo(pdo_);
        ctx_.PhysicalDeviceObject = pdo_;
        ctx_.ColorEnable = TRUE;
        ctx_.ExposureTime = 750;
        ctx_.VerticalFlip = TRUE;
        device_.DeviceContext = &ctx_;
        device_.Port = bus_.Plug(&camera_);
        cameralib::AttachDevice(&device_);
    }
    void TearDown() override {
        cameralib::DetachDevice(&device_);
        host::ClearAllFaults();
        host::ResetDevices();
    }

    struct Sent {
        uint8_t Request;
        uint16_t Value;
        uint16_t Index;
        bool operator==(const Sent& o) const {
            return Request == o.Request && Value == o.Value && Index == o.Index;
        }
        friend std::ostream& operator<<(std::ostream& os, const Sent& s) {
            return os << "{request " << int(s.Request) << ", value " << s.Value << ", index " << s.Index
                      << "}";
        }
    };
    std::vector<Sent> Requests() const {
        std::vector<Sent> out;
        for (const auto& r : camera_.Requests())
            out.push_back({r.Request, r.Value, r.Index});
        return out;
    }
    std::string SettingsKey() const { return host::DriverKeyPath() + "\\Z40K_Settings"; }

    DeviceContext ctx_;
    PDEVICE_OBJECT pdo_ = nullptr;
    bus::Bus bus_; // outlives the camera, which leaves it as it goes
    simcam::SimulatedCamera camera_;
    cameralib::LibraryDevice device_;
};

TEST_F(CaptureControl, StartSendsSetupWithZeroThenCaptureOn) {
    EXPECT_EQ(CamStartCapture(nullptr, &ctx_), STATUS_SUCCESS);
    std::vector<Sent> expected = {{CamRequestSetControl, 0, CamControlCaptureSetup},
                                  {CamRequestSetControl, 1, CamControlCapture}};
    EXPECT_EQ(Requests(), expected);
    EXPECT_TRUE(camera_.CaptureOn());
}

TEST_F(CaptureControl, StartStopsAtAFailingSetup) {
    host::InjectFault("vendor:2", {1, 1, STATUS_IO_DEVICE_ERROR});
    EXPECT_EQ(CamStartCapture(nullptr, &ctx_), STATUS_IO_DEVICE_ERROR);
    ASSERT_EQ(camera_.Requests().size(), 1u);
    EXPECT_EQ(camera_.Requests()[0].Index, CamControlCaptureSetup);
    EXPECT_FALSE(camera_.CaptureOn());
}

TEST_F(CaptureControl, StartReturnsAFailingCaptureOn) {
    host::InjectFault("vendor:2", {2, 1, STATUS_IO_DEVICE_ERROR});
    EXPECT_EQ(CamStartCapture(nullptr, &ctx_), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(camera_.Requests().size(), 2u);
}

TEST_F(CaptureControl, StopSendsCaptureOffThenSavesTheSettings) {
    ctx_.AutoWhiteBalance = TRUE;
    ctx_.GlobalGain = 300;
    NTSTATUS status = CamStopCapture(nullptr, &ctx_);
    EXPECT_TRUE(NT_SUCCESS(status));
    std::vector<Sent> expected = {{CamRequestSetControl, 0, CamControlCapture}};
    EXPECT_EQ(Requests(), expected);
    host::RegistryValue v;
    ASSERT_TRUE(host::RegistryGetValue(SettingsKey(), "Auto White Balance", &v));
    EXPECT_EQ(v.Data, (std::vector<uint8_t>{1, 0, 0, 0}));
    ASSERT_TRUE(host::RegistryGetValue(SettingsKey(), "Global Gain", &v));
    EXPECT_EQ(v.Data, (std::vector<uint8_t>{0x2C, 0x01, 0, 0}));
    EXPECT_EQ(host::RegistryValues(SettingsKey()).size(), 6u);
}

TEST_F(CaptureControl, FailedCaptureOffSavesNothing) {
    host::InjectFault("vendor:2", {1, 1, STATUS_IO_DEVICE_ERROR});
    EXPECT_EQ(CamStopCapture(nullptr, &ctx_), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(camera_.Requests().size(), 1u);
    EXPECT_FALSE(host::RegistryKeyExists(SettingsKey()));
}

TEST_F(CaptureControl, FailedSaveIsReturnedAfterTheCameraStopped) {
    EXPECT_EQ(CamStartCapture(nullptr, &ctx_), STATUS_SUCCESS);
    host::InjectFault("IoOpenDeviceRegistryKey", {1, 1, STATUS_OBJECT_NAME_NOT_FOUND});
    EXPECT_EQ(CamStopCapture(nullptr, &ctx_), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(camera_.CaptureOn());
    EXPECT_FALSE(host::RegistryKeyExists(SettingsKey()));

    host::InjectFault("ZwCreateKey", {1, 1, STATUS_ACCESS_DENIED});
    EXPECT_EQ(CamStopCapture(nullptr, &ctx_), STATUS_ACCESS_DENIED);
    EXPECT_EQ(host::RegistryOpenHandles(), 0u);
}

} // namespace
