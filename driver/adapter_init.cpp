// Device bring-up, initialisation-complete (the library's direct-call interface) and stream open.
#include "driver/adapter_routines.h"

#include "camera/vendor_requests.h"
#include "driver/callback_records.h"
#include "driver/library_handover.h"
#include "platform/kernel.h"
#include "driver/relaxed.h"
#include "properties/settings.h"
#include "streams/format_negotiation.h"

namespace {

// The stream object's two slots have the stream class's one-argument type; the library knows they hold
// its three-argument hooks and calls them as such. The detour through a generic function pointer says
// that the type change is meant.
typedef void (*GenericRoutine)();
template <typename Slot> Slot AsStreamSlot(PFNUSBCAMD_STREAM_HOOK Hook) {
    return reinterpret_cast<Slot>(reinterpret_cast<GenericRoutine>(Hook));
}

} // namespace

VOID AdapterInitializeDevice(PHW_STREAM_REQUEST_BLOCK Srb) {
    PDeviceContext context = LookUpContext(Srb);
    PPORT_CONFIGURATION_INFORMATION config = Srb->CommandData.ConfigInfo;
    context->ClassDeviceObject = config->ClassDeviceObject;
    // The settings key hangs off the real physical device object when there is one.
    context->PhysicalDeviceObject = config->RealPhysicalDeviceObject != nullptr
                                        ? config->RealPhysicalDeviceObject
                                        : config->PhysicalDeviceObject;
    QRXUSBCAMD_InitializeNewInterface(context, const_cast<PUSBCAMD_DEVICE_DATA2>(&CamDeviceData2),
                                      CAM_INTERFACE_VERSION, CAM_CONTROL_FLAGS);

    // The library configures and initialises the camera through CamDeviceData2 and completes the SRB.
    HandOver(Srb);

    PDEVICE_OBJECT busDeviceObject = nullptr;
    context = LookUpContext(Srb, &busDeviceObject);
    InitializeSettings(busDeviceObject, context);
    // Images come off the sensor upside down; whatever was stored, the flip stays on.
    WriteRelaxed(context->VerticalFlip, TRUE);
}

NTSTATUS QueryCamInterface(PDEVICE_OBJECT ClassDeviceObject, PUSBCAMD_INTERFACE Buffer) {
    if (ClassDeviceObject == nullptr)
        return STATUS_NO_SUCH_DEVICE; // initialise-device never told us where to ask
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildSynchronousFsdRequest(IRP_MJ_PNP, ClassDeviceObject, nullptr, 0, nullptr, &event, &ioStatus);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    // PnP requests must start out "not supported" so that a device that ignores them is seen to.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &GUID_USBCAMD_INTERFACE;
    next->Parameters.QueryInterface.Size = sizeof(USBCAMD_INTERFACE);
    next->Parameters.QueryInterface.Version = USBCAMD_VERSION_200;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(Buffer);
    next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    NTSTATUS status = IofCallDriver(ClassDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

NTSTATUS AdapterInitializationComplete(PHW_STREAM_REQUEST_BLOCK Srb) {
    PDeviceContext context = LookUpContext(Srb);
    PUSBCAMD_INTERFACE buffer = static_cast<PUSBCAMD_INTERFACE>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(USBCAMD_INTERFACE), DRIVER_POOL_TAG));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    UCHAR* bytes = reinterpret_cast<UCHAR*>(buffer);
    for (ULONG i = 0; i < sizeof(USBCAMD_INTERFACE); ++i)
        bytes[i] = 0;

    // What the query returns does not matter: an answer is usable only if it carries the bulk entry
    // point, and without one we simply run without the interface.
    QueryCamInterface(context->ClassDeviceObject, buffer);
    if (buffer->USBCAMD_BulkReadWrite != nullptr)
        context->CamInterface = *buffer;
    else
        context->CamInterface.Interface.Version = 0; // the mark of an absent interface
    ExFreePool(buffer);
    return STATUS_SUCCESS;
}

VOID AdapterOpenStream(PHW_STREAM_REQUEST_BLOCK Srb) {
    PHW_STREAM_OBJECT stream = Srb->StreamObject;
    // The library calls these first for every request of the stream; they stay in place even when the
    // open is refused below.
    stream->ReceiveDataPacket = AsStreamSlot<PHW_RECEIVE_STREAM_DATA_SRB>(CamReceiveDataPacket);
    stream->ReceiveControlPacket = AsStreamSlot<PHW_RECEIVE_STREAM_CONTROL_SRB>(CamReceiveCtrlPacket);

    if (!VerifyStreamFormat(Srb->CommandData.OpenFormat, static_cast<LONG>(stream->StreamNumber))) {
        Srb->Status = STATUS_INVALID_PARAMETER;
        Complete(Srb);
        return;
    }

    PDeviceContext context = HandOver(Srb);
    if (context == nullptr)
        return;
    // The sensor forgets exposure and gain between streams. It needs time after the exposure write
    // before it takes the gain.
    CamWriteRegister(context, CamRegisterExposureTime,
                     ReadRelaxed(context->ExposureTime) & CAM_EXPOSURE_MASK);
    LARGE_INTEGER interval;
    interval.QuadPart = OPEN_REGISTER_SPACING_100NS;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    CamWriteRegister(context, CamRegisterGlobalGain, ReadRelaxed(context->GlobalGain) & CAM_GAIN_MASK);
}
