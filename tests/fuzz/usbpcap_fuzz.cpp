// The USBPcap reader over any bytes, and the replay device made of what it keeps: a file is refused with
// a one-line reason, or every packet it keeps lies inside the file and every transfer's packets are
// among those kept; the device then comes up on a high-speed bus from its recorded descriptors and
// answers each recorded request, its answers no longer than the request allows.
#include "host/bus/bus.h"
#include "host/bus/replay_device.h"
#include "host/bus/usbpcap_reader.h"
#include "host/kernel/kernel_host.h"
#include "tests/fuzz/fuzz_support.h"

#include <memory>
#include <string>

namespace {

void CheckRecording(const bus::UsbRecording& Recording, size_t Size) {
    FUZZ_CHECK(!Recording.Transfers.empty());
    FUZZ_CHECK(Recording.Skipped <= Recording.Records);
    for (const bus::RecordedPacket& packet : Recording.Packets)
        FUZZ_CHECK(packet.At <= Size && packet.Length <= Size - packet.At);
    for (const bus::RecordedTransfer& transfer : Recording.Transfers) {
        FUZZ_CHECK((transfer.Endpoint & 0x80) != 0);
        FUZZ_CHECK(transfer.First <= Recording.Packets.size() &&
                   transfer.Count <= Recording.Packets.size() - transfer.First);
    }
}

// Up on a bus as the library brings a camera up, then every request the recording made, once more.
// The host is made afresh around it, so that nothing the input made in it outlives the input.
void PlayBack(const std::shared_ptr<const bus::UsbRecording>& Recording) {
    host::ResetKernel();
    {
        bus::Bus bus(bus::BusModel::HighSpeed);
        bus::ReplayDevice device(Recording);
        bus::Port* port = bus.Plug(&device);
        if (const bus::Configuration* descriptors = port->Descriptors()) {
            for (const bus::AlternateSetting& setting : descriptors->Settings) {
                if (NT_SUCCESS(port->SelectConfiguration(setting.Setting)))
                    FUZZ_CHECK(!port->InterfaceInformation().empty());
            }
        }
        for (const bus::RecordedControl& control : Recording->Controls) {
            std::vector<uint8_t> data = control.Data;
            port->ControlTransfer(control.Setup, &data);
            FUZZ_CHECK(!control.Setup.DeviceToHost() || data.size() <= control.Setup.Length);
        }
    }
    host::ResetKernel();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    std::shared_ptr<uint8_t> bytes(new uint8_t[Size == 0 ? 1 : Size], std::default_delete<uint8_t[]>());
    if (Size != 0)
        std::memcpy(bytes.get(), Data, Size);
    auto recording = std::make_shared<bus::UsbRecording>();
    std::string why;
    if (!bus::ReadUsbPcap(bytes, Size, recording.get(), &why)) {
        FUZZ_CHECK(!why.empty() && why.find('\n') == std::string::npos);
        return 0;
    }
    CheckRecording(*recording, Size);
    PlayBack(recording);
    return 0;
}
