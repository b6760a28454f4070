// The bus between the camera class library and a device: what a port passes on while the device is
// plugged in, and what it refuses, without touching the device, once it has been pulled out.
#include "host/bus/bus.h"
#include "host/bus/periodic_schedule.h"
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

namespace {

// A transfer taken back unfinished (cancelled, or from a device that is gone) comes back with no packets
// counted; submitted again, none of its packets may still name memory a device lent it before.
TEST(Bus, AResetTransferLendsNoPacketFromBefore) {
    static const uint8_t before[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    bus::IsoTransfer transfer(0x83, 2, 8);
    transfer.Lent[1] = before;
    transfer.Count = 0;
    transfer.Reset();
    EXPECT_EQ(transfer.PacketData(1), transfer.Buffer.data() + 8);
}

// wMaxPacketSize as a high-speed endpoint declares its bytes a microframe (bits 11-12: the transactions
// after the first), and what an isochronous endpoint reserves of each microframe: every transaction's
// payload and its 38 bytes of protocol.
TEST(HighSpeed, PacketSizesAndTheBandwidthTheyReserve) {
    struct Case {
        uint32_t Bytes;
        bool Valid;
        uint16_t MaxPacketSize;
        uint32_t Reserved;
    };
    const Case cases[] = {
        {1, true, 0x0001, 39},      {512, true, 0x0200, 550},   {1023, true, 0x03FF, 1061},
        {1024, true, 0x0400, 1062}, {1025, false, 0, 0},        {1536, true, 0x0B00, 1612},
        {2048, true, 0x0C00, 2124}, {2049, true, 0x12AB, 2163}, {2050, false, 0, 0},
        {3072, true, 0x1400, 3186}, {3073, false, 0, 0},        {0, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Bytes);
        uint16_t encoded = 0;
        ASSERT_EQ(bus::EncodeMaxPacketSize(c.Bytes, &encoded), c.Valid);
        if (!c.Valid)
            continue;
        EXPECT_EQ(encoded, c.MaxPacketSize);
        EXPECT_EQ(bus::BytesPerMicroframe(encoded), c.Bytes);
        EXPECT_EQ(bus::PeriodicBytes(bus::EndpointDescriptor{0x83, 0x05, encoded, 1}), c.Reserved);
    }
    EXPECT_EQ(bus::BytesPerMicroframe(0x1800 | 1024), 0u) << "bits 11-12 at 3 are reserved";
    EXPECT_EQ(bus::PeriodicBytes(bus::EndpointDescriptor{0x84, 0x03, 64, 8}), 64u + 55u) << "interrupt";
    EXPECT_EQ(bus::PeriodicBytes(bus::EndpointDescriptor{0x82, 0x02, 512, 0}), 0u) << "bulk reserves nothing";
    EXPECT_EQ(bus::ServiceMicroframes(bus::EndpointDescriptor{0x84, 0x03, 64, 8}), 128u);
    EXPECT_EQ(bus::ServiceMicroframes(bus::EndpointDescriptor{0x81, 0x05, 64, 0}), 1u);
}

// The camera as a high-speed bus reads it: its test IDs, four pipes in every setting, each data pipe's
// bytes a microframe as MaximumPacketSize, setting 0 with the most bandwidth and 7 with none; a camera
// made to carry fewer bytes in setting 0 carries at most as many in the others.
TEST(HighSpeed, TheCameraDescriptorsGiveEachSettingItsPipesAndBandwidth) {
    struct Case {
        uint16_t Setting0;
        uint8_t Setting;
        USHORT Data;
        uint32_t Reserved; // two header pipes, the data pipe, the event pipe
    };
    const Case cases[] = {
        {3072, 0, 3072, 204 + 3186 + 119}, {3072, 1, 2688, 204 + 2802 + 119},
        {3072, 2, 2048, 204 + 2124 + 119}, {3072, 3, 1536, 204 + 1612 + 119},
        {3072, 4, 1024, 204 + 1062 + 119}, {3072, 5, 768, 204 + 806 + 119},
        {3072, 6, 512, 204 + 550 + 119},   {3072, 7, 0, 0},
        {1023, 0, 1023, 204 + 1061 + 119}, {1023, 1, 1023, 204 + 1061 + 119},
        {1023, 6, 512, 204 + 550 + 119},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Setting0) + " setting " + std::to_string(c.Setting));
        host::ResetKernel();
        bus::Bus bus(bus::BusModel::HighSpeed);
        simcam::CameraConfig config;
        config.DataPacketSize = c.Setting0;
        simcam::SimulatedCamera camera(config);
        bus::Port* port = bus.Plug(&camera);
        uint16_t vendor = 0;
        uint16_t product = 0;
        ASSERT_TRUE(bus::ReadDeviceIds(port->DeviceDescriptor(), &vendor, &product));
        EXPECT_EQ(vendor, 0x1209);
        EXPECT_EQ(product, 0x0001);
        ASSERT_EQ(port->SelectConfiguration(c.Setting), STATUS_SUCCESS);
        EXPECT_EQ(camera.AlternateSetting(), c.Setting);
        EXPECT_EQ(port->ReservedBytes(), c.Reserved);
        const std::vector<uint8_t> bytes = port->InterfaceInformation();
        ASSERT_EQ(bytes.size(), UsbInterfaceInformationSize(4));
        const auto* info = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(bytes.data());
        EXPECT_EQ(info->AlternateSetting, c.Setting);
        const USHORT header = c.Setting == 7 ? 0 : 64;
        EXPECT_EQ(info->Pipes[0].MaximumPacketSize, header);
        EXPECT_EQ(info->Pipes[1].MaximumPacketSize, header);
        EXPECT_EQ(info->Pipes[2].MaximumPacketSize, c.Data);
        EXPECT_EQ(info->Pipes[2].EndpointAddress, simcam::DATA_ENDPOINT);
        EXPECT_EQ(info->Pipes[2].PipeType, UsbdPipeTypeIsochronous);
        EXPECT_EQ(info->Pipes[3].PipeType, UsbdPipeTypeInterrupt);
        EXPECT_EQ(info->Pipes[3].Interval, 8);
    }
}

// A setting's bandwidth is reserved in place of the last one's; one that does not fit is refused as the
// platform's stack refuses it, and the device is told nothing; the idle setting and unplugging free it.
// An ideal bus takes every setting.
TEST(HighSpeed, SettingsReserveTheBusAndTwoCamerasAtFullBandwidthDoNotFit) {
    host::ResetKernel();
    bus::Bus bus(bus::BusModel::HighSpeed);
    simcam::SimulatedCamera first;
    simcam::SimulatedCamera second;
    bus::Port* a = bus.Plug(&first);
    bus::Port* b = bus.Plug(&second);
    ASSERT_EQ(a->SelectConfiguration(7), STATUS_SUCCESS);
    ASSERT_EQ(b->SelectConfiguration(7), STATUS_SUCCESS);
    EXPECT_EQ(bus.ReservedBytes(), 0u);
    ASSERT_EQ(a->SelectAlternateSetting(0), STATUS_SUCCESS);
    EXPECT_EQ(bus.ReservedBytes(), 3509u);
    EXPECT_EQ(b->SelectAlternateSetting(0), bus::NO_BANDWIDTH_STATUS);
    EXPECT_EQ(b->BandwidthRefusal(), "alternate setting 0 needs 3,509 of the bus's 6,000 periodic bytes a "
                                     "microframe and 2,491 are free");
    EXPECT_EQ(second.AlternateSetting(), 7);
    EXPECT_EQ(b->ReservedBytes(), 0u);
    ASSERT_EQ(b->SelectAlternateSetting(2), STATUS_SUCCESS) << "2,447 bytes fit beside 3,509";
    EXPECT_TRUE(b->BandwidthRefusal().empty());
    EXPECT_EQ(bus.ReservedBytes(), 3509u + 2447u);
    ASSERT_EQ(a->SelectAlternateSetting(7), STATUS_SUCCESS);
    ASSERT_EQ(b->SelectAlternateSetting(0), STATUS_SUCCESS);
    b->Unplug();
    EXPECT_EQ(bus.ReservedBytes(), 0u);

    bus::Bus ideal;
    simcam::SimulatedCamera third;
    simcam::SimulatedCamera fourth;
    for (simcam::SimulatedCamera* camera : {&third, &fourth}) {
        bus::Port* port = ideal.Plug(camera);
        ASSERT_EQ(port->SelectConfiguration(0), STATUS_SUCCESS);
        EXPECT_EQ(port->SelectAlternateSetting(0), STATUS_SUCCESS);
    }
    EXPECT_EQ(ideal.ReservedBytes(), 0u);
}

// A device that hands every transfer back at once, full of packets longer than its endpoint declares.
struct HastyDevice : bus::UsbDevice {
    bus::IsoTransferDone Done;
    NTSTATUS ControlTransfer(const bus::SetupPacket& Setup, std::vector<uint8_t>* Data) override {
        if (Setup.Request != bus::REQUEST_GET_DESCRIPTOR)
            return STATUS_SUCCESS;
        if (Setup.Value >> 8 == bus::DESCRIPTOR_DEVICE)
            *Data = {18, 1, 0, 2, 0xFF, 0, 0, 64, 0x09, 0x12, 1, 0, 0, 1, 0, 0, 0, 1};
        else // one interface, one setting, an isochronous IN endpoint of 512 bytes a microframe
            *Data = {9, 2,    25, 0, 1, 1, 0, 0x80, 50,   9,    4,    0, 0,
                     1, 0xFF, 0,  0, 0, 7, 5, 0x81, 0x05, 0x00, 0x02, 1};
        return STATUS_SUCCESS;
    }
    NTSTATUS SelectAlternateSetting(uint8_t) override { return STATUS_SUCCESS; }
    void OpenIsoEndpoint(uint8_t, bus::IsoTransferDone Handed) override { Done = std::move(Handed); }
    void SubmitIso(bus::IsoTransfer* Transfer) override {
        Transfer->Reset();
        for (uint32_t i = 0; i < Transfer->Capacity(); ++i)
            Transfer->Packets[i].Length = 600;
        Transfer->Count = Transfer->Capacity();
        Transfer->Completed100ns = host::ClockNow100ns();
        Done(Transfer);
    }
    void AbortIsoEndpoint(uint8_t) override {}
    void Detached() override {}
};

// A high-speed bus carries a packet a microframe of at most the endpoint's bytes: a device faster than
// that is held until its packets' microframes have passed, and longer packets are cut there (babble).
// An ideal bus hands them on as they came.
TEST(HighSpeed, ATransferTakesAMicroframeAPacket) {
    for (bus::BusModel model : {bus::BusModel::HighSpeed, bus::BusModel::Ideal}) {
        const bool paced = model == bus::BusModel::HighSpeed;
        SCOPED_TRACE(paced ? "high speed" : "ideal");
        host::ResetKernel();
        host::ClockSetMode(host::ClockMode::Virtual);
        HastyDevice device; // outlives the bus, which unplugs it as it goes
        bus::Bus bus(model);
        bus::Port* port = bus.Plug(&device);
        ASSERT_EQ(port->SelectConfiguration(0), STATUS_SUCCESS);
        std::vector<int64_t> completed;
        port->OpenIsoEndpoint(
            0x81, [&](bus::IsoTransfer* Transfer) { completed.push_back(Transfer->Completed100ns); });
        bus::IsoTransfer transfer(0x81, 1024, 1024);
        port->SubmitIso(&transfer);
        port->SubmitIso(&transfer);
        const int64_t microframes = paced ? 1024 : 0;
        EXPECT_EQ(completed, (std::vector<int64_t>{microframes * 1250, 2 * microframes * 1250}));
        EXPECT_EQ(host::ClockNow100ns(), 2 * microframes * 1250);
        EXPECT_EQ(transfer.StartMicroframe, uint64_t(microframes));
        EXPECT_EQ(transfer.Packets[1023].Length, paced ? 512u : 600u);
        EXPECT_EQ(transfer.Packets[1023].Status, paced ? USBD_STATUS_BABBLE_DETECTED : USBD_STATUS_SUCCESS);
    }
}

} // namespace
