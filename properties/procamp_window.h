// The standard video proc-amp set and the sensor window set. The device routes both to these handlers
// although it advertises neither, so a client that knows the sets can use them.
#pragma once

#include "driver/device_context.h"

Z40K_GUID(WindowPropertySetGuid, 0x3DC2E820, 0x4713, 0x11D2, 0xBA, 0x41, 0x00, 0xA0, 0xC9, 0x0D, 0x2B, 0x05);

// The image controls accept 0..108 and reach the camera divided by 11 (0..9); manual white balance
// accepts 0..372 (0..33 on the wire).
constexpr LONG PROCAMP_IMAGE_MAX = 108;
constexpr LONG PROCAMP_WHITEBALANCE_MAX = 372;
constexpr LONG PROCAMP_WIRE_DIVISOR = 11;

// The window set's property IDs.
enum WindowPropertyId : ULONG {
    WindowPropertyParam0 = 0,
    WindowPropertyFlag1 = 1,
    WindowPropertyFlag2 = 2,
    WindowPropertyX = 3,
    WindowPropertyY = 4,
    WindowPropertyWidth = 5,
    WindowPropertyHeight = 6,
    WindowPropertyColorPhase = 8, // 7 has no item
};

// Each handler stores its status in the SRB and returns it. A request whose data buffer is shorter than
// the set's record (40 bytes proc-amp, 32 bytes window) ends with STATUS_BUFFER_TOO_SMALL, untouched.
NTSTATUS ProcAmpGetProperty(PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS ProcAmpSetProperty(PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS WindowGetProperty(PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS WindowSetProperty(PDeviceContext Context, PHW_STREAM_REQUEST_BLOCK Srb);
