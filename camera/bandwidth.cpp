// Bandwidth allocation: the frame-interval check, the sensor window and frame geometry that follow the
// stream's format, the alternate setting, and the length of one raw frame in whole packets.
#include "camera/bandwidth.h"

#include "camera/frame_geometry.h"
#include "camera/usb_configuration.h"
#include "driver/relaxed.h"
#include "driver/type_helpers.h"

namespace {

struct AltSetting {
    UCHAR AlternateSetting;
    ULONG Reserved;         // kept from the camera's description of the setting; nothing reads it
    LONGLONG FrameInterval; // shortest frame interval the setting carries, 100-ns units
};

// One streaming setting: alternate setting 0 carries a frame every 100 ms at the sensor's full size.
constexpr AltSetting AltSettingTable[] = {
    {0, 384, 1000000},
};
constexpr ULONG ALT_SETTING_ENTRIES = ArrayCount(AltSettingTable);

// Intervals are compared in 32 bits with the low four bits cleared, and a setting accepts intervals up
// to three times its own.
constexpr ULONG INTERVAL_MASK = 0xFFFFFFF0u;
constexpr ULONG INTERVAL_SLACK = 3;

} // namespace

// Both callbacks answer STATUS_DEVICE_NOT_READY before configure has given us an interface (or after
// uninitialise or a failed initialise released it): there is no alternate setting to write into.
NTSTATUS NTAPI CamAllocateBandwidth(PDEVICE_OBJECT, PVOID DeviceContext, PULONG RawFrameLength,
                                    PVOID Format) {
    PDeviceContext context = static_cast<PDeviceContext>(DeviceContext);
    const KS_DATAFORMAT_VIDEOINFOHEADER* format = static_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(Format);

    *RawFrameLength = 0;
    PUSBD_INTERFACE_INFORMATION interface = context->InterfaceInfo;
    if (!interface)
        return STATUS_DEVICE_NOT_READY;
    if (!format)
        return STATUS_INVALID_PARAMETER;

    // The fastest setting is last; take the first one, walking down, that can carry the interval.
    ULONG requested = static_cast<ULONG>(format->VideoInfoHeader.AvgTimePerFrame) & INTERVAL_MASK;
    LONG chosen = -1;
    for (LONG i = static_cast<LONG>(ALT_SETTING_ENTRIES) - 1; i >= 0; --i) {
        ULONG limit = static_cast<ULONG>(AltSettingTable[i].FrameInterval * INTERVAL_SLACK) & INTERVAL_MASK;
        if (limit >= requested) {
            chosen = i;
            break;
        }
    }
    if (chosen < 0)
        return STATUS_INVALID_PARAMETER;

    LONG width = format->VideoInfoHeader.bmiHeader.biWidth;
    LONG height = format->VideoInfoHeader.bmiHeader.biHeight;
    NTSTATUS windowStatus = SetWindowFromFormat(context, width, height);
    ULONG rawFrameSize = static_cast<ULONG>(ReadRelaxed(FrameGeometry.SourceLines)) *
                         static_cast<ULONG>(ReadRelaxed(FrameGeometry.SourceStride));
    // The grey path sizes its output from these, so they follow the format even when it is refused.
    WriteRelaxed(context->FormatWidth, width);
    WriteRelaxed(context->FormatHeight, height);
    if (!NT_SUCCESS(windowStatus))
        return windowStatus;

    // Try the chosen setting, then the slower ones below it.
    NTSTATUS selectStatus = STATUS_INSUFFICIENT_RESOURCES;
    bool selected = false;
    for (LONG i = chosen; i >= 0 && !selected; --i) {
        interface->AlternateSetting = AltSettingTable[i].AlternateSetting;
        selectStatus = QRXUSBCAMD_SelectAlternateInterface(context, interface);
        selected = NT_SUCCESS(selectStatus);
    }
    // The library's own reason is not passed on: to the caller no setting means no bandwidth.
    if (!selected)
        return STATUS_INSUFFICIENT_RESOURCES;

    // The library assembles whole packets, so the frame buffer is rounded up to them.
    ULONG packetSize = interface->Pipes[CAM_DATA_PIPE].MaximumPacketSize;
    if (packetSize != 0) {
        ULONG packets = rawFrameSize / packetSize + (rawFrameSize % packetSize ? 1 : 0);
        *RawFrameLength = packets * packetSize;
    }

    // Packet framing starts afresh with the new stream.
    WriteRelaxed(context->LastFrameToggle, 0);
    return selectStatus;
}

NTSTATUS NTAPI CamFreeBandwidth(PDEVICE_OBJECT, PVOID DeviceContext) {
    PDeviceContext context = static_cast<PDeviceContext>(DeviceContext);
    PUSBD_INTERFACE_INFORMATION interface = context->InterfaceInfo;
    if (!interface)
        return STATUS_DEVICE_NOT_READY;
    interface->AlternateSetting = CAM_IDLE_ALTERNATE_SETTING;
    return QRXUSBCAMD_SelectAlternateInterface(context, interface);
}
