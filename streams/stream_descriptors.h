// The constant stream, format and property tables offered to the stream class.
#pragma once

#include "driver/device_context.h"

constexpr ULONG STREAM_CAPTURE = 0;
constexpr ULONG STREAM_STILL = 1;
constexpr ULONG STREAM_TABLE_ENTRIES = 2;

extern const HW_STREAM_INFORMATION StreamInfoTable[STREAM_TABLE_ENTRIES];
extern const KS_DATARANGE_VIDEO VideoCaptureRange;
extern const KS_DATARANGE_VIDEO VideoStillRange;
extern const PKSDATAFORMAT VideoCaptureFormats[1];
extern const PKSDATAFORMAT VideoStillFormats[1];
extern const KSPROPERTY_SET StreamPropertySets[2];
extern const KSPIN_MEDIUM StandardMedium;
