// Values a client, the platform or the camera sees, pinned as literals rather than through the driver's
// own constants, so that a slip in a constant, a table or a request is seen by something outside the
// driver: the tables clients read, the requests and allocations the platform sees, the requests the camera
// receives and their order, and one golden picture through the whole capture path.
#include "camera/capture.h"
#include "camera/frame_geometry.h"
#include "host/cameralib/library_device.h"
#include "driver/adapter_routines.h"
#include "driver/device_context.h"
#include "driver/driver_entry.h"
#include "imaging/color.h"
#include "imaging/mono.h"
#include "imaging/raw_frame.h"
#include "imaging/vector_paths.h"
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "platform/ks_types.h"
#include "host/rig/rig.h"
#include "host/streamclass/client.h"
#include "host/streamclass/stream_class_host.h"
#include "properties/settings.h"
#include "host/simcam/simulated_camera.h"
#include "streams/stream_descriptors.h"
#include "tests/component/driver_under_test.h"
#include "tests/component/fresh_host.h"
#include "tests/imaging/path_levers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// 64-bit FNV-1a.
uint64_t Fnv1a(const void* Data, size_t Bytes, uint64_t Hash = 0xCBF29CE484222325ull) {
    const uint8_t* p = static_cast<const uint8_t*>(Data);
    for (size_t i = 0; i < Bytes; ++i)
        Hash = (Hash ^ p[i]) * 0x100000001B3ull;
    return Hash;
}

std::string GuidText(const GUID& G) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", unsigned(G.Data1),
                  unsigned(G.Data2), unsigned(G.Data3), G.Data4[0], G.Data4[1], G.Data4[2], G.Data4[3],
                  G.Data4[4], G.Data4[5], G.Data4[6], G.Data4[7]);
    return text;
}

const GUID kWindowSet = {0x3DC2E820, 0x4713, 0x11D2, {0xBA, 0x41, 0x00, 0xA0, 0xC9, 0x0D, 0x2B, 0x05}};

std::string SettingsKey() {
    return host::DriverKeyPath() + "\\Z40K_Settings";
}

// One camera brought up through the stream class on the virtual clock, with its request log from power-up.
// Stored settings it loads: a mirror stored as 7 (any non-zero is on) and a gain above 16 bits.
class Pinned : public ::testing::Test {
  protected:
    void SetUp() override {
        driveC_ = ResetHostForStack("z40k-pinned-c");
        firstAllocation_ = host::PoolAllocationCount();
        host::RegistryCreateKey(SettingsKey());
        host::RegistrySetDword(SettingsKey(), "Horizon Mirror", 7);
        host::RegistrySetDword(SettingsKey(), "Global Gain", 0x10005);
        rig_ = std::make_unique<rig::Rig>(DriverUnderTest());
        size_t index = 0;
        ASSERT_EQ(rig_->Plug(simcam::CameraConfig(), &index), STATUS_SUCCESS);
        camera_ = rig_->CameraOf(index);
        filter_ = &rig_->FilterOf(index);
    }
    void TearDown() override {
        rig_.reset();
        for (const std::string& v : streamclass::Violations())
            ADD_FAILURE() << v;
        std::error_code ec;
        std::filesystem::remove_all(driveC_, ec);
    }

    // The camera requests so far as the driver made them (the library's record): direction, request,
    // value, index, the buffer length passed (L) and whether a buffer was (B), then the bytes carried.
    std::vector<cameralib::VendorTraceRecord>& Trace() {
        return cameralib::DeviceFromContext(filter_->DeviceExtension())->VendorTrace;
    }
    std::string Requests() {
        std::ostringstream out;
        for (const cameralib::VendorTraceRecord& r : Trace()) {
            out << (r.DeviceToHost ? "in " : "out ") << int(r.Request) << " " << r.Value << " " << r.Index;
            if (r.HasLength)
                out << " L" << r.Length;
            if (r.HasBuffer)
                out << " B";
            for (uint8_t b : r.Data)
                out << " " << int(b);
            out << "\n";
        }
        return out.str();
    }

    // A get (or a set, then a get) of one property as a client sends it; the value the get returns.
    LONG Property(const GUID& Set, ULONG Id, bool DoSet = false, LONG Value = 0) {
        CameraPropertyData request{};
        request.Property.Set = Set;
        request.Property.Id = Id;
        request.Property.Flags = DoSet ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET;
        CameraPropertyData data = request;
        data.Value = Value;
        ULONG returned = 0;
        if (DoSet) {
            EXPECT_EQ(
                filter_->DeviceProperty(true, &request, sizeof request, &data, sizeof data, &returned, false),
                STATUS_SUCCESS)
                << GuidText(Set) << " " << Id;
            request.Property.Flags = KSPROPERTY_TYPE_GET;
        }
        data.Value = -1;
        EXPECT_EQ(
            filter_->DeviceProperty(false, &request, sizeof request, &data, sizeof data, &returned, false),
            STATUS_SUCCESS)
            << GuidText(Set) << " " << Id;
        return data.Value;
    }

    // The capture pin in the format the stream offers, running.
    std::unique_ptr<streamclass::Pin> RunCapturePin() {
        std::vector<const KS_DATARANGE_VIDEO*> ranges = filter_->Ranges(0);
        EXPECT_EQ(ranges.size(), 1u);
        std::vector<uint8_t> format;
        EXPECT_EQ(filter_->Intersect(0, &ranges[0]->DataRange, &format), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::unique_ptr<streamclass::Pin> pin = filter_->OpenPin(0, format, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (pin != nullptr) {
            EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
        }
        return pin;
    }

    // Opens the capture pin, runs it for one frame and stops it; the frame.
    std::vector<uint8_t> CaptureOneFrame() {
        std::unique_ptr<streamclass::Pin> pin = RunCapturePin();
        if (pin == nullptr)
            return {};
        std::vector<uint8_t> frame(2560 * 1920 * 3 + 64, 0xA5);
        ULONG used = 0;
        EXPECT_EQ(pin->ReadFrame(frame.data(), ULONG(frame.size()), &used), STATUS_SUCCESS);
        EXPECT_EQ(used, 2558u * 1918 * 3); // a colour frame counts the demosaic's pixels
        EXPECT_EQ(frame[used], 0xA5);
        EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        frame.resize(used);
        return frame;
    }

    // One property request as the stream class hands it to the driver: the identifier, then a data
    // buffer of 48 bytes that holds a copy of it, Value and Flags; the transferred-byte count and the
    // output size start as markers, so that whatever the driver writes, or leaves, shows.
    struct Delivered {
        NTSTATUS Status;
        ULONG Bytes;      // the SRB's transferred-byte count afterwards
        ULONG OutputSize; // the descriptor's output size afterwards
        LONG Value;       // the data buffer's Value afterwards
    };
    static constexpr ULONG UNTOUCHED_BYTES = 0x5A5A;
    static constexpr ULONG DATA_BYTES = 48;
    Delivered Deliver(bool IsSet, const GUID& Set, ULONG Id, LONG Value, ULONG Flags = 0) {
        KSPROPERTY property = {Set, Id, IsSet ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET};
        alignas(8) uint8_t data[DATA_BYTES] = {};
        std::memcpy(data, &property, sizeof property);
        std::memcpy(data + sizeof property, &Value, sizeof Value);
        std::memcpy(data + sizeof property + sizeof Value, &Flags, sizeof Flags);
        STREAM_PROPERTY_DESCRIPTOR descriptor = {&property, 0, data, sizeof property, DATA_BYTES};
        streamclass::Srb request(IsSet ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY,
                                 filter_->DeviceExtension());
        request->CommandData.PropertyInfo = &descriptor;
        request->ActualBytesTransferred = UNTOUCHED_BYTES;
        const NTSTATUS status = streamclass::DeliverAdapterSrb(AdapterReceivePacket, request);
        LONG after = 0;
        std::memcpy(&after, data + sizeof property, sizeof after);
        return {status, request->ActualBytesTransferred, descriptor.PropertyOutputSize, after};
    }

    std::filesystem::path driveC_;
    uint64_t firstAllocation_ = 0;
    std::unique_ptr<rig::Rig> rig_;
    simcam::SimulatedCamera* camera_ = nullptr;
    streamclass::Filter* filter_ = nullptr;
};

} // namespace

struct Pin64 {
    const char* What;
    uint64_t Seen;
    uint64_t Expected;
};

void ExpectPins(const std::vector<Pin64>& Pins) {
    for (const Pin64& pin : Pins)
        EXPECT_EQ(pin.Seen, pin.Expected) << pin.What;
}

// What bring-up registers and allocates, then everything the camera hears from power-up to the stop, in
// order: the status word (in, index 16, a two-byte reply), start-up (control 13), exposure then gain at open
// (register writes 1 and 0, the stored gain cut to 16 bits), capture set-up (control 8) and capture on and
// off (control 11). Every request that sets something goes host to device. At the stop the settings are saved
// as the driver holds them: a stored mirror of 7 was read as on and is saved as 1.
TEST_F(Pinned, RegistrationAllocationsRequestsAndSavedSettings) {
    cameralib::LibraryDevice* library = cameralib::DeviceFromContext(filter_->DeviceExtension());
    ASSERT_NE(library, nullptr);
    const std::vector<host::PoolBlockInfo> blocks = host::PoolOutstanding();
    ASSERT_EQ(blocks.size(), 1u) << "the interface copy alone outlives bring-up";
    ExpectPins({
        {"device extension size", filter_->RegisteredExtensionSize(), 212},
        {"frame context size", library->FrameContextSize, 4},
        {"interface version", library->InterfaceVersion, 0x200},
        {"control flags", library->ControlFlags, 12},
        {"interface copy: pool type", uint64_t(blocks[0].Type), 0}, // NonPagedPool
        {"interface copy: tag", blocks[0].Tag, 0x206D6457},         // "Wdm "
        {"interface copy: size", blocks[0].Size,
         sizeof(USBD_INTERFACE_INFORMATION) + 3 * sizeof(USBD_PIPE_INFORMATION)}, // four pipes
    });

    const std::vector<uint8_t> frame = CaptureOneFrame();
    EXPECT_EQ(Requests(), "in 3 0 16 L2 B 3 0\n"
                          "out 2 0 13\n"
                          "out 5 0 1 L0 B 238 2 0 0\n"
                          "out 5 0 0 L0 B 5 0 0 0\n"
                          "out 2 0 8\n"
                          "out 2 1 11\n"
                          "out 2 0 11\n");
    std::string saved;
    for (const auto& [name, value] : host::RegistryValues(SettingsKey())) {
        ASSERT_EQ(value.Data.size(), 4u) << name;
        saved += name + "=" + std::to_string(value.Type) + ":" +
                 std::to_string(value.Data[0] | value.Data[1] << 8) + " ";
    }
    EXPECT_EQ(saved, "Auto White Balance=4:0 Color Enable=4:1 Exposure Time=4:750 Global Gain=4:5 "
                     "Horizon Mirror=4:1 Vertical Flip=4:1 ");
}

// Every pool allocation of a session as the pool sees it, in order, from bring-up to the stop of one
// captured frame: the interface copy at configure, one query buffer per stored setting, the buffer of
// the interface query, the scratch frame of the raw frame (whole packets of 3,072 bytes, the high-bandwidth
// setting the camera's descriptor offers).
TEST_F(Pinned, EveryAllocationOfASessionByPoolTypeTagAndSize) {
    CaptureOneFrame();
    constexpr ULONG WDM = 0x206D6457; // "Wdm "
    const struct {
        const char* What;
        POOL_TYPE Type;
        SIZE_T Size;
    } expected[] = {
        {"interface copy", NonPagedPool,
         sizeof(USBD_INTERFACE_INFORMATION) + 3 * sizeof(USBD_PIPE_INFORMATION)},
        {"query of Color Enable", PagedPool, 54},
        {"query of Auto White Balance", PagedPool, 66},
        {"query of Exposure Time", PagedPool, 56},
        {"query of Global Gain", PagedPool, 52},
        {"query of Horizon Mirror", PagedPool, 58},
        {"query of Vertical Flip", PagedPool, 56},
        {"interface query", NonPagedPool, sizeof(USBCAMD_INTERFACE)},
        {"scratch frame", NonPagedPool, 1930 * 3072},
    };
    std::vector<host::PoolBlockInfo> blocks;
    for (const host::PoolBlockInfo& block : host::PoolRecentAllocations()) {
        if (block.Serial > firstAllocation_)
            blocks.push_back(block);
    }
    ASSERT_EQ(blocks.size(), std::size(expected));
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(blocks[i].Type, expected[i].Type) << expected[i].What;
        EXPECT_EQ(blocks[i].Tag, WDM) << expected[i].What;
        EXPECT_EQ(blocks[i].Size, expected[i].Size) << expected[i].What;
    }
}

// Every property item the stream class reads from the descriptors, field by field: the device set and
// the two stream sets (the allocator framing, the dropped frames) of both streams. A field written
// as ID get/set MinProperty MinData Values/Relations/RelationsCount/SupportHandler SerializedSize.
TEST_F(Pinned, PropertyItemsAsTheStreamClassReadsThem) {
    auto describe = [](const KSPROPERTY_SET& Set) {
        std::string text = GuidText(*Set.Set) + " " + std::to_string(Set.PropertiesCount) + " fast " +
                           std::to_string(Set.FastIoCount) + (Set.FastIoTable == nullptr ? "" : " table") +
                           ":";
        for (ULONG i = 0; i < Set.PropertiesCount; ++i) {
            const KSPROPERTY_ITEM& item = Set.PropertyItem[i];
            text += " " + std::to_string(item.PropertyId) + " " +
                    std::to_string(int(streamclass::ItemSupported(&item.GetPropertyHandler))) +
                    std::to_string(int(streamclass::ItemSupported(&item.SetPropertyHandler))) + " " +
                    std::to_string(item.MinProperty) + " " + std::to_string(item.MinData) + " " +
                    (item.Values == nullptr && item.Relations == nullptr && item.RelationsCount == 0 &&
                             item.SupportHandler == nullptr
                         ? "-"
                         : "extra") +
                    " " + std::to_string(item.SerializedSize) + ";";
        }
        return text;
    };
    const HW_STREAM_HEADER& header = filter_->StreamHeader();
    std::string device;
    for (ULONG i = 14; i >= 1; --i)
        device = " " + std::to_string(i) +
                 (i <= 4    ? " 10"
                  : i == 14 ? " 01"
                            : " 11") +
                 " 32 32 - 0;" + device;
    EXPECT_EQ(describe(header.DevicePropertiesArray[0]),
              "76BF9E14-22F4-4A02-A0EB-665DE962B531 14 fast 0:" + device);
    const std::string streamSets[] = {"1D58C920-AC9B-11CF-A5D6-28DB04C10000 1 fast 0: 3 10 24 24 - 4;",
                                      "C6E13344-30AC-11D0-A18C-00A0C9118956 1 fast 0: 0 10 48 48 - 0;"};
    const HW_STREAM_INFORMATION* streams[] = {&filter_->StreamInfo(0), &StreamInfoTable[1]};
    for (const HW_STREAM_INFORMATION* stream : streams) {
        ASSERT_EQ(stream->NumStreamPropArrayEntries, 2u);
        for (ULONG i = 0; i < 2; ++i)
            EXPECT_EQ(describe(stream->StreamPropertiesArray[i]), streamSets[i]);
        EXPECT_EQ(stream->NumStreamEventArrayEntries, 0u);
        EXPECT_EQ(stream->StreamEventsArray, nullptr);
    }
}

// What a property request leaves in the SRB and its descriptor, where the stream class reads them back:
// the transferred-byte count (a set of the camera set, the two probed standard sets and an unknown set
// leave it; the proc-amp and window sets and every get write their record's size), the descriptor's
// output size (only a proc-amp get writes it) and the data's Value.
TEST_F(Pinned, WhatAPropertyRequestLeavesInTheSrb) {
    constexpr ULONG UNTOUCHED = UNTOUCHED_BYTES, DATA = DATA_BYTES;
    const GUID unknown = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    const struct {
        const GUID* Set;
        ULONG Id;
        bool IsSet;
        LONG Value;
        NTSTATUS Status;
        ULONG Bytes, OutputSize;
        LONG ValueAfter;
    } rows[] = {
        {&kCameraSet, 5, true, 1, STATUS_SUCCESS, UNTOUCHED, DATA, 1},
        {&kCameraSet, 7, true, 900, STATUS_SUCCESS, UNTOUCHED, DATA, 900},
        {&kCameraSet, 9, true, 140, STATUS_SUCCESS, UNTOUCHED, DATA, 140},
        {&kCameraSet, 12, true, 77, STATUS_SUCCESS, UNTOUCHED, DATA, 77},
        {&kCameraSet, 1, true, 77, STATUS_SUCCESS, UNTOUCHED, DATA, 2500}, // a constant answers either way
        {&kCameraSet, 15, true, 77, STATUS_SUCCESS, UNTOUCHED, DATA, 0},
        {&kCameraSet, 12, false, 77, STATUS_SUCCESS, 32, DATA, 77},
        {&kCameraSet, 9, false, 0, STATUS_SUCCESS, 32, DATA, 140},
        {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, true, 55, STATUS_SUCCESS, 40,
         DATA, 55},
        {&PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, false, 0, STATUS_SUCCESS, 40, 40,
         55},
        {&kWindowSet, 0, true, 3, STATUS_SUCCESS, 32, DATA, 3},
        {&PROPSETID_VIDCAP_VIDEOCONTROL, 0, true, 77, STATUS_SUCCESS, UNTOUCHED, DATA, 77},
        {&PROPSETID_VIDCAP_CAMERACONTROL, 0, false, 77, STATUS_SUCCESS, UNTOUCHED, DATA, 77},
        {&unknown, 1, true, 77, STATUS_NOT_SUPPORTED, UNTOUCHED, DATA, 77},
    };
    for (const auto& row : rows) {
        const Delivered d = Deliver(row.IsSet, *row.Set, row.Id, row.Value);
        const std::string what =
            GuidText(*row.Set) + " " + std::to_string(row.Id) + (row.IsSet ? " set" : " get");
        EXPECT_EQ(d.Status, row.Status) << what;
        EXPECT_EQ(d.Bytes, row.Bytes) << what;
        EXPECT_EQ(d.OutputSize, row.OutputSize) << what;
        EXPECT_EQ(d.Value, row.ValueAfter) << what;
    }
}

// The camera command only acts when set, but its get path, which the stream class never lets through,
// does as the set does: a Value of 0 sends the block (request 7 with its three bytes) and any other Value
// sends nothing; Value is left as it came and the get reports its 32 bytes.
TEST_F(Pinned, TheGetPathOfTheSetOnlyCameraCommand) {
    const struct {
        bool IsSet;
        LONG Value;
        const char* Sent;
        ULONG Bytes;
    } rows[] = {
        {false, 0, "out 7 0 0 L0 B 32 3 32\n", 32},
        {false, 1, "", 32},
        {true, 0, "out 7 0 0 L0 B 32 3 32\n", UNTOUCHED_BYTES},
        {true, 1, "", UNTOUCHED_BYTES},
    };
    for (const auto& row : rows) {
        Trace().clear();
        const Delivered d = Deliver(row.IsSet, kCameraSet, 14, row.Value);
        const std::string what = std::string(row.IsSet ? "set " : "get ") + std::to_string(row.Value);
        EXPECT_EQ(d.Status, STATUS_SUCCESS) << what;
        EXPECT_EQ(Requests(), row.Sent) << what;
        EXPECT_EQ(d.Bytes, row.Bytes) << what;
        EXPECT_EQ(d.Value, row.Value) << what;
    }
}

// The golden pictures: the default scene's colour frame through the whole capture path on the virtual
// clock, as it is and with the grey-world white balance, whose gains follow from the chart's unequal
// channel means (blue, green and red gains 130, 128 and 122).
TEST_F(Pinned, GoldenColourFrames) {
    std::vector<uint8_t> frame = CaptureOneFrame();
    EXPECT_EQ(Fnv1a(frame.data(), frame.size()), 0x83586C3F598CE0EDull);
    EXPECT_EQ(Property(kCameraSet, 6, true, 1), 1);
    frame = CaptureOneFrame();
    EXPECT_EQ(Fnv1a(frame.data(), frame.size()), 0xF4862FCA00D48FCBull);
    EXPECT_EQ(Property(kCameraSet, 11), 130);
    EXPECT_EQ(Property(kCameraSet, 10), 128);
    EXPECT_EQ(Property(kCameraSet, 9), 122);
}

// What clients read: the stream descriptor, both streams' entries and ranges (the still stream's too,
// which a client sees once two streams are reported; the ranges whole, by their hash), the camera set's
// items (ID:MinProperty:MinData:get,set), and what gets return after bring-up and after sets, on the
// camera set and on the window set.
TEST_F(Pinned, TablesAndPropertiesAsClientsReadThem) {
    const HW_STREAM_HEADER& header = filter_->StreamHeader();
    std::vector<Pin64> pins = {{"streams", header.NumberOfStreams, 1},
                               {"device property sets", header.NumDevPropArrayEntries, 1}};
    const char* const categories[] = {"FB6C4281-0353-11D1-905F-0000C0CC16BA",
                                      "FB6C428A-0353-11D1-905F-0000C0CC16BA"};
    const uint64_t rangeHashes[] = {0x36C48BD0E2438245ull, 0xC084D4A271B3611Full};
    for (int i = 0; i < 2; ++i) {
        const HW_STREAM_INFORMATION& info = i == 0 ? filter_->StreamInfo(0) : StreamInfoTable[1];
        const KS_DATARANGE_VIDEO& range =
            *reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[0]);
        EXPECT_EQ(GuidText(*info.Category), categories[i]);
        EXPECT_EQ(GuidText(*info.Name), categories[i]);
        pins.insert(pins.end(),
                    {{"instances", info.NumberOfPossibleInstances, 1},
                     {"data flow: out", info.DataFlow, 2},
                     {"data accessible", info.DataAccessible, 1},
                     {"formats", info.NumberOfFormatArrayEntries, 1},
                     {"stream property sets", info.NumStreamPropArrayEntries, 2},
                     {"event sets", info.NumStreamEventArrayEntries, 0},
                     {"mediums", info.MediumsCount, 0},
                     {"bridge", info.BridgeStream, 0},
                     {"fixed-size samples", uint64_t(range.bFixedSizeSamples), 1},
                     {"description flags: still", range.StreamDescriptionFlags, i == 0 ? 0u : 0x1000u},
                     {"range", Fnv1a(&range, sizeof range), rangeHashes[i]}});
    }
    ExpectPins(pins);

    const KSPROPERTY_SET& set = header.DevicePropertiesArray[0];
    EXPECT_EQ(GuidText(*set.Set), "76BF9E14-22F4-4A02-A0EB-665DE962B531");
    std::string items;
    for (ULONG i = 0; i < set.PropertiesCount; ++i) {
        const KSPROPERTY_ITEM& item = set.PropertyItem[i];
        items += std::to_string(item.PropertyId) + ":" + std::to_string(item.MinProperty) + ":" +
                 std::to_string(item.MinData) + ":" +
                 std::to_string(int(streamclass::ItemSupported(&item.GetPropertyHandler))) +
                 std::to_string(int(streamclass::ItemSupported(&item.SetPropertyHandler))) + " ";
    }
    EXPECT_EQ(items,
              "1:32:32:10 2:32:32:10 3:32:32:10 4:32:32:10 5:32:32:11 6:32:32:11 7:32:32:11 8:32:32:11 "
              "9:32:32:11 10:32:32:11 11:32:32:11 12:32:32:11 13:32:32:11 14:32:32:01 ");

    struct Row {
        const GUID* Set;
        ULONG Id;
        bool DoSet;
        LONG Value;
        LONG Expected;
    };
    // The window as the first run's bandwidth allocation sets it for the capture format.
    std::unique_ptr<streamclass::Pin> pin = RunCapturePin();
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    const Row rows[] = {
        {&kCameraSet, 1, false, 0, 2500},
        {&kCameraSet, 2, false, 0, 0},
        {&kCameraSet, 3, false, 0, 2047},
        {&kCameraSet, 4, false, 0, 1023},
        {&kCameraSet, 5, false, 0, 1},
        {&kCameraSet, 6, false, 0, 0},
        {&kCameraSet, 7, false, 0, 750},
        {&kCameraSet, 8, false, 0, 5},
        {&kCameraSet, 9, false, 0, 128},
        {&kCameraSet, 7, true, 1000, 1000},
        {&kCameraSet, 8, true, 300, 300},
        {&kCameraSet, 5, true, 0, 0},
        {&kCameraSet, 10, true, 77, 77},
        {&kWindowSet, 5, false, 0, 2560},
        {&kWindowSet, 6, false, 0, 1920},
        {&kWindowSet, 8, false, 0, 3},
        {&kWindowSet, 0, true, 0x12345, 0x2345},
        {&kWindowSet, 1, true, 9, 1},
        {&kWindowSet, 2, true, 5, 1},
        {&kWindowSet, 8, true, 1, 1},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Property(*row.Set, row.Id, row.DoSet, row.Value), row.Expected)
            << GuidText(*row.Set) << " " << row.Id << (row.DoSet ? " after a set" : "");
}

// A camera request that ends with a success status other than STATUS_SUCCESS is not a plain success:
// capture set-up answered so stops the start before capture is switched on, and capture off answered so
// keeps the settings unsaved; either way the status goes back to the library as it came.
TEST_F(Pinned, SuccessStatusesOtherThanSuccessStopStartAndStop) {
    constexpr NTSTATUS INFORMATIONAL = 0x40000000; // success, with something to say
    PVOID context = filter_->DeviceExtension();
    Trace().clear();
    host::ClearAllFaults();
    host::InjectFault("vendor", {1, 1, INFORMATIONAL});
    EXPECT_EQ(CamStartCapture(nullptr, context), INFORMATIONAL);
    EXPECT_EQ(Requests(), "out 2 0 8\n");

    Trace().clear();
    host::ClearAllFaults();
    host::InjectFault("vendor", {1, 1, INFORMATIONAL});
    EXPECT_EQ(CamStopCapture(nullptr, context), INFORMATIONAL);
    EXPECT_EQ(Requests(), "out 2 0 11\n");
    EXPECT_EQ(host::CallCount("ZwSetValueKey"), 0u);
    host::ClearAllFaults();

    // A value name without its terminator's room, or longer than a name can be, is refused before any
    // allocation or query.
    ULONG value = 0, length = 4;
    EXPECT_EQ(ReadSettingValue(nullptr, u"", 0, &value, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ReadSettingValue(nullptr, u"", 0x10000, &value, &length), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host::CallCount("ExAllocatePoolWithTag"), 0u);
}

// The query for the library's direct-call interface as the class device object receives it.
TEST(PinnedRequest, InterfaceQueryIrp) {
    host::ResetKernel();
    struct Seen {
        UCHAR Major = 0, Minor = 0;
        NTSTATUS Preset = 0;
        KPROCESSOR_MODE Mode = UserMode;
        std::string Type;
        USHORT Size = 0, Version = 0;
        PVOID Specific = reinterpret_cast<PVOID>(1);
    } seen;
    PDEVICE_OBJECT classObject = host::CreateDeviceObject([&seen](PDEVICE_OBJECT, PIRP Irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        seen.Major = stack->MajorFunction;
        seen.Minor = stack->MinorFunction;
        seen.Preset = Irp->IoStatus.Status;
        seen.Mode = Irp->RequestorMode;
        seen.Type = GuidText(*stack->Parameters.QueryInterface.InterfaceType);
        seen.Size = stack->Parameters.QueryInterface.Size;
        seen.Version = stack->Parameters.QueryInterface.Version;
        seen.Specific = stack->Parameters.QueryInterface.InterfaceSpecificData;
        const NTSTATUS status = Irp->IoStatus.Status;
        IofCompleteRequest(Irp, 0);
        return status;
    });
    USBCAMD_INTERFACE buffer{};
    EXPECT_EQ(QueryCamInterface(classObject, &buffer), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(seen.Major, 0x1B); // IRP_MJ_PNP
    EXPECT_EQ(seen.Minor, 0x08); // IRP_MN_QUERY_INTERFACE
    EXPECT_EQ(seen.Preset, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(seen.Mode, KernelMode);
    EXPECT_EQ(seen.Type, "2BCB75C0-B27F-11D1-BA41-00A0C90D2B05");
    EXPECT_EQ(seen.Size, sizeof(USBCAMD_INTERFACE));
    EXPECT_EQ(seen.Version, 0x200);
    EXPECT_EQ(seen.Specific, nullptr);
    // Without a class device object (initialise-device never said) there is nobody to ask.
    const uint64_t built = host::IrpBuiltCount();
    EXPECT_EQ(QueryCamInterface(nullptr, &buffer), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(host::IrpBuiltCount(), built);
    host::ResetKernel();
}

// Grey frames: a window below the first line into a buffer longer than the image takes exactly the
// window's rows (never the line above it), a negative width nothing; and the one-time dump replaces a longer
// file of its name rather than leaving that file's tail behind it.
TEST(PinnedGrey, WindowRowsAndTheDumpReplacingALongerFile) {
    host::ResetKernel();
    const std::filesystem::path driveC =
        std::filesystem::temp_directory_path() / ("z40k-pinned-grey-" + std::to_string(::getpid()));
    std::filesystem::create_directories(driveC);
    host::FilesSetDriveC(driveC.string());

    DeviceContext context;
    std::memset(&context, 0, sizeof context);
    context.FormatWidth = 4;
    context.FormatHeight = 3;
    ASSERT_EQ(SetSourceRect(16, 1, 4, 8, 2, 3), STATUS_SUCCESS);
    std::vector<uint8_t> scratch(16 * 8);
    for (size_t i = 0; i < scratch.size(); ++i)
        scratch[i] = uint8_t(i);
    RawDumpDone = 1;
    std::vector<uint8_t> frame(4 * 3 * 3 + 30, 0xA5);
    EXPECT_EQ(ConvertDeinterlacedFrame(&context, scratch.data(), scratch.data() + scratch.size(),
                                       frame.data(), frame.data() + frame.size()),
              36u);
    // Bottom row first: window row 2 is line 4, from column 1.
    EXPECT_EQ(frame[0], 65);
    EXPECT_EQ(frame[35], 36);
    EXPECT_EQ(frame[36], 0xA5) << "a row above the window was taken";
    // The grey stage alone, as the benchmark calls it, gives the same.
    std::vector<uint8_t> stage(frame.size(), 0xA5);
    EXPECT_EQ(ConvertMono(&context, scratch.data(), scratch.data() + scratch.size(), stage.data(),
                          stage.data() + stage.size()),
              36u);
    EXPECT_EQ(stage, frame);
    // A format of negative width takes nothing, whatever its height.
    std::vector<uint8_t> untouched(frame.size(), 0xA5);
    context.FormatWidth = -4;
    EXPECT_EQ(ConvertDeinterlacedFrame(&context, scratch.data(), scratch.data() + scratch.size(),
                                       untouched.data(), untouched.data() + untouched.size()),
              0u);
    EXPECT_EQ(std::count(untouched.begin(), untouched.end(), 0xA5), long(untouched.size()));
    context.FormatWidth = 4;

    {
        std::ofstream longer(driveC / "DS-test.raw", std::ios::binary);
        longer << std::string(16 * 8 + 100, 'x');
    }
    RawDumpDone = 0;
    ConvertDeinterlacedFrame(&context, scratch.data(), scratch.data() + scratch.size(), frame.data(),
                             frame.data() + frame.size());
    EXPECT_EQ(std::filesystem::file_size(driveC / "DS-test.raw"), 16u * 8);
    std::filesystem::remove_all(driveC);
    host::ResetKernel();
}

// Which kernel the demosaic takes is part of what a frame costs: gains at the vector kernels' limit still
// take them (one save of the vector state); on the plain path the lookup tables are built in room that
// holds exactly one set of them, and never in less; the capture window takes no de-interlace copy.
TEST(PinnedKernelChoice, VectorLimitAndTableRoom) {
    host::ResetKernel();
    constexpr LONG W = 64, H = 8;
    std::vector<uint8_t> scratch(W * H, 0x55);
    std::vector<uint8_t> out(W * H * 3);
    ColorParams p = {};
    p.SourceWidth = W;
    p.SourceStride = W;
    p.SourceHeight = H;
    p.SourceLines = H;
    p.Scratch = scratch.data();
    p.Output = out.data();
    p.BlueGain = p.GreenGain = p.RedGain = 32767; // the vector kernels' limit
    FindExtendedStateRoutines();
    if (SupportedImagingPath() > IMAGING_PATH_SCALAR) {
        host::ClearAllFaults();
        DemosaicBayer(&p);
        EXPECT_EQ(
            host::CallCount("KeSaveExtendedProcessorState") + host::CallCount("KeSaveFloatingPointState"), 1u)
            << "gains at the limit went scalar";
    }

    alignas(64) static uint8_t room[sizeof(DemosaicTables)];
    std::memset(room, 0xEE, sizeof room);
    p.BlueGain = p.GreenGain = p.RedGain = 128;
    path_levers::ActAsSystemOf(IMAGING_PATH_SCALAR); // the plain path
    FindExtendedStateRoutines();
    DemosaicBayerWithTableSpace(&p, room, sizeof room);
    EXPECT_NE(std::count(room, room + sizeof room, 0xEE), long(sizeof room)) << "exact room left unused";

    // Room one byte short once the tables are put on a cache line is not used at all.
    alignas(64) static uint8_t shortRoom[sizeof(DemosaicTables) + 64];
    std::memset(shortRoom, 0xEE, sizeof shortRoom);
    DemosaicBayerWithTableSpace(&p, shortRoom + 1, sizeof(DemosaicTables) + 62);
    host::ResetKernel();
    FindExtendedStateRoutines();
    EXPECT_EQ(std::count(shortRoom, shortRoom + sizeof shortRoom, 0xEE), long(sizeof shortRoom));

    // The capture window (all 2560 samples of all 1920 lines) is read straight from the raw frame's two
    // fields, without the copy into the scratch frame; a window reaching past the samples of a raw line
    // or past the fields' lines is read from the scratch frame, de-interlaced first.
    std::vector<uint8_t> raw(RAW_FRAME_BYTES), deinterlaced(RAW_FRAME_BYTES);
    struct Window {
        LONG X, Y, Width, Height;
        bool Straight;
    };
    const Window windows[] = {{0, 0, 2560, 1920, true}, {0, 0, 2561, 1920, false}, {0, 0, 2560, 1921, false}};
    for (const Window& w : windows) {
        FrameInput input = {deinterlaced.data(), deinterlaced.data() + deinterlaced.size(), raw.data()};
        const WindowRows rows = RowsOfWindow(&input, w.X, w.Y, 2894, w.Width, w.Height);
        EXPECT_EQ(input.Raw == nullptr, !w.Straight) << w.Width << " x " << w.Height;
        EXPECT_EQ(rows.Even, w.Straight ? raw.data() + 14675 : deinterlaced.data())
            << w.Width << " x " << w.Height;
        EXPECT_EQ(rows.Odd, w.Straight ? raw.data() + 3089053 : deinterlaced.data() + 2894)
            << w.Width << " x " << w.Height;
    }
    host::ResetKernel();
}

// The colour path's window bounds: the smallest window the geometry accepts (three lines) converts and
// counts its one row of pixels, and the lookup tables never go in room past the scratch frame's end.
TEST(PinnedColourWindow, SmallestWindowAndNoTablesPastTheScratchEnd) {
    host::ResetKernel();
    DeviceContext context;
    std::memset(&context, 0, sizeof context);
    context.ColorEnable = TRUE;
    context.BlueGain = context.GreenGain = context.RedGain = 128;
    ASSERT_EQ(SetSourceRect(16, 0, 16, 3, 0, 3), STATUS_SUCCESS);
    std::vector<uint8_t> scratch(16 * 3, 0x40), frame(16 * 3 * 3);
    EXPECT_EQ(ConvertDeinterlacedFrame(&context, scratch.data(), scratch.data() + scratch.size(),
                                       frame.data(), frame.data() + frame.size()),
              14u * 3);

    // A 100 x 50 window ends at byte 5000 of a 5100-byte scratch frame: 100 bytes of room, too few for
    // the tables, so the plain path computes; the bytes after the scratch frame stay as they were.
    ASSERT_EQ(SetSourceRect(100, 0, 100, 50, 0, 50), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(5100 + sizeof(DemosaicTables) + 64, 0x40), out(100 * 50 * 3);
    host::InjectFault("KeSaveExtendedProcessorState", {1, 0, STATUS_UNSUCCESSFUL});
    EXPECT_EQ(ConvertDeinterlacedFrame(&context, buffer.data(), buffer.data() + 5100, out.data(),
                                       out.data() + out.size()),
              98u * 48 * 3);
    host::ClearAllFaults();
    EXPECT_EQ(std::count(buffer.begin() + 5100, buffer.end(), 0x40), long(buffer.size() - 5100))
        << "tables written past the scratch frame's end";

    // Four columns make quad rows of no pixel: nothing is written, and the count is still (W-2)(H-2)x3.
    ASSERT_EQ(SetSourceRect(4, 0, 4, 16, 0, 8), STATUS_SUCCESS);
    std::vector<uint8_t> narrow(4 * 16 + sizeof(DemosaicTables) + 64, 0x40), narrowOut(4 * 8 * 3, 0xA5);
    EXPECT_EQ(ConvertDeinterlacedFrame(&context, narrow.data(), narrow.data() + narrow.size(),
                                       narrowOut.data(), narrowOut.data() + narrowOut.size()),
              2u * 6 * 3);
    EXPECT_EQ(std::count(narrowOut.begin(), narrowOut.end(), 0xA5), long(narrowOut.size()));
    host::ResetKernel();
}
