// The library's vendor requests and alternate-setting selection: what reaches the camera, what lands in
// the caller's buffer, and the trace records as the trace file prints them.
#include "host/cameralib/trace_json.h"

#include "tests/camera/camera_rig.h"

namespace {

NTSTATUS Vendor(CameraRig& rig, UCHAR Request, USHORT Value, USHORT Index, PVOID Buffer, PULONG Length,
                bool In) {
    return QRXUSBCAMD_ControlVendorCommand(rig.Context(), Request, Value, Index, Buffer, Length,
                                           In ? TRUE : FALSE, nullptr, nullptr);
}

TEST(ControlVendorCommand, UnknownDeviceIsRefused) {
    CameraRig rig;
    alignas(8) uint8_t stranger[DEVICE_CONTEXT_EXTENSION_SIZE] = {};
    EXPECT_EQ(QRXUSBCAMD_ControlVendorCommand(stranger, 2, 1, 11, nullptr, nullptr, FALSE, nullptr, nullptr),
              STATUS_NO_SUCH_DEVICE);
    USBD_INTERFACE_INFORMATION info{};
    EXPECT_EQ(QRXUSBCAMD_SelectAlternateInterface(stranger, &info), STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(rig.Camera.Requests().empty());
}

// A null buffer or a zero length means no data stage, whichever form the caller uses; only requests 5
// and 7 carry their known sizes with a zero length.
TEST(ControlVendorCommand, DataStageAsTheCallerDescribesIt) {
    CameraRig rig;
    uint8_t bytes[4] = {0x12, 0x34, 0x56, 0x78};
    ULONG zero = 0, two = 2;
    EXPECT_EQ(Vendor(rig, 2, 1, 11, nullptr, nullptr, false), STATUS_SUCCESS);
    EXPECT_EQ(Vendor(rig, 2, 1, 11, nullptr, &zero, false), STATUS_SUCCESS);
    EXPECT_EQ(Vendor(rig, 2, 1, 11, bytes, &zero, false), STATUS_SUCCESS);
    EXPECT_EQ(Vendor(rig, 5, 0, 1, bytes, &zero, false), STATUS_SUCCESS);
    EXPECT_EQ(Vendor(rig, 5, 0, 1, bytes, nullptr, false), STATUS_SUCCESS);
    EXPECT_EQ(Vendor(rig, 2, 1, 11, bytes, &two, false), simcam::STALL_STATUS); // controls take no data
    EXPECT_EQ(Vendor(rig, 5, 0, 1, nullptr, &zero, false), simcam::STALL_STATUS);

    const std::vector<std::vector<uint8_t>> carried = {
        {}, {}, {}, {0x12, 0x34, 0x56, 0x78}, {0x12, 0x34, 0x56, 0x78}, {0x12, 0x34}, {}};
    ASSERT_EQ(rig.Camera.Requests().size(), carried.size());
    for (size_t i = 0; i < carried.size(); ++i) {
        EXPECT_EQ(rig.Camera.Requests()[i].Data, carried[i]) << "request " << i;
        EXPECT_EQ(rig.Device.VendorTrace[i].Data, carried[i]) << "request " << i;
    }
    EXPECT_EQ(rig.Camera.ExposureRegister(), 0x78563412 & 0x7FF);
}

// A read's reply lands in the buffer, no further than its length, which then says what arrived.
TEST(ControlVendorCommand, ReadReplyLandsInTheBuffer) {
    simcam::CameraConfig config;
    config.StatusReplies = {0x0102};
    CameraRig rig(config);
    uint8_t reply[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    ULONG length = 4;
    EXPECT_EQ(Vendor(rig, 3, 0, 16, reply, &length, true), STATUS_SUCCESS);
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(std::vector<uint8_t>(reply, reply + 4), (std::vector<uint8_t>{0x02, 0x01, 0xAA, 0xAA}));
    EXPECT_EQ(rig.Device.VendorTrace[0].Length, 4u); // as passed

    length = 1;
    EXPECT_EQ(Vendor(rig, 3, 0, 16, reply, &length, true), STATUS_SUCCESS);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(reply[0], 0x03);
    EXPECT_EQ(reply[1], 0x01);

    host::InjectFault("vendor:3", {1, 1, STATUS_IO_DEVICE_ERROR});
    length = 2;
    EXPECT_EQ(Vendor(rig, 3, 0, 16, reply, &length, true), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(reply[0], 0x03);
}

void NTAPI Completed(PVOID, PVOID Context, NTSTATUS Status) {
    *static_cast<NTSTATUS*>(Context) = Status;
}

TEST(ControlVendorCommand, CompletionRoutineReceivesTheResult) {
    CameraRig rig;
    NTSTATUS seen = STATUS_PENDING;
    EXPECT_EQ(
        QRXUSBCAMD_ControlVendorCommand(rig.Context(), 2, 0, 6, nullptr, nullptr, FALSE, Completed, &seen),
        STATUS_PENDING);
    EXPECT_EQ(seen, simcam::STALL_STATUS);
}

// The selection asks the camera for the setting written in the record, and the library's own record
// follows only when the camera took it.
TEST(SelectAlternateInterface, SelectsTheSettingWrittenInTheRecord) {
    CameraRig rig;
    std::vector<uint8_t> copy = rig.Device.InterfaceInfo;
    auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(copy.data());
    info->AlternateSetting = 5;
    EXPECT_EQ(QRXUSBCAMD_SelectAlternateInterface(rig.Context(), info), STATUS_SUCCESS);
    EXPECT_EQ(rig.Camera.AlternateSetting(), 5);
    EXPECT_EQ(rig.Interface()->AlternateSetting, 5);

    host::InjectFault("simcam:alt", {1, 1, STATUS_IO_DEVICE_ERROR});
    info->AlternateSetting = 2;
    EXPECT_EQ(QRXUSBCAMD_SelectAlternateInterface(rig.Context(), info), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(rig.Interface()->AlternateSetting, 5);
    ASSERT_EQ(rig.Device.AltSettingTrace.size(), 2u);
    EXPECT_EQ(rig.Device.AltSettingTrace[1].Setting, 2);
    EXPECT_EQ(rig.Device.AltSettingTrace[1].Status, STATUS_IO_DEVICE_ERROR);
}

TEST(Trace, RecordsPrintAsTheTraceFileShowsThem) {
    CameraRig rig;
    int64_t start = host::ClockNowMicroseconds();
    host::ClockAdvance(12340);
    ULONG zero = 0;
    ULONG value = 750;
    Vendor(rig, 5, 0, 1, &value, &zero, false);
    Vendor(rig, 2, 1, 6, nullptr, nullptr, false);
    uint8_t reply[2];
    ULONG two = 2;
    Vendor(rig, 3, 0, 16, reply, &two, true);
    USBD_INTERFACE_INFORMATION info{};
    QRXUSBCAMD_SelectAlternateInterface(rig.Context(), &info);

    ASSERT_EQ(rig.Device.VendorTrace.size(), 3u);
    EXPECT_EQ(rig.Device.VendorTrace[0].TimeUs - start, 1234);
    EXPECT_EQ(cameralib::VendorRequestJson(rig.Device.VendorTrace[0]),
              R"({"event":"vendor_request","request":5,"value":0,"index":1,"direction":"out","length":0,)"
              R"("data":"ee020000","status":"0x00000000"})");
    EXPECT_EQ(cameralib::VendorRequestJson(rig.Device.VendorTrace[1]),
              R"({"event":"vendor_request","request":2,"value":1,"index":6,"direction":"out","length":null,)"
              R"("data":"","status":"0xc0000001"})");
    EXPECT_EQ(cameralib::VendorRequestJson(rig.Device.VendorTrace[2]),
              R"({"event":"vendor_request","request":3,"value":0,"index":16,"direction":"in","length":2,)"
              R"("data":"0300","status":"0x00000000"})");
    ASSERT_EQ(rig.Device.AltSettingTrace.size(), 1u);
    EXPECT_EQ(cameralib::AltSettingJson(rig.Device.AltSettingTrace[0]),
              R"({"event":"alt_setting","setting":0,"status":"0x00000000"})");
}

} // namespace
