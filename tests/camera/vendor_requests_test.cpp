// The wire form of each vendor request the driver sends, as the library records it and the camera
// receives it.
#include "camera/vendor_requests.h"

#include "tests/camera/camera_rig.h"

namespace {

struct Wire {
    uint8_t Request;
    uint16_t Value;
    uint16_t Index;
    bool In;
    bool HasLength;
    uint32_t Length;
    std::vector<uint8_t> Data;
};

void ExpectWire(const cameralib::VendorTraceRecord& r, const Wire& w) {
    EXPECT_EQ(r.Request, w.Request);
    EXPECT_EQ(r.Value, w.Value);
    EXPECT_EQ(r.Index, w.Index);
    EXPECT_EQ(r.DeviceToHost, w.In);
    EXPECT_EQ(r.HasLength, w.HasLength);
    EXPECT_EQ(r.Length, w.Length);
    EXPECT_EQ(r.Data, w.Data);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
}

TEST(VendorRequests, WireForms) {
    CameraRig rig;
    USHORT status = 0xBEEF;
    EXPECT_EQ(CamWriteRegister(rig.Context(), CamRegisterExposureTime, 750), STATUS_SUCCESS);
    EXPECT_EQ(CamWriteRegister(rig.Context(), CamRegisterGlobalGain, 0x3FF), STATUS_SUCCESS);
    EXPECT_EQ(CamSetControl(rig.Context(), CamControlCapture, 1), STATUS_SUCCESS);
    EXPECT_EQ(CamSendBlock(rig.Context()), STATUS_SUCCESS);
    EXPECT_EQ(CamReadStatusWord(rig.Context(), &status), STATUS_SUCCESS);

    const std::vector<cameralib::VendorTraceRecord>& trace = rig.Device.VendorTrace;
    ASSERT_EQ(trace.size(), 5u);
    // Register values go as 32-bit little-endian words with a length of 0; the library carries them.
    ExpectWire(trace[0], {5, 0, 1, false, true, 0, {0xEE, 0x02, 0x00, 0x00}});
    ExpectWire(trace[1], {5, 0, 0, false, true, 0, {0xFF, 0x03, 0x00, 0x00}});
    ExpectWire(trace[2], {2, 1, 11, false, false, 0, {}});
    ExpectWire(trace[3], {7, 0, 0, false, true, 0, {0x20, 0x03, 0x20}});
    ExpectWire(trace[4], {3, 0, 16, true, true, 2, {0x03, 0x00}});
    EXPECT_EQ(status, 3);

    EXPECT_EQ(rig.Camera.ExposureRegister(), 750);
    EXPECT_EQ(rig.Camera.GainRegister(), 0x3FF);
    EXPECT_TRUE(rig.Camera.CaptureOn());
    EXPECT_EQ(rig.Camera.BlocksReceived(), 1u);
}

// A failed status read leaves the caller's word alone; its status is the result.
TEST(VendorRequests, FailedStatusReadLeavesTheWord) {
    CameraRig rig;
    host::InjectFault("vendor:3", {1, 1, STATUS_IO_DEVICE_ERROR});
    USHORT status = 0xBEEF;
    EXPECT_EQ(CamReadStatusWord(rig.Context(), &status), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(status, 0xBEEF);
}

} // namespace
