// Configure, the ready poll and uninitialise, seen from the camera and the pool.
#include "camera/usb_configuration.h"

#include "camera/vendor_requests.h"
#include "tests/camera/camera_rig.h"

#include <cstring>
#include <ostream>
#include <string>

namespace {

constexpr int64_t kOneSecond = 10000000; // 100-ns units

struct ReadyCase {
    const char* Name;
    std::vector<uint16_t> Replies; // status words before the firmware reads 3
    bool NeverReady;
    NTSTATUS Result;
    unsigned Reads;
    bool StartupSent;
};

void PrintTo(const ReadyCase& c, std::ostream* os) {
    *os << c.Name;
}

class ReadyPoll : public ::testing::TestWithParam<ReadyCase> {};

// What the camera sees during initialise and when: one read a second, the start-up command once it
// reads 3 or more, and nothing after the tenth read, whose reply is not looked at.
TEST_P(ReadyPoll, ReadsOnceASecondAndStartsTheCameraOnceReady) {
    const ReadyCase& c = GetParam();
    simcam::CameraConfig config;
    config.StatusReplies = c.Replies;
    config.NeverReady = c.NeverReady;
    CameraRig rig(config);
    ASSERT_EQ(CamConfigure(nullptr, rig.Context(), rig.Interface(), nullptr, nullptr, nullptr),
              STATUS_SUCCESS);

    int64_t start = host::ClockNowMicroseconds();
    EXPECT_EQ(CamInitialize(nullptr, rig.Context()), c.Result);

    std::vector<uint8_t> expected(c.Reads, CamRequestGetStatus);
    if (c.StartupSent)
        expected.push_back(CamRequestSetControl);
    EXPECT_EQ(rig.RequestCodes(), expected);
    EXPECT_EQ(rig.Camera.Started(), c.StartupSent);
    if (c.StartupSent) {
        EXPECT_EQ(rig.Camera.Requests().back().Index, CamControlStartup);
        EXPECT_EQ(rig.Camera.Requests().back().Value, 0);
    }

    // Each read follows a one-second relative, kernel-mode, non-alertable wait.
    const std::vector<host::WaitRecord>& waits = host::ClockWaits();
    ASSERT_EQ(waits.size(), c.Reads);
    for (unsigned i = 0; i < waits.size(); ++i) {
        EXPECT_EQ(waits[i].Interval100ns, -kOneSecond);
        EXPECT_EQ(waits[i].Mode, KernelMode);
        EXPECT_FALSE(waits[i].Alertable);
    }
    ASSERT_FALSE(rig.Device.VendorTrace.empty());
    EXPECT_EQ(rig.Device.VendorTrace.front().TimeUs - start, 1000000);
    EXPECT_EQ(rig.Device.VendorTrace.back().TimeUs - start, 1000000 * int64_t(c.Reads));

    // A camera that did not come up leaves no interface copy behind.
    EXPECT_EQ(rig.Context()->InterfaceInfo != nullptr, c.Result == STATUS_SUCCESS);
    EXPECT_EQ(rig.Outstanding().size(), c.Result == STATUS_SUCCESS ? 1u : 0u);
}

const std::vector<uint16_t> kTwos8(8, 2);
const std::vector<uint16_t> kTwos9(9, 2);

INSTANTIATE_TEST_SUITE_P(
    Camera, ReadyPoll,
    ::testing::Values(ReadyCase{"ReadyAtFirstRead", {}, false, STATUS_SUCCESS, 1, true},
                      ReadyCase{"ThreeCountsTwoDoesNot", {0, 1, 2}, false, STATUS_SUCCESS, 4, true},
                      ReadyCase{"AboveThreeCounts", {0xFFFF}, false, STATUS_SUCCESS, 1, true},
                      ReadyCase{"ReadyAtNinthRead", kTwos8, false, STATUS_SUCCESS, 9, true},
                      ReadyCase{"ReadyAtTenthReadIsTooLate", kTwos9, false, STATUS_UNSUCCESSFUL, 10, false},
                      ReadyCase{"NeverReady", {}, true, STATUS_UNSUCCESSFUL, 10, false}),
    [](const ::testing::TestParamInfo<ReadyCase>& info) { return std::string(info.param.Name); });

// A failing read ends the poll at once with its status; a failing start-up command is the result too.
// Either way the interface copy is released.
TEST(Initialize, FailingRequestEndsBringUpAndReleasesTheCopy) {
    const NTSTATUS kError = STATUS_IO_DEVICE_ERROR;
    for (uint8_t failing : {CamRequestGetStatus, CamRequestSetControl}) {
        SCOPED_TRACE(int(failing));
        CameraRig rig;
        ASSERT_EQ(CamConfigure(nullptr, rig.Context(), rig.Interface(), nullptr, nullptr, nullptr),
                  STATUS_SUCCESS);
        host::InjectFault("vendor:" + std::to_string(failing), {1, 0, kError});

        EXPECT_EQ(CamInitialize(nullptr, rig.Context()), kError);
        std::vector<uint8_t> expected = {CamRequestGetStatus};
        if (failing == CamRequestSetControl)
            expected.push_back(CamRequestSetControl);
        EXPECT_EQ(rig.RequestCodes(), expected);
        EXPECT_EQ(host::ClockWaits().size(), 1u);
        EXPECT_EQ(rig.Context()->InterfaceInfo, nullptr);
        EXPECT_TRUE(rig.Outstanding().empty());
    }
}

// Configure shapes the library's record in place and keeps a copy of exactly its bytes.
TEST(Configure, SetsTransferSizesInTheLibraryRecordAndTheCopy) {
    CameraRig rig;
    LONG dataPipe = -1, syncPipe = -1;
    ASSERT_EQ(CamConfigure(nullptr, rig.Context(), rig.Interface(), nullptr, &dataPipe, &syncPipe),
              STATUS_SUCCESS);
    EXPECT_EQ(dataPipe, 2);
    EXPECT_EQ(syncPipe, 0);

    PUSBD_INTERFACE_INFORMATION copy = rig.Context()->InterfaceInfo;
    ASSERT_NE(copy, nullptr);
    ASSERT_EQ(std::memcmp(copy, rig.Interface(), rig.Device.InterfaceInfo.size()), 0);
    const ULONG expected[] = {64, 64, 3145728, 4096}; // pipe 3 keeps the library's size
    for (ULONG pipe = 0; pipe < 4; ++pipe)
        EXPECT_EQ(copy->Pipes[pipe].MaximumTransferSize, expected[pipe]) << "pipe " << pipe;

    std::vector<host::PoolBlockInfo> blocks = rig.Outstanding();
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].Type, NonPagedPool);
    EXPECT_EQ(blocks[0].Tag, DRIVER_POOL_TAG);
    EXPECT_EQ(blocks[0].Size, rig.Device.InterfaceInfo.size());
}

// A second configure with an interface used to store its copy over the first one, which leaked.
TEST(Configure, ReplacingTheInterfaceReleasesTheHeldCopy) {
    CameraRig rig;
    ASSERT_EQ(CamConfigure(nullptr, rig.Context(), rig.Interface(), nullptr, nullptr, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(CamConfigure(nullptr, rig.Context(), rig.Interface(), nullptr, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(rig.Outstanding().size(), 1u);

    EXPECT_EQ(CamUnInitialize(nullptr, rig.Context()), STATUS_SUCCESS);
    EXPECT_EQ(rig.Context()->InterfaceInfo, nullptr);
    EXPECT_TRUE(rig.Outstanding().empty());
    EXPECT_EQ(CamUnInitialize(nullptr, rig.Context()), STATUS_SUCCESS);
}

TEST(ConfigureEx, WithoutAnInterfaceReleasesTheCopyAndTouchesNothingElse) {
    CameraRig rig;
    USBCAMD_Pipe_Config_Descriptor list[4];
    ASSERT_EQ(CamConfigure(nullptr, rig.Context(), rig.Interface(), nullptr, nullptr, nullptr),
              STATUS_SUCCESS);
    std::memset(list, 0x5A, sizeof(list));

    EXPECT_EQ(CamConfigureEx(nullptr, rig.Context(), nullptr, nullptr, 4, list, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(rig.Context()->InterfaceInfo, nullptr);
    EXPECT_TRUE(rig.Outstanding().empty());
    EXPECT_EQ(rig.Context()->NumberOfStreams, 0u);
    for (const auto& entry : list)
        EXPECT_EQ(entry.PipeConfigFlags, 0x5A);
}

// Without pool the copy cannot be taken: the library's record stays as it was, but it still learns the
// pipe roles and the stream count.
TEST(ConfigureEx, PoolExhaustionLeavesNoCopyButStillDescribesThePipes) {
    CameraRig rig;
    std::vector<uint8_t> before = rig.Device.InterfaceInfo;
    USBCAMD_Pipe_Config_Descriptor list[4] = {};
    host::InjectFault("ExAllocatePoolWithTag", {1, 1, STATUS_INSUFFICIENT_RESOURCES});

    EXPECT_EQ(CamConfigureEx(nullptr, rig.Context(), rig.Interface(), nullptr, 4, list, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(rig.Context()->InterfaceInfo, nullptr);
    EXPECT_EQ(rig.Device.InterfaceInfo, before);
    EXPECT_EQ(rig.Context()->NumberOfStreams, 1u);
    EXPECT_EQ(list[2].StreamAssociation, USBCAMD_VIDEO_STILL_STREAM);
}

class PipeList : public ::testing::TestWithParam<ULONG> {};

// The list gets our roles for the pipes we know and "no role" for any beyond them; entries past the
// size the library gave are never written.
TEST_P(PipeList, FillsExactlyTheEntriesAskedFor) {
    const ULONG size = GetParam();
    const USBCAMD_Pipe_Config_Descriptor roles[] = {{0, USBCAMD_SYNC_PIPE},
                                                    {0, USBCAMD_SYNC_PIPE},
                                                    {USBCAMD_VIDEO_STILL_STREAM, USBCAMD_MULTIPLEX_PIPE},
                                                    {0, 0}};
    CameraRig rig;
    std::vector<USBCAMD_Pipe_Config_Descriptor> list(8, USBCAMD_Pipe_Config_Descriptor{0x55, 0x55});

    ASSERT_EQ(CamConfigureEx(nullptr, rig.Context(), rig.Interface(), nullptr, size, list.data(), nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(rig.Context()->NumberOfStreams, 1u);
    for (ULONG i = 0; i < list.size(); ++i) {
        USBCAMD_Pipe_Config_Descriptor want = i >= size ? USBCAMD_Pipe_Config_Descriptor{0x55, 0x55}
                                              : i < 4   ? roles[i]
                                                        : USBCAMD_Pipe_Config_Descriptor{0, 0};
        EXPECT_EQ(list[i].StreamAssociation, want.StreamAssociation) << "entry " << i;
        EXPECT_EQ(list[i].PipeConfigFlags, want.PipeConfigFlags) << "entry " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, PipeList, ::testing::Values(0u, 3u, 4u, 6u));

// An interface too small for the three pipes we configure is refused before anything is written to it
// or read from it. Each record sits in a buffer of exactly its Length, so a stray access is an overrun.
TEST(Configure, RefusesInterfacesWithoutThreePipes) {
    struct Shape {
        ULONG Pipes;       // NumberOfPipes claimed
        ULONG PipesInside; // pipes the Length covers
    };
    for (Shape shape : {Shape{2, 2}, Shape{0, 0}, Shape{4, 3}, Shape{3, 2}, Shape{2, 4}}) {
        SCOPED_TRACE(testing::Message() << shape.Pipes << " pipes in " << shape.PipesInside);
        CameraRig rig;
        ASSERT_EQ(CamConfigure(nullptr, rig.Context(), rig.Interface(), nullptr, nullptr, nullptr),
                  STATUS_SUCCESS);
        std::vector<uint8_t> record(rig.Device.InterfaceInfo.begin(),
                                    rig.Device.InterfaceInfo.begin() +
                                        UsbInterfaceInformationSize(shape.PipesInside));
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record.data());
        info->Length = static_cast<USHORT>(record.size());
        info->NumberOfPipes = shape.Pipes;
        std::vector<uint8_t> before = record;
        LONG dataPipe = -1;

        EXPECT_EQ(CamConfigureEx(nullptr, rig.Context(), info, nullptr, 0, nullptr, nullptr),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(CamConfigure(nullptr, rig.Context(), info, nullptr, &dataPipe, nullptr),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(record, before);
        EXPECT_EQ(dataPipe, 2);
        EXPECT_EQ(rig.Context()->InterfaceInfo, nullptr);
        EXPECT_TRUE(rig.Outstanding().empty());
    }
}

// Three pipes, in a record of exactly their size, are all the camera's configuration needs.
TEST(Configure, TakesAnInterfaceOfExactlyThreePipes) {
    CameraRig rig;
    std::vector<uint8_t> record(rig.Device.InterfaceInfo.begin(),
                                rig.Device.InterfaceInfo.begin() + UsbInterfaceInformationSize(3));
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record.data());
    info->Length = static_cast<USHORT>(record.size());
    info->NumberOfPipes = 3;
    LONG dataPipe = -1;
    EXPECT_EQ(CamConfigure(nullptr, rig.Context(), info, nullptr, &dataPipe, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(dataPipe, 2);
    ASSERT_NE(rig.Context()->InterfaceInfo, nullptr);
    EXPECT_EQ(rig.Context()->InterfaceInfo->NumberOfPipes, 3u);
}

} // namespace
