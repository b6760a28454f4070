#include "host/bus/bus.h"

#include "host/bus/periodic_schedule.h"
#include "host/bus/usbpcap_writer.h"
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

// Where the interface's and its pipes' handles begin, as the stack hands them out.
constexpr uintptr_t INTERFACE_HANDLE_BASE = 0x1F00;

// The URB function a control request goes down as: what a client driver would have sent for it.
uint16_t ControlFunction(const SetupPacket& Setup) {
    const uint8_t type = Setup.RequestType & REQUEST_TYPE_MASK;
    if (type == REQUEST_TYPE_VENDOR)
        return URB_FUNCTION_VENDOR_DEVICE;
    if (type == 0x20)
        return URB_FUNCTION_CLASS_DEVICE;
    if (Setup.Request == REQUEST_GET_DESCRIPTOR && Setup.DeviceToHost())
        return URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    return URB_FUNCTION_CONTROL_TRANSFER;
}

std::string Thousands(uint32_t Value) {
    std::string digits = std::to_string(Value);
    for (size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

} // namespace

USBD_STATUS UsbdStatusOf(NTSTATUS Status) {
    switch (Status) {
    case STATUS_SUCCESS:
        return USBD_STATUS_SUCCESS;
    case STATUS_UNSUCCESSFUL:
        return USBD_STATUS_STALL_PID;
    case DEVICE_GONE_STATUS:
    case STATUS_DEVICE_NOT_CONNECTED:
        return USBD_STATUS_DEVICE_GONE;
    case STATUS_CANCELLED:
        return USBD_STATUS_CANCELED;
    case NO_BANDWIDTH_STATUS:
        return NO_BANDWIDTH_USBD_STATUS;
    default:
        return NT_SUCCESS(Status) ? USBD_STATUS_SUCCESS : USBD_STATUS_INTERNAL_HC_ERROR;
    }
}

NTSTATUS NtStatusOf(USBD_STATUS Status) {
    switch (Status) {
    case USBD_STATUS_SUCCESS:
        return STATUS_SUCCESS;
    case USBD_STATUS_DEVICE_GONE:
        return DEVICE_GONE_STATUS;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case NO_BANDWIDTH_USBD_STATUS:
        return NO_BANDWIDTH_STATUS;
    default:
        return Status >= 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
}

IsoTransfer::IsoTransfer(uint8_t Endpoint, uint32_t PacketCount, uint32_t PacketSize)
    : Endpoint(Endpoint), PacketSize(PacketSize), Buffer(size_t(PacketCount) * PacketSize),
      Packets(PacketCount), Lent(PacketCount, nullptr) {
    for (uint32_t i = 0; i < PacketCount; ++i)
        Packets[i] = USBD_ISO_PACKET_DESCRIPTOR{i * PacketSize, 0, USBD_STATUS_SUCCESS};
}

// Every packet's lent bytes go, not only the counted ones': a transfer taken back unfinished (cancelled,
// or from a device that is gone) comes back with no packets counted, and a lent pointer left behind
// would have a later packet copied into the buffer read from memory the lender no longer keeps.
void RefuseTransfer(IsoTransfer* Transfer, bool Plugged, const IsoTransferDone& Done) {
    Transfer->Count = 0;
    Transfer->Status = Plugged ? STATUS_CANCELLED : DEVICE_GONE_STATUS;
    if (Done)
        Done(Transfer);
}

void IsoTransfer::Reset() {
    std::fill(Lent.begin(), Lent.end(), nullptr);
    Keep.reset();
    Count = 0;
    Status = STATUS_SUCCESS;
    Completed100ns = 0;
    StartMicroframe = 0;
}

// ---- port: enumeration and settings ---------------------------------------------------------------------

bool Port::Paced() const {
    return bus_->Model() == BusModel::HighSpeed;
}

NTSTATUS Port::ReadDescriptor(uint8_t Type, uint16_t Length, std::vector<uint8_t>* Bytes) {
    Bytes->clear();
    const SetupPacket setup{REQUEST_DEVICE_TO_HOST, REQUEST_GET_DESCRIPTOR, static_cast<uint16_t>(Type << 8),
                            0, Length};
    return ControlTransfer(setup, Bytes);
}

// As the hub driver does with a new device: its device descriptor, then the configuration descriptor's
// first nine bytes for its total length, then all of it.
void Port::Enumerate() {
    std::vector<uint8_t> head;
    NTSTATUS status = ReadDescriptor(DESCRIPTOR_DEVICE, DEVICE_DESCRIPTOR_LENGTH, &deviceDescriptor_);
    if (NT_SUCCESS(status))
        status = ReadDescriptor(DESCRIPTOR_CONFIGURATION, CONFIGURATION_DESCRIPTOR_LENGTH, &head);
    if (NT_SUCCESS(status) && head.size() == CONFIGURATION_DESCRIPTOR_LENGTH)
        status = ReadDescriptor(DESCRIPTOR_CONFIGURATION, static_cast<uint16_t>(head[2] | head[3] << 8),
                                &configurationDescriptor_);
    if (!NT_SUCCESS(status)) {
        enumerationFailure_ = "the device did not answer for its descriptors";
        return;
    }
    if (deviceDescriptor_.size() != DEVICE_DESCRIPTOR_LENGTH || deviceDescriptor_[1] != DESCRIPTOR_DEVICE) {
        enumerationFailure_ = "the device's device descriptor is malformed";
        return;
    }
    enumerated_ = ParseConfiguration(configurationDescriptor_, &configuration_, &enumerationFailure_);
}

const AlternateSetting* Port::CurrentSetting() const {
    std::lock_guard<host::Mutex> lock(mutex_);
    return current_ < 0 ? nullptr : &configuration_.Settings[current_];
}

std::vector<uint8_t> Port::InterfaceInformation() const {
    const AlternateSetting* setting = CurrentSetting();
    if (!connected_ || setting == nullptr)
        return std::vector<uint8_t>();
    return bus::InterfaceInformation(*setting, INTERFACE_HANDLE_BASE);
}

std::string Port::BandwidthRefusal() const {
    std::lock_guard<host::Mutex> lock(mutex_);
    return refusal_;
}

uint32_t Port::ReservedBytes() const {
    std::lock_guard<host::Mutex> lock(bus_->reservations_);
    auto it = bus_->reserved_.find(this);
    return it == bus_->reserved_.end() ? 0 : it->second;
}

// A select the stack refuses before the device hears of it, recorded as it went down and came back.
NTSTATUS Port::Refused(const SetupPacket& Setup, uint16_t Function, const std::string& Why) {
    const uint64_t request = bus_->NextRequestId();
    RecordControl(Setup, Function, request, NO_BANDWIDTH_STATUS, nullptr, false);
    RecordControl(Setup, Function, request, NO_BANDWIDTH_STATUS, nullptr, true);
    std::lock_guard<host::Mutex> lock(mutex_);
    refusal_ = Why;
    return NO_BANDWIDTH_STATUS;
}

// The device into Setting of the interface, after SET_CONFIGURATION when Configure says so; the
// setting's bandwidth is reserved first and given back if the device refuses.
NTSTATUS Port::EnterSetting(uint8_t Setting, bool Configure) {
    if (!connected_)
        return DEVICE_GONE_STATUS;
    if (!enumerated_)
        return STATUS_DEVICE_DATA_ERROR;
    const AlternateSetting* wanted = configuration_.Find(INTERFACE_NUMBER, Setting);
    if (wanted == nullptr)
        return STATUS_INVALID_PARAMETER;
    const uint16_t function = Configure ? URB_FUNCTION_SELECT_CONFIGURATION : URB_FUNCTION_SELECT_INTERFACE;
    const SetupPacket setup =
        Configure ? SetupPacket{0x00, REQUEST_SET_CONFIGURATION, configuration_.Value, 0, 0}
                  : SetupPacket{REQUEST_TO_INTERFACE, REQUEST_SET_INTERFACE, Setting, INTERFACE_NUMBER, 0};
    const uint32_t before = ReservedBytes();
    std::string why;
    if (!bus_->Reserve(this, Paced() ? PeriodicBytes(*wanted) : 0, &why))
        return Refused(setup, function, "alternate setting " + std::to_string(Setting) + " " + why);
    const uint64_t request = bus_->NextRequestId();
    RecordControl(setup, function, request, STATUS_SUCCESS, nullptr, false);
    std::vector<uint8_t> none;
    NTSTATUS status = Configure ? device_->ControlTransfer(setup, &none) : STATUS_SUCCESS;
    if (NT_SUCCESS(status) && (!Configure || Setting != 0))
        status = device_->SelectAlternateSetting(Setting);
    RecordControl(setup, function, request, status, nullptr, true);
    if (!NT_SUCCESS(status)) {
        bus_->Reserve(this, before, &why);
        return status;
    }
    std::lock_guard<host::Mutex> lock(mutex_);
    current_ = static_cast<int>(wanted - configuration_.Settings.data());
    refusal_.clear();
    return status;
}

NTSTATUS Port::SelectConfiguration(uint8_t Setting) {
    return EnterSetting(Setting, true);
}

NTSTATUS Port::SelectAlternateSetting(uint8_t Setting, USBD_INTERFACE_INFORMATION* Interface) {
    const NTSTATUS status = EnterSetting(Setting, false);
    if (NT_SUCCESS(status) && Interface != nullptr)
        DescribeSetting(Interface);
    return status;
}

void Port::DescribeSetting(USBD_INTERFACE_INFORMATION* Interface) const {
    if (const AlternateSetting* setting = CurrentSetting())
        FillInterfaceInformation(*setting, INTERFACE_HANDLE_BASE, Interface);
}

// ---- port: transfers ------------------------------------------------------------------------------------

void Port::RecordControl(const SetupPacket& Setup, uint16_t Function, uint64_t Request, NTSTATUS Status,
                         const std::vector<uint8_t>* Data, bool Done) {
    UsbPcapWriter* writer = bus_->Recorder();
    if (writer == nullptr)
        return;
    const RecordPlace where{bus_->Number(), address_};
    const int64_t now = host::ClockNow100ns();
    if (Done)
        writer->ControlCompleted(where, Request, Function, Setup, UsbdStatusOf(Status), Data, now);
    else
        writer->ControlSubmitted(where, Request, Function, Setup, Data, now);
}

NTSTATUS Port::ControlTransfer(const SetupPacket& Setup, std::vector<uint8_t>* Data) {
    if (!connected_) {
        if (Setup.DeviceToHost())
            Data->clear();
        return DEVICE_GONE_STATUS;
    }
    const uint16_t function = ControlFunction(Setup);
    const uint64_t request = bus_->NextRequestId();
    RecordControl(Setup, function, request, STATUS_SUCCESS, Setup.DeviceToHost() ? nullptr : Data, false);
    const NTSTATUS status = device_->ControlTransfer(Setup, Data);
    if (Setup.DeviceToHost() && Data->size() > Setup.Length)
        Data->resize(Setup.Length); // the data stage ends at wLength, whatever the device had to say
    RecordControl(Setup, function, request, status, Setup.DeviceToHost() ? Data : nullptr, true);
    return status;
}

void Port::OpenIsoEndpoint(uint8_t Endpoint, IsoTransferDone Done) {
    {
        std::lock_guard<host::Mutex> lock(mutex_);
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
        device_->OpenIsoEndpoint(
            Endpoint, [this, Endpoint, Done](IsoTransfer* Transfer) { Completed(Endpoint, Done, Transfer); });
}

void Port::SubmitIso(IsoTransfer* Transfer) {
    Transfer->RequestId = uint64_t{bus_->Number()} << 48 | bus_->NextRequestId();
    if (connected_) {
        if (UsbPcapWriter* writer = bus_->Recorder())
            writer->IsoSubmitted(RecordPlace{bus_->Number(), address_}, *Transfer, host::ClockNow100ns());
        device_->SubmitIso(Transfer);
        return;
    }
    IsoTransferDone done;
    {
        std::lock_guard<host::Mutex> lock(mutex_);
        for (auto& entry : done_) {
            if (entry.first == Transfer->Endpoint)
                done = entry.second;
        }
    }
    RefuseTransfer(Transfer, false, done);
}

// A high-speed endpoint is served once every ServiceMicroframes and carries one packet of at most its
// bytes per microframe each time: a packet longer than that is cut there (babble), and a transfer whose
// packets came faster than their microframes allow is held back, in the device's thread, until its last
// packet's microframe has passed. A device that keeps its own pace to the microframes, as the camera
// does, is never held.
void Port::Pace(uint8_t Endpoint, IsoTransfer* Transfer) {
    const AlternateSetting* setting = CurrentSetting();
    const EndpointDescriptor* endpoint = setting == nullptr ? nullptr : setting->Endpoint(Endpoint);
    const uint32_t room = endpoint == nullptr ? 0 : BytesPerMicroframe(endpoint->MaxPacketSize);
    const uint64_t service = endpoint == nullptr ? 1 : ServiceMicroframes(*endpoint);
    for (uint32_t i = 0; i < Transfer->Count; ++i) {
        if (Transfer->Packets[i].Length > room) {
            Transfer->Packets[i].Length = room;
            Transfer->Packets[i].Status = USBD_STATUS_BABBLE_DETECTED;
        }
    }
    const uint64_t span = (Transfer->Count - 1) * service;
    const uint64_t last = MicroframeAt(Transfer->Completed100ns - 1);
    uint64_t start = last >= span ? last - span : 0;
    {
        std::lock_guard<host::Mutex> lock(mutex_);
        uint64_t& next = nextMicroframe_[Endpoint];
        start = std::max(start, next);
        next = start + span + service;
    }
    Transfer->StartMicroframe = start;
    const int64_t end = MicroframeEnd(start + span);
    if (end > Transfer->Completed100ns) {
        Transfer->Completed100ns = end;
        host::ClockWait([]() { return false; }, end);
    }
}

// Every transfer a device hands back passes here on its way to the client: paced on a high-speed bus,
// and recorded.
void Port::Completed(uint8_t Endpoint, const IsoTransferDone& Done, IsoTransfer* Transfer) {
    if (Transfer->Status == STATUS_SUCCESS && Transfer->Count != 0) {
        if (Paced()) {
            Pace(Endpoint, Transfer);
        } else {
            const uint64_t last = MicroframeAt(Transfer->Completed100ns - 1);
            Transfer->StartMicroframe = last - std::min<uint64_t>(last, Transfer->Count - 1);
        }
    }
    if (UsbPcapWriter* writer = bus_->Recorder()) {
        const int64_t time = Transfer->Count != 0 ? Transfer->Completed100ns : host::ClockNow100ns();
        writer->IsoCompleted(RecordPlace{bus_->Number(), address_}, *Transfer, time);
    }
    Done(Transfer);
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
    std::string unused;
    bus_->Reserve(this, 0, &unused);
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
    const uint16_t address = static_cast<uint16_t>(ports_.size() + 1);
    ports_.push_back(std::unique_ptr<Port>(new Port(this, Device, pdo, address)));
    Port* port = ports_.back().get();
    {
        PortTable& table = AllPorts();
        std::lock_guard<host::Mutex> lock(table.Mutex);
        table.ByPdo[pdo] = port;
    }
    Device->Attached(port);
    port->Enumerate();
    return port;
}

uint32_t Bus::ReservedBytes() const {
    std::lock_guard<host::Mutex> lock(reservations_);
    uint32_t total = 0;
    for (const auto& entry : reserved_)
        total += entry.second;
    return total;
}

bool Bus::Reserve(Port* Where, uint32_t Bytes, std::string* Why) {
    std::lock_guard<host::Mutex> lock(reservations_);
    uint32_t others = 0;
    for (const auto& entry : reserved_) {
        if (entry.first != Where)
            others += entry.second;
    }
    if (others + Bytes > PERIODIC_BUDGET_BYTES) {
        const uint32_t free = PERIODIC_BUDGET_BYTES - std::min(others, PERIODIC_BUDGET_BYTES);
        *Why = "needs " + Thousands(Bytes) + " of the bus's " + Thousands(PERIODIC_BUDGET_BYTES) +
               " periodic bytes a microframe and " + Thousands(free) + " are free";
        return false;
    }
    if (Bytes == 0)
        reserved_.erase(Where);
    else
        reserved_[Where] = Bytes;
    return true;
}

Port* Bus::PortOf(PDEVICE_OBJECT Pdo) {
    PortTable& table = AllPorts();
    std::lock_guard<host::Mutex> lock(table.Mutex);
    auto it = table.ByPdo.find(Pdo);
    return it == table.ByPdo.end() ? nullptr : it->second;
}

} // namespace bus
