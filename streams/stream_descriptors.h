// The constant stream, format and property tables offered to the stream class.
#pragma once

#include "driver/device_context.h"

constexpr ULONG STREAM_CAPTURE = 0;
constexpr ULONG STREAM_STILL = 1;
constexpr ULONG STREAM_TABLE_ENTRIES = 2;
constexpr ULONG FORMATS_PER_STREAM = 1;
constexpr ULONG STREAM_PROPERTY_SET_COUNT = 2;
// Only the camera property set is advertised; the proc-amp and window sets are handled, not shown.
constexpr ULONG DEVICE_PROPERTY_SET_COUNT = 1;

extern const HW_STREAM_INFORMATION StreamInfoTable[STREAM_TABLE_ENTRIES];
extern const KS_DATARANGE_VIDEO VideoCaptureRange;
extern const KS_DATARANGE_VIDEO VideoStillRange;
extern const PKSDATAFORMAT VideoCaptureFormats[FORMATS_PER_STREAM];
extern const PKSDATAFORMAT VideoStillFormats[FORMATS_PER_STREAM];
extern const KSPROPERTY_SET StreamPropertySets[STREAM_PROPERTY_SET_COUNT];
extern const KSPIN_MEDIUM StandardMedium;
