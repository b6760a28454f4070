// Device property routing and the camera property set.
#pragma once

#include "driver/device_context.h"

extern const KSPROPERTY_SET DevicePropertySets[1];

Z40K_GUID(CameraPropertySetGuid, 0x76BF9E14, 0x22F4, 0x4A02, 0xA0, 0xEB, 0x66, 0x5D, 0xE9, 0x62, 0xB5, 0x31);

// The 32-byte data record of camera-set and window-set requests.
struct CameraPropertyRecord {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
};
static_assert(sizeof(CameraPropertyRecord) == 32, "camera property record is 32 bytes");

// The data record of a property request when the request carries a whole property identifier and a data
// buffer of at least DataSize bytes; null otherwise. Every handler asks this before it reads or writes.
PVOID PropertyRecord(PHW_STREAM_REQUEST_BLOCK Srb, ULONG DataSize);
// The property ID of the request's identifier; only for a request PropertyRecord has let through.
ULONG RequestedId(PHW_STREAM_REQUEST_BLOCK Srb);
// Stores the bytes transferred and the status in the SRB, in that order; returns the status.
NTSTATUS Finish(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status, ULONG Transferred);

NTSTATUS AdapterDeviceProperty(BOOLEAN IsSet, PDEVICE_OBJECT BusDeviceObject, PDeviceContext Context,
                               PHW_STREAM_REQUEST_BLOCK Srb);
