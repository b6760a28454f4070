// Device property routing and the camera property set.
#pragma once

#include "driver/device_context.h"
#include "platform/camera_properties.h"

extern const KSPROPERTY_SET DevicePropertySets[1];

// The data record of a property request when the request carries a whole property identifier and a data
// buffer of at least DataSize bytes; null otherwise. Every handler asks this before it reads or writes.
PVOID PropertyRecord(PHW_STREAM_REQUEST_BLOCK Srb, ULONG DataSize);
// The property ID of the request's identifier; only for a request PropertyRecord has let through.
ULONG RequestedId(PHW_STREAM_REQUEST_BLOCK Srb);
// Stores the bytes transferred and the status in the SRB, in that order; returns the status. Completing
// the SRB is the adapter routine's, once the handler has returned.
NTSTATUS StoreResult(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status, ULONG Transferred);

NTSTATUS AdapterDeviceProperty(BOOLEAN IsSet, PDEVICE_OBJECT BusDeviceObject, PDeviceContext Context,
                               PHW_STREAM_REQUEST_BLOCK Srb);
