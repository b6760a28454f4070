// The adapter requests the driver carries out itself, wholly or in part. AdapterReceivePacket routes
// SRBs here; tests may call them directly.
#pragma once

#include "driver/device_context.h"

// Stream descriptor: the first NumberOfStreams entries of the stream table and the device property set.
VOID AdapterStreamInfo(PHW_STREAM_REQUEST_BLOCK Srb);
// Hooks, verification, hand-over, then exposure and gain to the sensor.
VOID AdapterOpenStream(PHW_STREAM_REQUEST_BLOCK Srb);
// Device objects, the version-2 record, hand-over, then the settings.
VOID AdapterInitializeDevice(PHW_STREAM_REQUEST_BLOCK Srb);
// Fetches the library's direct-call interface into CamInterface; the SRB's status.
NTSTATUS AdapterInitializationComplete(PHW_STREAM_REQUEST_BLOCK Srb);
// The PnP query-interface request to the class device object; Buffer receives the interface.
NTSTATUS QueryCamInterface(PDEVICE_OBJECT ClassDeviceObject, PUSBCAMD_INTERFACE Buffer);

// The wait between the exposure and the gain register writes at stream open: 200 ms, relative.
constexpr LONGLONG OPEN_REGISTER_SPACING_100NS = -2000000;
