// The library's vendor requests and alternate-setting selection: synchronous control transfers to the
// camera through its port on the bus, each recorded in the device's trace with the clock's time.
#include "host/cameralib/library_device.h"
#include "host/kernel/kernel_host.h"

#include <algorithm>
#include <cstring>
#include <mutex>

namespace {

constexpr UCHAR REQUEST_WRITE_REGISTER = 5;
constexpr UCHAR REQUEST_SEND_BLOCK = 7;
// Host-to-device requests of this camera whose data stage the driver hands over with a length of 0;
// the library knows their size.
constexpr ULONG WRITE_REGISTER_BYTES = 4;
constexpr ULONG SEND_BLOCK_BYTES = 3;
// Vendor requests to the device, with their data stage to the host or to the device.
constexpr uint8_t VENDOR_IN = bus::REQUEST_DEVICE_TO_HOST | bus::REQUEST_TYPE_VENDOR | bus::REQUEST_TO_DEVICE;
constexpr uint8_t VENDOR_OUT = bus::REQUEST_TYPE_VENDOR | bus::REQUEST_TO_DEVICE;

// Bytes a host-to-device request carries to the camera.
ULONG OutgoingBytes(UCHAR Request, PVOID Buffer, ULONG Length) {
    if (!Buffer)
        return 0;
    if (Length != 0)
        return Length;
    if (Request == REQUEST_WRITE_REGISTER)
        return WRITE_REGISTER_BYTES;
    if (Request == REQUEST_SEND_BLOCK)
        return SEND_BLOCK_BYTES;
    return 0;
}

// A device-to-host request: the reply goes no further than the buffer the caller described; with no
// buffer or no length the request has no data stage and nothing lands anywhere.
NTSTATUS ReadFromCamera(cameralib::LibraryDevice* Device, const cameralib::VendorTraceRecord& Record,
                        PVOID Buffer, PULONG BufferLength, std::vector<uint8_t>* Data) {
    const ULONG room = Buffer ? Record.Length : 0;
    const bus::SetupPacket setup{VENDOR_IN, Record.Request, Record.Value, Record.Index,
                                 static_cast<uint16_t>(std::min<ULONG>(room, 0xFFFF))};
    const NTSTATUS status = Device->Port->ControlTransfer(setup, Data);
    if (!NT_SUCCESS(status))
        Data->clear();
    if (Data->size() > room)
        Data->resize(room);
    if (!Data->empty())
        std::memcpy(Buffer, Data->data(), Data->size());
    if (BufferLength)
        *BufferLength = static_cast<ULONG>(Data->size());
    return status;
}

NTSTATUS WriteToCamera(cameralib::LibraryDevice* Device, const cameralib::VendorTraceRecord& Record,
                       PVOID Buffer, std::vector<uint8_t>* Data) {
    const ULONG count = OutgoingBytes(Record.Request, Buffer, Record.Length);
    const uint8_t* bytes = static_cast<const uint8_t*>(Buffer);
    if (count)
        Data->assign(bytes, bytes + count);
    const bus::SetupPacket setup{VENDOR_OUT, Record.Request, Record.Value, Record.Index,
                                 static_cast<uint16_t>(count)};
    return Device->Port->ControlTransfer(setup, Data);
}

} // namespace

NTSTATUS NTAPI QRXUSBCAMD_ControlVendorCommand(PVOID DeviceContext, UCHAR Request, USHORT Value, USHORT Index,
                                               PVOID Buffer, PULONG BufferLength, BOOLEAN GetData,
                                               PCOMMAND_COMPLETE_FUNCTION CommandComplete,
                                               PVOID CommandContext) {
    cameralib::LibraryDevice* device = cameralib::DeviceFromContext(DeviceContext);
    if (!device || !device->Port)
        return STATUS_NO_SUCH_DEVICE;
    // Without a completion routine the caller waits for the camera's answer.
    if (CommandComplete == nullptr)
        host::RequirePassiveLevel("QRXUSBCAMD_ControlVendorCommand");

    cameralib::VendorTraceRecord record{};
    record.Request = Request;
    record.Value = Value;
    record.Index = Index;
    record.DeviceToHost = GetData != FALSE;
    record.HasLength = BufferLength != nullptr;
    record.Length = BufferLength ? *BufferLength : 0;
    record.HasBuffer = Buffer != nullptr;

    std::vector<uint8_t> data;
    const NTSTATUS status = record.DeviceToHost ? ReadFromCamera(device, record, Buffer, BufferLength, &data)
                                                : WriteToCamera(device, record, Buffer, &data);

    record.TimeUs = host::ClockNowMicroseconds();
    record.Data = std::move(data);
    record.Status = status;
    {
        std::lock_guard<host::Mutex> lock(device->TraceMutex);
        bus::AppendToLog(&device->VendorTrace, std::move(record));
    }

    // The published interface completes a request with a completion routine asynchronously. Ours is done
    // already: report it to the routine and tell the caller the result comes that way.
    if (CommandComplete) {
        CommandComplete(DeviceContext, CommandContext, status);
        return STATUS_PENDING;
    }
    return status;
}

NTSTATUS NTAPI QRXUSBCAMD_SelectAlternateInterface(PVOID DeviceContext,
                                                   PUSBD_INTERFACE_INFORMATION RequestInterface) {
    cameralib::LibraryDevice* device = cameralib::DeviceFromContext(DeviceContext);
    if (!device || !device->Port)
        return STATUS_NO_SUCH_DEVICE;
    if (!RequestInterface)
        return STATUS_INVALID_PARAMETER;

    host::RequirePassiveLevel("QRXUSBCAMD_SelectAlternateInterface");
    UCHAR setting = RequestInterface->AlternateSetting;
    // As the platform's select-interface request, the caller's record comes back with the new setting's
    // pipes, each MaximumPacketSize the bytes the pipe carries per microframe.
    NTSTATUS status = device->Port->SelectAlternateSetting(setting, RequestInterface);
    const int64_t now = host::ClockNowMicroseconds();
    {
        std::lock_guard<host::Mutex> lock(device->TraceMutex);
        bus::AppendToLog(&device->AltSettingTrace, cameralib::AltSettingTraceRecord{now, setting, status});
    }

    // The library's own record follows the setting the camera is now in.
    if (NT_SUCCESS(status) && device->InterfaceInfo.size() >= offsetof(USBD_INTERFACE_INFORMATION, Pipes))
        device->Port->DescribeSetting(
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(device->InterfaceInfo.data()));
    return status;
}
