// Registration with the camera class library and the adapter request routine: which SRBs the driver
// carries out, which it hands to the library, and who completes each.
#include "driver/driver_entry.h"

#include "driver/adapter_routines.h"
#include "driver/library_handover.h"
#include "properties/device_properties.h"
#include "driver/relaxed.h"
#include "imaging/vector_paths.h"
#include "streams/format_negotiation.h"
#include "streams/stream_descriptors.h"

namespace {

VOID AdapterProperty(PHW_STREAM_REQUEST_BLOCK Srb, BOOLEAN IsSet) {
    PDEVICE_OBJECT busDeviceObject = nullptr;
    PDeviceContext context = LookUpContext(Srb, &busDeviceObject);
    // The property handlers store their status in the SRB themselves.
    AdapterDeviceProperty(IsSet, busDeviceObject, context, Srb);
    Complete(Srb);
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    // Imported, the extended-state routines would keep the image from loading on the systems before them.
    FindExtendedStateRoutines();
    return static_cast<NTSTATUS>(QRXUSBCAMD_DriverEntry(
        DriverObject, RegistryPath, DEVICE_CONTEXT_EXTENSION_SIZE, FRAME_CONTEXT_SIZE, AdapterReceivePacket));
}

VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK Srb) {
    switch (Srb->Command) {
    case SRB_GET_STREAM_INFO:
        AdapterStreamInfo(Srb);
        break;
    case SRB_OPEN_STREAM:
        AdapterOpenStream(Srb);
        break;
    case SRB_GET_DEVICE_PROPERTY:
        AdapterProperty(Srb, FALSE);
        break;
    case SRB_SET_DEVICE_PROPERTY:
        AdapterProperty(Srb, TRUE);
        break;
    case SRB_INITIALIZE_DEVICE:
        AdapterInitializeDevice(Srb);
        break;
    case SRB_GET_DATA_INTERSECTION:
        Srb->Status = IntersectStreamFormat(Srb);
        Complete(Srb);
        break;
    case SRB_INITIALIZATION_COMPLETE:
        Srb->Status = AdapterInitializationComplete(Srb);
        Complete(Srb);
        break;
    default:
        // Close, power, uninitialise, removal and the rest are the library's business.
        HandOver(Srb);
        break;
    }
}

// ---- the commands carried out here before the hand-over ------------------------------------------------

VOID AdapterStreamInfo(PHW_STREAM_REQUEST_BLOCK Srb) {
    PDeviceContext context = LookUpContext(Srb);
    HW_STREAM_DESCRIPTOR* descriptor = Srb->CommandData.StreamBuffer;
    // Configuration never sets more streams than the table has; should the count ever be larger, report
    // only what the table holds rather than read past it and describe entries never written.
    ULONG streams = ReadRelaxed(context->NumberOfStreams);
    if (streams > STREAM_TABLE_ENTRIES)
        streams = STREAM_TABLE_ENTRIES;
    descriptor->StreamHeader.NumberOfStreams = streams;
    HW_STREAM_INFORMATION* entries = &descriptor->StreamInfo;
    for (ULONG i = 0; i < streams; ++i)
        entries[i] = StreamInfoTable[i];
    descriptor->StreamHeader.NumDevPropArrayEntries = DEVICE_PROPERTY_SET_COUNT;
    descriptor->StreamHeader.DevicePropertiesArray = DevicePropertySets;
    HandOver(Srb);
}
