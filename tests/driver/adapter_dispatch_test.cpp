// The adapter request routine on the whole stack: who completes each command, stream information,
// the interface query, initialise-device and stream open as the camera sees them.
#include "driver/adapter_routines.h"
#include "driver/callback_records.h"
#include "properties/device_properties.h"
#include "tests/driver/stack_rig.h"

#include <algorithm>

namespace {

bool HandedOver(cameralib::LibraryDevice* Device, ULONG Command) {
    const std::vector<ULONG>& commands = Device->HandedOverCommands;
    return std::find(commands.begin(), commands.end(), Command) != commands.end();
}

} // namespace

// ---- who completes what ---------------------------------------------------------------------------------

struct DispatchCase {
    ULONG Command;
    streamclass::Completer CompletedBy;
    NTSTATUS Status;
};

class DispatchTable : public StackTest, public ::testing::WithParamInterface<DispatchCase> {};

TEST_P(DispatchTable, EachCommandIsCompletedOnceByItsOwner) {
    OpenFilter();
    const DispatchCase c = GetParam();
    const size_t handedBefore = Library()->HandedOverCommands.size();
    DEVICE_POWER_STATE power = PowerDeviceD3;
    PVOID commandData =
        c.Command == SRB_CHANGE_POWER_STATE ? reinterpret_cast<PVOID>(uintptr_t(power)) : nullptr;
    EXPECT_EQ(Filter.SendAdapterSrb(c.Command, commandData), c.Status);
    streamclass::SrbEvent last = LastCompletion();
    EXPECT_EQ(last.Command, c.Command);
    EXPECT_EQ(last.CompletedBy, c.CompletedBy);
    // Whatever the library completes it was handed; what the driver completes it never saw.
    const bool handed = Library()->HandedOverCommands.size() > handedBefore;
    EXPECT_EQ(handed, c.CompletedBy == streamclass::Completer::Library);
    if (handed) {
        EXPECT_EQ(Library()->HandedOverCommands.back(), c.Command);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Dispatch, DispatchTable,
    ::testing::Values(
        DispatchCase{SRB_INITIALIZATION_COMPLETE, streamclass::Completer::Driver, STATUS_SUCCESS},
        DispatchCase{SRB_CHANGE_POWER_STATE, streamclass::Completer::Library, STATUS_SUCCESS},
        DispatchCase{SRB_OPEN_DEVICE_INSTANCE, streamclass::Completer::Library, STATUS_SUCCESS},
        DispatchCase{SRB_CLOSE_DEVICE_INSTANCE, streamclass::Completer::Library, STATUS_SUCCESS},
        DispatchCase{SRB_PAGING_OUT_DRIVER, streamclass::Completer::Library, STATUS_SUCCESS},
        DispatchCase{SRB_UNKNOWN_DEVICE_COMMAND, streamclass::Completer::Library, STATUS_NOT_IMPLEMENTED},
        DispatchCase{0x1FF, streamclass::Completer::Library, STATUS_NOT_IMPLEMENTED}));

TEST_F(StackTest, IntersectionAndPropertiesAreCompletedByTheDriverAlone) {
    OpenFilter();
    std::vector<uint8_t> format;
    ASSERT_EQ(Filter.Intersect(STREAM_CAPTURE, &VideoCaptureRange.DataRange, &format), STATUS_SUCCESS);
    EXPECT_EQ(LastCompletion().CompletedBy, streamclass::Completer::Driver);
    EXPECT_EQ(format.size(), 152u);

    // Exposure through the camera property set: a set and a get, both answered by the driver.
    CameraPropertyRecord record;
    std::memset(&record, 0, sizeof record);
    record.Property.Set = CameraPropertySetGuid;
    record.Property.Id = 7;
    record.Value = 300;
    CameraPropertyRecord data = record;
    ULONG returned = 0;
    Filter.DeviceProperty(true, &record, sizeof record, &data, sizeof data, &returned);
    EXPECT_EQ(LastCompletion().Command, static_cast<ULONG>(SRB_SET_DEVICE_PROPERTY));
    EXPECT_EQ(LastCompletion().CompletedBy, streamclass::Completer::Driver);
    Filter.DeviceProperty(false, &record, sizeof record, &data, sizeof data, &returned);
    EXPECT_EQ(LastCompletion().Command, static_cast<ULONG>(SRB_GET_DEVICE_PROPERTY));
    EXPECT_EQ(LastCompletion().CompletedBy, streamclass::Completer::Driver);
    for (ULONG command : {SRB_GET_DATA_INTERSECTION, SRB_GET_DEVICE_PROPERTY, SRB_SET_DEVICE_PROPERTY,
                          SRB_INITIALIZATION_COMPLETE})
        EXPECT_FALSE(HandedOver(Library(), command)) << command;
}

TEST_F(StackTest, PowerStateReachesTheLibraryUnchanged) {
    OpenFilter();
    streamclass::Srb srb(SRB_CHANGE_POWER_STATE, Filter.DeviceExtension());
    srb->CommandData.DeviceState = PowerDeviceD3;
    PHW_RECEIVE_DEVICE_SRB routine = AdapterReceivePacket;
    EXPECT_EQ(streamclass::DeliverAdapterSrb(routine, srb), STATUS_SUCCESS);
    EXPECT_EQ(srb->Command, SRB_CHANGE_POWER_STATE);
    EXPECT_EQ(srb->CommandData.DeviceState, PowerDeviceD3);
    EXPECT_EQ(srb.CompletedBy(), streamclass::Completer::Library);
}

// ---- stream information -----------------------------------------------------------------------------------

class StreamInformation : public StackTest, public ::testing::WithParamInterface<ULONG> {};

TEST_P(StreamInformation, ReportsTheFirstNumberOfStreamsEntries) {
    BringUp();
    ASSERT_EQ(Filter.CompleteInitialization(), STATUS_SUCCESS);
    const ULONG streams = GetParam();
    Context()->NumberOfStreams = streams;
    ASSERT_EQ(Filter.ReadStreamInfo(), STATUS_SUCCESS);
    EXPECT_EQ(LastCompletion().CompletedBy, streamclass::Completer::Library);
    const ULONG reported = std::min<ULONG>(streams, STREAM_TABLE_ENTRIES);
    EXPECT_EQ(Filter.StreamHeader().NumberOfStreams, reported);
    EXPECT_EQ(Filter.StreamHeader().NumDevPropArrayEntries, 1u);
    EXPECT_EQ(Filter.StreamHeader().DevicePropertiesArray, DevicePropertySets);
    const HW_STREAM_INFORMATION* entries =
        &reinterpret_cast<const HW_STREAM_DESCRIPTOR*>(Filter.DescriptorBuffer().data())->StreamInfo;
    for (ULONG i = 0; i < STREAM_TABLE_ENTRIES; ++i) {
        if (i < reported) {
            EXPECT_EQ(std::memcmp(&entries[i], &StreamInfoTable[i], sizeof entries[i]), 0) << i;
        } else {
            EXPECT_EQ(entries[i].StreamFormatsArray, nullptr) << "entry " << i << " written";
        }
    }
    if (reported >= 1) {
        EXPECT_TRUE(IsEqualGUID(*entries[0].Category, PINNAME_VIDEO_CAPTURE));
        ASSERT_EQ(Filter.Ranges(0).size(), 1u);
        EXPECT_EQ(Filter.Ranges(0)[0], &VideoCaptureRange);
    }
    if (reported == 2) {
        EXPECT_TRUE(IsEqualGUID(*entries[1].Name, PINNAME_VIDEO_STILL));
    }
}

// 5 is more than the table holds: only the two real entries are reported, nothing past the buffer.
INSTANTIATE_TEST_SUITE_P(Dispatch, StreamInformation, ::testing::Values(0u, 1u, 2u, 5u));

TEST_F(StackTest, ConfigurationReportsTheCaptureStreamAlone) {
    OpenFilter();
    EXPECT_EQ(Filter.StreamCount(), 1u);
    EXPECT_EQ(Filter.StreamInfo(0).DataFlow, KSPIN_DATAFLOW_OUT);
}

// ---- initialise-device -----------------------------------------------------------------------------------

TEST_F(StackTest, InitialiseRecordsDevicesRegistersTheRecordAndForcesTheFlip) {
    host::RegistrySetDword(host::DriverKeyPath() + "\\Z40K_Settings", "Vertical Flip", 0);
    host::RegistrySetDword(host::DriverKeyPath() + "\\Z40K_Settings", "Exposure Time", 1000);
    BringUp();
    EXPECT_EQ(Context()->ClassDeviceObject, Filter.ClassDeviceObject());
    EXPECT_EQ(Context()->PhysicalDeviceObject, Filter.PhysicalDeviceObject());
    EXPECT_EQ(Library()->DeviceData2, &CamDeviceData2);
    EXPECT_EQ(Library()->InterfaceVersion, 0x200u);
    EXPECT_EQ(Library()->ControlFlags, 12u);
    EXPECT_EQ(Context()->VerticalFlip, 1);
    EXPECT_EQ(Context()->ExposureTime, 1000); // the stored settings were loaded after the library's part
    EXPECT_EQ(Context()->NumberOfStreams, 1u);
}

TEST(AdapterInitialise, PrefersTheRealPhysicalDeviceObject) {
    // A port configuration whose RealPhysicalDeviceObject is null: the PDO stands in.
    host::ResetKernel();
    streamclass::ClearViolations();
    alignas(8) uint8_t extension[DEVICE_CONTEXT_EXTENSION_SIZE] = {};
    DEVICE_OBJECT pdo{}, classObject{};
    PORT_CONFIGURATION_INFORMATION config{};
    config.ClassDeviceObject = &classObject;
    config.PhysicalDeviceObject = &pdo;
    streamclass::Srb srb(SRB_INITIALIZE_DEVICE, extension);
    srb->CommandData.ConfigInfo = &config;
    streamclass::DeliverAdapterSrb(AdapterReceivePacket, srb);
    // No camera behind the PDO: the library fails the SRB, but the devices are recorded all the same.
    PDeviceContext context = reinterpret_cast<PDeviceContext>(extension);
    EXPECT_EQ(context->PhysicalDeviceObject, &pdo);
    EXPECT_EQ(context->ClassDeviceObject, &classObject);
    EXPECT_EQ(context->VerticalFlip, 1);
    EXPECT_EQ(srb.Completions(), 1);
    EXPECT_EQ(srb.CompletedBy(), streamclass::Completer::Library);
    if (cameralib::LibraryDevice* device = cameralib::DeviceFromContext(extension)) {
        cameralib::DetachDevice(device);
        delete device;
    }
    EXPECT_TRUE(streamclass::Violations().empty());
}

// ---- initialisation-complete: the direct-call interface --------------------------------------------------

struct QueryCase {
    cameralib::InterfaceQueryAnswer Answer;
    bool Present;
};

class InterfaceQuery : public StackTest, public ::testing::WithParamInterface<QueryCase> {};

TEST_P(InterfaceQuery, KeepsTheInterfaceOnlyWithABulkEntryPoint) {
    BringUp();
    Library()->QueryAnswer = GetParam().Answer;
    // Bytes other than the Version word stay as they were when the interface is absent.
    Context()->CamInterface.Interface.Size = 0x1234;
    Context()->CamInterface.Interface.Version = 0x5678;
    EXPECT_EQ(Filter.CompleteInitialization(), STATUS_SUCCESS);
    EXPECT_EQ(LastCompletion().CompletedBy, streamclass::Completer::Driver);
    EXPECT_EQ(Library()->InterfaceQueries, 1u);
    const USBCAMD_INTERFACE& copy = Context()->CamInterface;
    if (GetParam().Present) {
        EXPECT_EQ(copy.Interface.Version, USBCAMD_VERSION_200);
        EXPECT_EQ(copy.Interface.Size, sizeof(USBCAMD_INTERFACE));
        EXPECT_NE(copy.USBCAMD_SetVideoFormat, nullptr);
        EXPECT_NE(copy.USBCAMD_SetIsoPipeState, nullptr);
    } else {
        EXPECT_EQ(copy.Interface.Version, 0);
        EXPECT_EQ(copy.Interface.Size, 0x1234);
    }
    EXPECT_EQ(host::IrpOutstanding(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Dispatch, InterfaceQuery,
                         ::testing::Values(QueryCase{cameralib::InterfaceQueryAnswer::Answer, true},
                                           QueryCase{cameralib::InterfaceQueryAnswer::Pend, true},
                                           QueryCase{cameralib::InterfaceQueryAnswer::Refuse, false},
                                           QueryCase{cameralib::InterfaceQueryAnswer::Fail, false},
                                           QueryCase{cameralib::InterfaceQueryAnswer::NoBulkReadWrite,
                                                     false}));

TEST_F(StackTest, InitialisationCompleteWithoutPoolLeavesTheInterfaceAlone) {
    BringUp();
    Context()->CamInterface.Interface.Version = 0x5678;
    host::InjectFault("ExAllocatePoolWithTag", {1, 1, STATUS_INSUFFICIENT_RESOURCES});
    EXPECT_EQ(Filter.CompleteInitialization(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Context()->CamInterface.Interface.Version, 0x5678);
    EXPECT_EQ(Library()->InterfaceQueries, 0u);
}

TEST_F(StackTest, InitialisationCompleteWithoutAnIrpRunsWithoutTheInterface) {
    BringUp();
    host::InjectFault("IoBuildSynchronousFsdRequest", {1, 1, STATUS_INSUFFICIENT_RESOURCES});
    const size_t poolBefore = host::PoolOutstanding().size();
    EXPECT_EQ(Filter.CompleteInitialization(), STATUS_SUCCESS);
    EXPECT_EQ(Context()->CamInterface.Interface.Version, 0);
    EXPECT_EQ(host::PoolOutstanding().size(), poolBefore); // the query buffer is freed on this path too
}

// ---- stream open -----------------------------------------------------------------------------------------

TEST_F(StackTest, OpenSendsExposureThenGainTwoHundredMillisecondsApart) {
    OpenFilter();
    std::vector<uint8_t> format;
    ASSERT_EQ(Filter.Intersect(STREAM_CAPTURE, &VideoCaptureRange.DataRange, &format), STATUS_SUCCESS);
    host::ClockClearWaits();
    NTSTATUS status;
    std::unique_ptr<streamclass::Pin> pin = Filter.OpenPin(STREAM_CAPTURE, format, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(LastCompletion().CompletedBy, streamclass::Completer::Library);
    std::vector<RegisterWrite> writes = RegisterWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].Register, 1);
    EXPECT_EQ(writes[0].Value, 750u);
    EXPECT_EQ(writes[1].Register, 0);
    EXPECT_EQ(writes[1].Value, 0u);
    EXPECT_GE(writes[1].TimeUs - writes[0].TimeUs, 200000);
    ASSERT_EQ(host::ClockWaits().size(), 1u);
    EXPECT_EQ(host::ClockWaits()[0].Interval100ns, -2000000);
    EXPECT_EQ(host::ClockWaits()[0].Mode, KernelMode);
    EXPECT_EQ(host::ClockWaits()[0].Alertable, FALSE);
    EXPECT_EQ(Camera.ExposureRegister(), 750);
}

TEST_F(StackTest, OpenMasksExposureAndGainToTheSensorsWidths) {
    OpenFilter();
    Context()->ExposureTime = 0x0FFF;
    Context()->GlobalGain = 0x0400;
    NTSTATUS status;
    std::unique_ptr<streamclass::Pin> pin =
        Filter.OpenPin(STREAM_CAPTURE, FormatFromRange(VideoCaptureRange), &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    std::vector<RegisterWrite> writes = RegisterWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].Value, 0x07FFu);
    EXPECT_EQ(writes[1].Value, 0u);
}

TEST_F(StackTest, OpenWithAFormatThatDoesNotVerifyIsRefusedByTheDriver) {
    OpenFilter();
    std::vector<uint8_t> format = FormatFromRange(VideoCaptureRange);
    AsFormat(format)->VideoInfoHeader.bmiHeader.biWidth = 640;
    const size_t requestsBefore = Camera.Requests().size();
    HW_STREAM_OBJECT stream{};
    stream.StreamNumber = STREAM_CAPTURE;
    stream.HwDeviceExtension = Filter.DeviceExtension();
    streamclass::Srb srb(SRB_OPEN_STREAM, Filter.DeviceExtension(), &stream);
    srb->CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(format.data());
    EXPECT_EQ(streamclass::DeliverAdapterSrb(AdapterReceivePacket, srb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(srb.CompletedBy(), streamclass::Completer::Driver);
    EXPECT_FALSE(HandedOver(Library(), SRB_OPEN_STREAM));
    EXPECT_EQ(Camera.Requests().size(), requestsBefore);
    // The hooks were stored before the check and stay.
    EXPECT_NE(stream.ReceiveControlPacket, nullptr);
    EXPECT_NE(stream.ReceiveDataPacket, nullptr);
}
