// The bus between the camera class library and a device: what a port passes on while the device is
// plugged in, and what it refuses, without touching the device, once it has been pulled out.
#include "host/bus/bus.h"
#include "host/kernel/kernel_host.h"
#include "host/simcam/simulated_camera.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// A device that records what reaches it and answers every IN request with eight bytes.
struct RecordingDevice : bus::UsbDevice {
    std::vector<std::string> Calls;
    bus::Port* Where = nullptr;
    NTSTATUS ControlTransfer(const bus::SetupPacket& Setup, std::vector<uint8_t>* Data) override {
        Calls.push_back("control " + std::to_string(Setup.Request) + " " + std::to_string(Data->size()));
        if (Setup.DeviceToHost())
            Data->assign(8, 0xA5);
        return STATUS_SUCCESS;
    }
    NTSTATUS SelectAlternateSetting(uint8_t Setting) override {
        Calls.push_back("alt " + std::to_string(Setting));
        return STATUS_SUCCESS;
    }
    void OpenIsoEndpoint(uint8_t, bus::IsoTransferDone) override { Calls.push_back("open"); }
    void SubmitIso(bus::IsoTransfer*) override { Calls.push_back("submit"); }
    void AbortIsoEndpoint(uint8_t) override { Calls.push_back("abort"); }
    void Attached(bus::Port* Port) override { Where = Port; }
    void Detached() override { Calls.push_back("detached"); }
};

TEST(Bus, APortPassesRequestsOnUntilItsDeviceIsPulledOut) {
    host::ResetKernel();
    RecordingDevice device;
    bus::Bus bus;
    bus::Port* port = bus.Plug(&device);
    EXPECT_EQ(device.Where, port);
    EXPECT_EQ(bus::Bus::PortOf(port->Pdo()), port);
    EXPECT_EQ(bus::Bus::PortOf(host::CreateDeviceObject(nullptr)), nullptr);

    // The data stage of an IN request ends at wLength, whatever the device had to say.
    std::vector<uint8_t> data;
    EXPECT_EQ(port->ControlTransfer({0xC0, 3, 0, 16, 2}, &data), STATUS_SUCCESS);
    EXPECT_EQ(data, (std::vector<uint8_t>{0xA5, 0xA5}));
    data = {1, 2, 3, 4};
    EXPECT_EQ(port->ControlTransfer({0x40, 5, 0, 1, 4}, &data), STATUS_SUCCESS);
    // Its eight-byte answers are no descriptors: the bus cannot configure it, and tells the device nothing.
    EXPECT_EQ(port->Descriptors(), nullptr);
    EXPECT_EQ(port->SelectAlternateSetting(7), STATUS_DEVICE_DATA_ERROR);

    bus::IsoTransfer transfer(0x83, 4, 512);
    NTSTATUS handedBack = STATUS_PENDING;
    port->OpenIsoEndpoint(0x83, [&](bus::IsoTransfer* Transfer) { handedBack = Transfer->Status; });
    port->Unplug();
    port->Unplug();
    EXPECT_FALSE(port->Connected());
    data = {9};
    EXPECT_EQ(port->ControlTransfer({0xC0, 3, 0, 16, 2}, &data), bus::DEVICE_GONE_STATUS);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(port->SelectAlternateSetting(0), bus::DEVICE_GONE_STATUS);
    EXPECT_TRUE(port->InterfaceInformation().empty());
    port->SubmitIso(&transfer);
    EXPECT_EQ(handedBack, bus::DEVICE_GONE_STATUS);
    port->AbortIsoEndpoint(0x83);
    EXPECT_EQ(device.Calls, (std::vector<std::string>{"control 6 0", "control 6 0", "control 3 0",
                                                      "control 5 4", "open", "detached"}));
}

// A camera that goes before the bus leaves its port on the way, so the bus never reaches it again.
TEST(Bus, ACameraDestroyedFirstLeavesItsPort) {
    host::ResetKernel();
    bus::Bus bus;
    bus::Port* port = nullptr;
    {
        simcam::SimulatedCamera camera;
        port = bus.Plug(&camera);
        EXPECT_TRUE(port->Connected());
    }
    EXPECT_FALSE(port->Connected());
    std::vector<uint8_t> data;
    EXPECT_EQ(port->ControlTransfer({0xC0, 3, 0, 16, 2}, &data), bus::DEVICE_GONE_STATUS);
}

} // namespace
