// The simulated camera's USB face and firmware, driven directly.
#include "host/simcam/simulated_camera.h"

#include "host/kernel/faults.h"

#include <gtest/gtest.h>

namespace {

using simcam::SimulatedCamera;
using simcam::STALL_STATUS;

NTSTATUS Out(SimulatedCamera& cam, uint8_t Request, uint16_t Value, uint16_t Index,
             std::vector<uint8_t> Data = {}) {
    return cam.VendorRequest(Request, Value, Index, false, &Data);
}

uint16_t ReadStatus(SimulatedCamera& cam, NTSTATUS* Status = nullptr) {
    std::vector<uint8_t> reply;
    NTSTATUS status = cam.VendorRequest(3, 0, 16, true, &reply);
    if (Status)
        *Status = status;
    return reply.size() == 2 ? static_cast<uint16_t>(reply[0] | reply[1] << 8) : 0xDEAD;
}

class Firmware : public ::testing::Test {
  protected:
    void TearDown() override { host::ClearAllFaults(); }
};

TEST_F(Firmware, StatusWordFollowsTheConfiguredSequence) {
    simcam::CameraConfig config;
    config.StatusReplies = {0, 2, 1};
    SimulatedCamera cam(config);
    std::vector<uint16_t> words;
    for (int i = 0; i < 5; ++i)
        words.push_back(ReadStatus(cam));
    EXPECT_EQ(words, (std::vector<uint16_t>{0, 2, 1, 3, 3}));

    config.NeverReady = true;
    SimulatedCamera never(config);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(ReadStatus(never), 0);
}

// Controls, registers and the block command take effect; anything the firmware does not know stalls
// and changes nothing.
TEST_F(Firmware, KeepsWhatItKnowsAndStallsOnTheRest) {
    SimulatedCamera cam;
    EXPECT_EQ(cam.ExposureRegister(), 750);
    for (uint16_t control : {1, 2, 3, 4, 5, 8, 11, 13})
        EXPECT_EQ(Out(cam, 2, control + 100, control), STATUS_SUCCESS) << control;
    for (uint16_t control : {1, 2, 3, 4, 5, 8, 11, 13})
        EXPECT_EQ(cam.Controls().at(control), control + 100);
    EXPECT_TRUE(cam.CaptureOn());
    EXPECT_TRUE(cam.Started());
    EXPECT_EQ(Out(cam, 2, 0, 11), STATUS_SUCCESS);
    EXPECT_FALSE(cam.CaptureOn());

    EXPECT_EQ(Out(cam, 5, 0, 1, {0xFF, 0x0F, 0, 0}), STATUS_SUCCESS); // 0x0FFF keeps 11 bits
    EXPECT_EQ(Out(cam, 5, 0, 0, {0x00, 0x04, 0, 0}), STATUS_SUCCESS); // 0x0400 keeps 10 bits
    EXPECT_EQ(cam.ExposureRegister(), 0x7FF);
    EXPECT_EQ(cam.GainRegister(), 0);
    EXPECT_EQ(Out(cam, 7, 0, 0, {0x20, 0x03, 0x20}), STATUS_SUCCESS);
    EXPECT_EQ(cam.BlocksReceived(), 1u);

    size_t controls = cam.Controls().size();
    EXPECT_EQ(Out(cam, 2, 1, 6), STALL_STATUS);               // unknown control
    EXPECT_EQ(Out(cam, 5, 0, 2, {1, 0, 0, 0}), STALL_STATUS); // unknown register
    EXPECT_EQ(Out(cam, 5, 0, 1), STALL_STATUS);               // register write without its word
    EXPECT_EQ(Out(cam, 7, 0, 0, {0x20, 0x03}), STALL_STATUS); // short block
    EXPECT_EQ(Out(cam, 9, 0, 0), STALL_STATUS);               // unknown request
    std::vector<uint8_t> reply;
    EXPECT_EQ(cam.VendorRequest(3, 0, 15, true, &reply), STALL_STATUS);
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(cam.Controls().size(), controls);
    EXPECT_EQ(cam.ExposureRegister(), 0x7FF);
    EXPECT_EQ(cam.BlocksReceived(), 1u);
    EXPECT_EQ(cam.Requests().size(), 18u);
    EXPECT_EQ(cam.Requests().back().Status, STALL_STATUS);
}

TEST_F(Firmware, AlternateSettingsZeroToSeven) {
    SimulatedCamera cam;
    EXPECT_EQ(cam.SelectAlternateSetting(7), STATUS_SUCCESS);
    EXPECT_EQ(cam.AlternateSetting(), 7);
    EXPECT_EQ(cam.SelectAlternateSetting(8), STALL_STATUS);
    host::InjectFault("simcam:alt", {1, 1, STATUS_IO_DEVICE_ERROR});
    EXPECT_EQ(cam.SelectAlternateSetting(0), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(cam.AlternateSetting(), 7);
    EXPECT_EQ(cam.SelectAlternateSetting(0), STATUS_SUCCESS);
}

// Requests fail by code, by order of arrival, or all; a failed request has no effect on the camera.
TEST_F(Firmware, InjectedFaults) {
    const NTSTATUS kError = STATUS_IO_DEVICE_ERROR;
    struct Case {
        const char* Rule;
        host::FaultRule Fault;
        std::vector<NTSTATUS> Expected; // control 2, register write, status read, control 2
    };
    const std::vector<Case> cases = {
        {"vendor:5", {1, 0, kError}, {STATUS_SUCCESS, kError, STATUS_SUCCESS, STATUS_SUCCESS}},
        {"vendor:2", {2, 1, kError}, {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS, kError}},
        {"vendor", {3, 1, kError}, {STATUS_SUCCESS, STATUS_SUCCESS, kError, STATUS_SUCCESS}},
        {"vendor", {1, 0, kError}, {kError, kError, kError, kError}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Rule);
        host::ClearAllFaults();
        host::InjectFault(c.Rule, c.Fault);
        SimulatedCamera cam;
        NTSTATUS read = 0;
        std::vector<NTSTATUS> got;
        got.push_back(Out(cam, 2, 1, 11));
        got.push_back(Out(cam, 5, 0, 1, {0x10, 0, 0, 0}));
        ReadStatus(cam, &read);
        got.push_back(read);
        got.push_back(Out(cam, 2, 0, 11));
        EXPECT_EQ(got, c.Expected);
        EXPECT_EQ(cam.ExposureRegister(), c.Expected[1] == STATUS_SUCCESS ? 0x10 : 750);
        EXPECT_EQ(cam.CaptureOn(), c.Expected[0] == STATUS_SUCCESS && c.Expected[3] != STATUS_SUCCESS);
        ASSERT_EQ(cam.Requests().size(), 4u);
        EXPECT_EQ(cam.Requests()[2].Data.empty(), read != STATUS_SUCCESS);
    }
}

} // namespace
