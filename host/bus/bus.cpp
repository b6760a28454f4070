#include "host/bus/bus.h"

#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"

#include <algorithm>
#include <map>

namespace bus {
namespace {

// Every port on every bus by its physical device object: the library finds a device from the PDO it is
// handed at initialise-device, as its requests would travel down to that PDO.
struct PortTable {
    host::Mutex Mutex;
    std::map<PDEVICE_OBJECT, Port*> ByPdo;
};

PortTable& AllPorts() {
    static PortTable* table = new PortTable;
    return *table;
}

// The bus driver's answer to requests at a device's PDO: it answers nothing the minidriver might ask,
// so the request completes as it came.
NTSTATUS PdoDispatch(PDEVICE_OBJECT, PIRP Irp) {
    const NTSTATUS status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, 0);
    return status;
}

} // namespace

IsoTransfer::IsoTransfer(uint8_t Endpoint, uint32_t PacketCount, uint32_t PacketSize)
    : Endpoint(Endpoint), PacketSize(PacketSize), Buffer(size_t(PacketCount) * PacketSize),
      Packets(PacketCount), Lent(PacketCount, nullptr) {
    for (uint32_t i = 0; i < PacketCount; ++i)
        Packets[i] = USBD_ISO_PACKET_DESCRIPTOR{i * PacketSize, 0, USBD_STATUS_SUCCESS};
}

void IsoTransfer::Reset() {
    std::fill(Lent.begin(), Lent.begin() + Count, nullptr);
    Keep.reset();
    Count = 0;
    Status = STATUS_SUCCESS;
    Completed100ns = 0;
}

// ---- port ----------------------------------------------------------------------------------------------

std::vector<uint8_t> Port::InterfaceInformation() const {
    return connected_ ? device_->InterfaceInformation() : std::vector<uint8_t>();
}

NTSTATUS Port::ControlTransfer(const SetupPacket& Setup, std::vector<uint8_t>* Data) {
    if (!connected_) {
        if (Setup.DeviceToHost())
            Data->clear();
        return DEVICE_GONE_STATUS;
    }
    const NTSTATUS status = device_->ControlTransfer(Setup, Data);
    if (Setup.DeviceToHost() && Data->size() > Setup.Length)
        Data->resize(Setup.Length); // the data stage ends at wLength, whatever the device had to say
    return status;
}

NTSTATUS Port::SelectAlternateSetting(uint8_t Setting) {
    return connected_ ? device_->SelectAlternateSetting(Setting) : DEVICE_GONE_STATUS;
}

void Port::OpenIsoEndpoint(uint8_t Endpoint, IsoTransferDone Done) {
    {
        std::lock_guard<host::Mutex> lock(doneMutex_);
        bool found = false;
        for (auto& entry : done_) {
            if (entry.first == Endpoint) {
                entry.second = Done;
                found = true;
            }
        }
        if (!found)
            done_.emplace_back(Endpoint, Done);
    }
    if (connected_)
        device_->OpenIsoEndpoint(Endpoint, std::move(Done));
}

void Port::SubmitIso(IsoTransfer* Transfer) {
    if (connected_) {
        device_->SubmitIso(Transfer);
        return;
    }
    IsoTransferDone done;
    {
        std::lock_guard<host::Mutex> lock(doneMutex_);
        for (auto& entry : done_) {
            if (entry.first == Transfer->Endpoint)
                done = entry.second;
        }
    }
    Transfer->Count = 0;
    Transfer->Status = DEVICE_GONE_STATUS;
    if (done)
        done(Transfer);
}

void Port::AbortIsoEndpoint(uint8_t Endpoint) {
    // A device that is gone handed its transfers back as it went.
    if (connected_)
        device_->AbortIsoEndpoint(Endpoint);
}

void Port::Unplug() {
    if (!connected_.exchange(false))
        return;
    device_->Detached();
}

// ---- bus -----------------------------------------------------------------------------------------------

Bus::~Bus() {
    PortTable& table = AllPorts();
    for (auto& port : ports_) {
        port->Unplug();
        std::lock_guard<host::Mutex> lock(table.Mutex);
        table.ByPdo.erase(port->Pdo());
    }
}

Port* Bus::Plug(UsbDevice* Device) {
    PDEVICE_OBJECT pdo = host::CreateDeviceObject(PdoDispatch);
    ports_.push_back(std::unique_ptr<Port>(new Port(Device, pdo)));
    Port* port = ports_.back().get();
    {
        PortTable& table = AllPorts();
        std::lock_guard<host::Mutex> lock(table.Mutex);
        table.ByPdo[pdo] = port;
    }
    Device->Attached(port);
    return port;
}

Port* Bus::PortOf(PDEVICE_OBJECT Pdo) {
    PortTable& table = AllPorts();
    std::lock_guard<host::Mutex> lock(table.Mutex);
    auto it = table.ByPdo.find(Pdo);
    return it == table.ByPdo.end() ? nullptr : it->second;
}

} // namespace bus
