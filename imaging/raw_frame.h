// The raw-frame entry points: de-interlace, then grey output or the colour path.
#pragma once

#include "driver/device_context.h"

// Raw format of the camera: two interlaced fields of 960 lines at fixed offsets.
constexpr ULONG RAW_FIRST_FIELD_OFFSET = 14675;
constexpr ULONG RAW_SECOND_FIELD_OFFSET = 3089053;
constexpr ULONG RAW_FIELD_LINES = 960;
constexpr ULONG RAW_LINE_DISTANCE = 2894;
constexpr ULONG RAW_LINE_SAMPLES = 2560;
constexpr ULONG RAW_FRAME_BYTES = 2048 * 2894; // 5,926,912

// Set once, at the first grey frame after load, before the dump is attempted.
extern LONG RawDumpDone;

NTSTATUS NTAPI CamProcessRawVideoFrame(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID FrameContext,
                                       PVOID FrameBuffer, ULONG FrameLength, PVOID RawFrameBuffer,
                                       ULONG RawFrameLength, ULONG NumberOfPackets, PULONG BytesReturned);
NTSTATUS NTAPI CamProcessRawVideoFrameEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID FrameContext,
                                         PVOID FrameBuffer, ULONG FrameLength, PVOID RawFrameBuffer,
                                         ULONG RawFrameLength, ULONG NumberOfPackets, PULONG BytesReturned,
                                         ULONG ActualRawFrameLength, ULONG StreamNumber);
