// Device property routing and the camera property set.
#pragma once

#include "driver/device_context.h"

extern const KSPROPERTY_SET DevicePropertySets[1];

// The camera set's property IDs. 12 and 13 are reserved: advertised, answered, without effect.
enum CameraPropertyId : ULONG {
    CameraPropertyDeviceInfo1 = 1,     // constant 2500
    CameraPropertyDeviceInfo2 = 2,     // constant 0
    CameraPropertyExposureTimeMax = 3, // the largest exposure a set reaches the sensor with
    CameraPropertyGlobalGainMax = 4,   // the largest gain a set reaches the sensor with
    CameraPropertyColorEnable = 5,
    CameraPropertyAutoWhiteBalance = 6,
    CameraPropertyExposureTime = 7,
    CameraPropertyGlobalGain = 8,
    CameraPropertyRedGain = 9,
    CameraPropertyGreenGain = 10,
    CameraPropertyBlueGain = 11,
    CameraPropertyNoOp12 = 12,
    CameraPropertyNoOp13 = 13,
    CameraPropertyCameraCommand = 14, // Value 0 sends the camera its three-byte block
};

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
