// The standard video proc-amp set and the sensor window set. The device routes both to these handlers
// although it advertises neither, so a client that knows the sets can use them.
#pragma once

#include "driver/device_context.h"
#include "platform/camera_properties.h"

// The image controls (0..PROCAMP_IMAGE_MAX) reach the camera divided by 11 (0..9), manual white balance
// (0..PROCAMP_WHITEBALANCE_MAX) likewise (0..33 on the wire).
constexpr LONG PROCAMP_WIRE_DIVISOR = 11;

// Each handler stores its status in the SRB and returns it. A request whose data buffer is shorter than
// the set's record (40 bytes proc-amp, 32 bytes window) ends with STATUS_BUFFER_TOO_SMALL, untouched.
NTSTATUS ProcAmpGetProperty(PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS ProcAmpSetProperty(PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS WindowGetProperty(PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS WindowSetProperty(PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb);
