// The direct-call interface the library hands out when the minidriver asks for it with a PnP
// query-interface request: entry points the minidriver calls outside any SRB.
#include "host/cameralib/library_srb.h"
#include "platform/kernel.h"

#include <cstring>

namespace cameralib {
namespace {

VOID NTAPI InterfaceReference(PVOID Context) {
    if (LibraryDevice* device = DeviceFromContext(Context))
        ++device->InterfaceReferences;
}

VOID NTAPI InterfaceDereference(PVOID Context) {
    if (LibraryDevice* device = DeviceFromContext(Context))
        --device->InterfaceReferences;
}

// The Z40K has no bulk or interrupt pipe that the minidriver could use on its own.
NTSTATUS NTAPI WaitOnDeviceEvent(PVOID, ULONG, PVOID, ULONG, PCOMMAND_COMPLETE_FUNCTION, PVOID, BOOLEAN) {
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS NTAPI BulkReadWrite(PVOID, USHORT, PVOID, ULONG, PCOMMAND_COMPLETE_FUNCTION, PVOID) {
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS NTAPI CancelBulkReadWrite(PVOID, ULONG) {
    return STATUS_NOT_SUPPORTED;
}

// The stream takes the format of the SRB; bandwidth is allocated for it the next time the stream runs.
NTSTATUS NTAPI SetVideoFormat(PVOID DeviceContext, PHW_STREAM_REQUEST_BLOCK Srb) {
    LibraryDevice* device = DeviceFromContext(DeviceContext);
    if (device == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    const KSDATAFORMAT* format = Srb->CommandData.OpenFormat;
    if (format == nullptr || format->FormatSize < sizeof(KSDATAFORMAT) || Srb->StreamObject == nullptr)
        return STATUS_INVALID_PARAMETER;
    SetVideoFormatCall call;
    call.StreamNumber = Srb->StreamObject->StreamNumber;
    const UCHAR* bytes = reinterpret_cast<const UCHAR*>(format);
    call.Format.assign(bytes, bytes + format->FormatSize);
    device->SetVideoFormatCalls.push_back(call);
    if (LibraryStream* stream = FindLibraryStream(Srb->StreamObject))
        TakeStreamFormat(stream, format);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetIsoPipeState(PVOID DeviceContext, ULONG PipeStateFlags) {
    LibraryDevice* device = DeviceFromContext(DeviceContext);
    if (device == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    // The packet pump looks at these after each packet it hands to the driver.
    device->IsoPipeStateCalls.push_back(PipeStateFlags);
    return STATUS_SUCCESS;
}

void Fill(PUSBCAMD_INTERFACE Interface, PVOID Context, bool WithBulk) {
    std::memset(Interface, 0, sizeof *Interface);
    Interface->Interface.Size = sizeof(USBCAMD_INTERFACE);
    Interface->Interface.Version = USBCAMD_VERSION_200;
    Interface->Interface.Context = Context;
    Interface->Interface.InterfaceReference = InterfaceReference;
    Interface->Interface.InterfaceDereference = InterfaceDereference;
    Interface->USBCAMD_WaitOnDeviceEvent = WaitOnDeviceEvent;
    Interface->USBCAMD_BulkReadWrite = WithBulk ? BulkReadWrite : nullptr;
    Interface->USBCAMD_SetVideoFormat = SetVideoFormat;
    Interface->USBCAMD_SetIsoPipeState = SetIsoPipeState;
    Interface->USBCAMD_CancelBulkReadWrite = CancelBulkReadWrite;
    // The provider references what it hands out; the consumer dereferences when done.
    InterfaceReference(Context);
}

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, 0);
    return Status;
}

} // namespace

NTSTATUS AnswerInterfaceQuery(PVOID DeviceExtension, PDEVICE_OBJECT, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    LibraryDevice* device = DeviceFromContext(DeviceExtension);
    const auto& query = stack->Parameters.QueryInterface;
    if (stack->MinorFunction != IRP_MN_QUERY_INTERFACE || query.InterfaceType == nullptr ||
        !IsEqualGUID(*query.InterfaceType, GUID_USBCAMD_INTERFACE) || device == nullptr)
        return CompleteWith(Irp, Irp->IoStatus.Status); // not ours: leave it as it came
    ++device->InterfaceQueries;
    switch (device->QueryAnswer) {
    case InterfaceQueryAnswer::Refuse:
        return CompleteWith(Irp, Irp->IoStatus.Status);
    case InterfaceQueryAnswer::Fail:
        return CompleteWith(Irp, STATUS_UNSUCCESSFUL);
    default:
        break;
    }
    PUSBCAMD_INTERFACE target = reinterpret_cast<PUSBCAMD_INTERFACE>(query.Interface);
    if (target == nullptr || query.Size < sizeof(USBCAMD_INTERFACE) || query.Version != USBCAMD_VERSION_200)
        return CompleteWith(Irp, STATUS_INVALID_PARAMETER);
    Fill(target, DeviceExtension, device->QueryAnswer != InterfaceQueryAnswer::NoBulkReadWrite);
    if (device->QueryAnswer == InterfaceQueryAnswer::Pend) {
        // Completed by the I/O manager's deferred completions while the caller waits.
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return STATUS_PENDING;
    }
    return CompleteWith(Irp, STATUS_SUCCESS);
}

} // namespace cameralib
