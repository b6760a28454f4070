#include "host/bus/descriptors.h"

#include "host/bus/little_endian.h"
#include "host/bus/periodic_schedule.h"

#include <algorithm>
#include <cstring>

namespace bus {
namespace {

// What the stack leaves in a pipe's MaximumTransferSize until the client driver asks for more.
constexpr ULONG DEFAULT_TRANSFER_SIZE = 4096;

USBD_PIPE_TYPE PipeTypeOf(EndpointType Type) {
    switch (Type) {
    case EndpointType::Isochronous:
        return UsbdPipeTypeIsochronous;
    case EndpointType::Bulk:
        return UsbdPipeTypeBulk;
    case EndpointType::Interrupt:
        return UsbdPipeTypeInterrupt;
    default:
        return UsbdPipeTypeControl;
    }
}

void FillPipe(const EndpointDescriptor& Endpoint, uintptr_t Handle, USBD_PIPE_INFORMATION* Pipe) {
    Pipe->MaximumPacketSize = static_cast<USHORT>(BytesPerMicroframe(Endpoint.MaxPacketSize));
    Pipe->EndpointAddress = Endpoint.Address;
    Pipe->Interval = Endpoint.Interval;
    Pipe->PipeType = PipeTypeOf(Endpoint.Type());
    Pipe->PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(Handle);
}

// One interface or endpoint descriptor into Out; false with *Why set when it is cut short or belongs
// nowhere.
bool TakeDescriptor(const uint8_t* At, uint8_t Length, Configuration* Out, std::string* Why) {
    const uint8_t type = At[1];
    if (type == DESCRIPTOR_INTERFACE) {
        if (Length < INTERFACE_DESCRIPTOR_LENGTH) {
            *Why = "an interface descriptor is cut short";
            return false;
        }
        AlternateSetting setting;
        setting.Interface = At[2];
        setting.Setting = At[3];
        setting.Class = At[5];
        setting.SubClass = At[6];
        setting.Protocol = At[7];
        Out->Settings.push_back(setting);
    } else if (type == DESCRIPTOR_ENDPOINT) {
        if (Length < ENDPOINT_DESCRIPTOR_LENGTH || Out->Settings.empty()) {
            *Why = Length < ENDPOINT_DESCRIPTOR_LENGTH ? "an endpoint descriptor is cut short"
                                                       : "an endpoint descriptor precedes every interface";
            return false;
        }
        Out->Settings.back().Endpoints.push_back(EndpointDescriptor{At[2], At[3], ReadLe16(At + 4), At[6]});
    }
    return true;
}

} // namespace

const EndpointDescriptor* AlternateSetting::Endpoint(uint8_t Address) const {
    for (const EndpointDescriptor& endpoint : Endpoints) {
        if (endpoint.Address == Address)
            return &endpoint;
    }
    return nullptr;
}

const AlternateSetting* Configuration::Find(uint8_t Interface, uint8_t Setting) const {
    for (const AlternateSetting& setting : Settings) {
        if (setting.Interface == Interface && setting.Setting == Setting)
            return &setting;
    }
    return nullptr;
}

bool ReadDeviceIds(const std::vector<uint8_t>& Bytes, uint16_t* Vendor, uint16_t* Product) {
    if (Bytes.size() < DEVICE_DESCRIPTOR_LENGTH || Bytes[1] != DESCRIPTOR_DEVICE)
        return false;
    *Vendor = ReadLe16(&Bytes[8]);
    *Product = ReadLe16(&Bytes[10]);
    return true;
}

bool ParseConfiguration(const std::vector<uint8_t>& Bytes, Configuration* Out, std::string* Why) {
    *Out = Configuration();
    if (Bytes.size() < CONFIGURATION_DESCRIPTOR_LENGTH || Bytes[0] < CONFIGURATION_DESCRIPTOR_LENGTH ||
        Bytes[1] != DESCRIPTOR_CONFIGURATION) {
        *Why = "no configuration descriptor";
        return false;
    }
    const size_t total = ReadLe16(&Bytes[2]);
    if (total > Bytes.size() || total < CONFIGURATION_DESCRIPTOR_LENGTH) {
        *Why = "the configuration descriptor's total length does not match its bytes";
        return false;
    }
    Out->Value = Bytes[5];
    for (size_t at = Bytes[0]; at < total;) {
        const uint8_t length = Bytes[at];
        if (length < 2 || length > total - at) {
            *Why = "a descriptor's length leaves the configuration";
            return false;
        }
        if (!TakeDescriptor(&Bytes[at], length, Out, Why))
            return false;
        at += length;
    }
    return true;
}

std::vector<uint8_t> InterfaceInformation(const AlternateSetting& Setting, uintptr_t HandleBase) {
    const ULONG pipes = static_cast<ULONG>(Setting.Endpoints.size());
    std::vector<uint8_t> bytes(UsbInterfaceInformationSize(std::max<ULONG>(pipes, 1)), 0);
    auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(bytes.data());
    info->Length = static_cast<USHORT>(UsbInterfaceInformationSize(pipes));
    info->InterfaceNumber = Setting.Interface;
    info->Class = Setting.Class;
    info->SubClass = Setting.SubClass;
    info->Protocol = Setting.Protocol;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(HandleBase);
    info->NumberOfPipes = pipes;
    for (ULONG i = 0; i < pipes; ++i)
        info->Pipes[i].MaximumTransferSize = DEFAULT_TRANSFER_SIZE;
    FillInterfaceInformation(Setting, HandleBase, info);
    bytes.resize(info->Length);
    return bytes;
}

void FillInterfaceInformation(const AlternateSetting& Setting, uintptr_t HandleBase,
                              USBD_INTERFACE_INFORMATION* Interface) {
    Interface->AlternateSetting = Setting.Setting;
    const size_t header = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    const size_t room =
        Interface->Length > header ? (Interface->Length - header) / sizeof(USBD_PIPE_INFORMATION) : 0;
    const size_t pipes = std::min({room, size_t{Interface->NumberOfPipes}, Setting.Endpoints.size()});
    for (size_t i = 0; i < pipes; ++i)
        FillPipe(Setting.Endpoints[i], HandleBase + 0x10 + i, &Interface->Pipes[i]);
}

} // namespace bus
