// USB configuration and bring-up. Configure gives the pipes their roles and transfer sizes and keeps a
// private copy of the interface for bandwidth allocation and packet framing; initialise waits for the
// firmware to report ready and sends it the start-up command; uninitialise lets go of the copy.
#include "camera/usb_configuration.h"

#include "camera/vendor_requests.h"
#include "platform/kernel.h"
#include "driver/relaxed.h"
#include "driver/type_helpers.h"

namespace {

// Transfer sizes configure gives pipes 0, 1 and 2; pipe 3 keeps what the library chose.
constexpr ULONG CAM_SYNC_TRANSFER_SIZE = 64;
constexpr ULONG CAM_DATA_TRANSFER_SIZE = 0x300000;
// Pipes configure touches: the interface must carry at least these.
constexpr ULONG CAM_CONFIGURED_PIPES = 3;

// Pipe roles handed to the library by the version-2 configure, one entry per pipe of the interface.
constexpr USBCAMD_Pipe_Config_Descriptor PipeConfigTable[] = {
    {0, USBCAMD_SYNC_PIPE},                               // pipe 0: sync pipe
    {0, USBCAMD_SYNC_PIPE},                               // pipe 1: sync pipe
    {USBCAMD_VIDEO_STILL_STREAM, USBCAMD_MULTIPLEX_PIPE}, // pipe 2: video and still share the data pipe
    {0, 0},                                               // pipe 3: no role
};
constexpr ULONG PIPE_CONFIG_ENTRIES = ArrayCount(PipeConfigTable);
// Pipes beyond the table have no role either.
constexpr USBCAMD_Pipe_Config_Descriptor NoPipeRole = {0, 0};

// The firmware needs time after power-up; it is asked once a second.
constexpr LONGLONG READY_POLL_INTERVAL_100NS = 10000000;
// Reads sent before giving up. Only the replies of the first READY_POLLS - 1 are looked at.
constexpr ULONG READY_POLLS = 10;

void ReleaseInterfaceCopy(PDeviceContext Context) {
    if (Context->InterfaceInfo) {
        ExFreePool(Context->InterfaceInfo);
        Context->InterfaceInfo = nullptr;
    }
}

// An interface record we can work on: it carries the three pipes we configure, and its Length covers
// every pipe it claims, so that neither the in-place writes nor the copy leave the record.
bool InterfaceIsUsable(const USBD_INTERFACE_INFORMATION* Interface) {
    constexpr ULONG header = UsbInterfaceInformationSize(0);
    constexpr ULONG pipeSize = sizeof(USBD_PIPE_INFORMATION);
    ULONG length = Interface->Length;
    if (length < UsbInterfaceInformationSize(CAM_CONFIGURED_PIPES))
        return false;
    if (Interface->NumberOfPipes < CAM_CONFIGURED_PIPES)
        return false;
    return Interface->NumberOfPipes <= (length - header) / pipeSize;
}

} // namespace

NTSTATUS NTAPI CamConfigure(PDEVICE_OBJECT, PVOID DeviceContext, PUSBD_INTERFACE_INFORMATION Interface,
                            PUSB_CONFIGURATION_DESCRIPTOR, PLONG DataPipeIndex, PLONG SyncPipeIndex) {
    PDeviceContext context = static_cast<PDeviceContext>(DeviceContext);

    // Without an interface the library is letting go of the device; so do we. A new interface replaces
    // any copy still held, which is released first rather than leaked.
    ReleaseInterfaceCopy(context);
    if (!Interface)
        return STATUS_SUCCESS;

    // The library gets the pipe roles even when the configure fails.
    if (DataPipeIndex)
        *DataPipeIndex = CAM_DATA_PIPE;
    if (SyncPipeIndex)
        *SyncPipeIndex = CAM_SYNC_PIPE;

    if (!InterfaceIsUsable(Interface))
        return STATUS_INVALID_PARAMETER;

    ULONG length = Interface->Length;
    auto copy = static_cast<PUSBD_INTERFACE_INFORMATION>(
        ExAllocatePoolWithTag(NonPagedPool, length, DRIVER_POOL_TAG));
    if (!copy)
        return STATUS_INSUFFICIENT_RESOURCES;

    Interface->Pipes[0].MaximumTransferSize = CAM_SYNC_TRANSFER_SIZE;
    Interface->Pipes[1].MaximumTransferSize = CAM_SYNC_TRANSFER_SIZE;
    Interface->Pipes[CAM_DATA_PIPE].MaximumTransferSize = CAM_DATA_TRANSFER_SIZE;

    // Taken after the sizes changed, so the copy shows what the library will use.
    const UCHAR* from = reinterpret_cast<const UCHAR*>(Interface);
    UCHAR* to = reinterpret_cast<UCHAR*>(copy);
    for (ULONG i = 0; i < length; ++i)
        to[i] = from[i];
    context->InterfaceInfo = copy;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CamConfigureEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                              PUSBD_INTERFACE_INFORMATION Interface,
                              PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, ULONG PipeConfigListSize,
                              PUSBCAMD_Pipe_Config_Descriptor PipeConfig, PUSB_DEVICE_DESCRIPTOR) {
    LONG dataPipe = 0;
    LONG syncPipe = 0;
    NTSTATUS status = CamConfigure(BusDeviceObject, DeviceContext, Interface, ConfigurationDescriptor,
                                   &dataPipe, &syncPipe);
    if (!Interface)
        return status;

    // The stream count and the pipe roles describe the camera, not the copy: the library gets them
    // whether or not the copy could be taken.
    PDeviceContext context = static_cast<PDeviceContext>(DeviceContext);
    WriteRelaxed(context->NumberOfStreams, 1);

    if (PipeConfig) {
        // The library's list has one entry per pipe of the interface. Pipes beyond our four have no role;
        // they are marked so rather than left with whatever the list held.
        for (ULONG i = 0; i < PipeConfigListSize; ++i)
            PipeConfig[i] = i < PIPE_CONFIG_ENTRIES ? PipeConfigTable[i] : NoPipeRole;
    }
    return status;
}

NTSTATUS NTAPI CamInitialize(PDEVICE_OBJECT, PVOID DeviceContext) {
    PDeviceContext context = static_cast<PDeviceContext>(DeviceContext);
    NTSTATUS result;
    ULONG polls = 0;

    for (;;) {
        LARGE_INTEGER interval;
        interval.QuadPart = -READY_POLL_INTERVAL_100NS; // relative
        KeDelayExecutionThread(KernelMode, FALSE, &interval);

        USHORT word = 0;
        result = CamReadStatusWord(context, &word);
        ++polls;
        if (polls >= READY_POLLS)
            result = STATUS_UNSUCCESSFUL; // the last read's reply is not looked at
        if (!NT_SUCCESS(result))
            break;
        if (word >= CAM_STATUS_READY) {
            result = CamSetControl(context, CamControlStartup, 0);
            break;
        }
    }

    // A camera that did not come up is not used: nothing will free the copy otherwise before the
    // library's next configure or uninitialise.
    if (result != STATUS_SUCCESS)
        ReleaseInterfaceCopy(context);
    return result;
}

NTSTATUS NTAPI CamUnInitialize(PDEVICE_OBJECT, PVOID DeviceContext) {
    ReleaseInterfaceCopy(static_cast<PDeviceContext>(DeviceContext));
    return STATUS_SUCCESS;
}
