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

// The shortest raw frame that holds both fields: one past the last byte the de-interlace takes.
constexpr ULONG RAW_FRAME_MIN_BYTES =
    RAW_SECOND_FIELD_OFFSET + (RAW_FIELD_LINES - 1) * RAW_LINE_DISTANCE + RAW_LINE_SAMPLES; // 5,866,959
// Bytes of the scratch frame the de-interlace fills: lines 0 to 1919, 2560 samples each.
constexpr ULONG SCRATCH_FILLED_BYTES = (2 * RAW_FIELD_LINES - 1) * RAW_LINE_DISTANCE + RAW_LINE_SAMPLES;

// Set once, at the first grey frame after load, before the dump is attempted.
extern LONG RawDumpDone;

NTSTATUS NTAPI CamProcessRawVideoFrame(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                       PVOID FrameContext, PVOID FrameBuffer, ULONG FrameLength,
                                       PVOID RawFrameBuffer, ULONG RawFrameLength, ULONG NumberOfPackets,
                                       PULONG BytesReturned);
NTSTATUS NTAPI CamProcessRawVideoFrameEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                         PVOID FrameContext, PVOID FrameBuffer, ULONG FrameLength,
                                         PVOID RawFrameBuffer, ULONG RawFrameLength, ULONG NumberOfPackets,
                                         PULONG BytesReturned, ULONG ActualRawFrameLength,
                                         ULONG StreamNumber);

// The work of one frame. A frame that cannot be converted (a raw frame too short to hold both fields,
// or no scratch frame) is dropped and reported as 0 bytes.
NTSTATUS ProcessRawFrame(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext, PVOID FrameContext,
                         PVOID FrameBuffer, ULONG FrameLength, PVOID RawFrameBuffer, ULONG RawFrameLength,
                         ULONG NumberOfPackets, PULONG BytesReturned);

// Copies the two fields of Raw into scratch lines 0 to 1919. Both buffers must hold at least
// RAW_FRAME_MIN_BYTES; ProcessRawFrame checks that before calling.
VOID DeinterlaceFrame(const UCHAR* Raw, PUCHAR Scratch);

// Bytes of the buffer [Start, End), 0 when End is not above Start.
inline SIZE_T BufferBytes(const UCHAR* Start, const UCHAR* End) {
    return reinterpret_cast<ULONG_PTR>(End) > reinterpret_cast<ULONG_PTR>(Start)
               ? reinterpret_cast<ULONG_PTR>(End) - reinterpret_cast<ULONG_PTR>(Start)
               : 0;
}

// The conversion step of a frame already de-interlaced: the colour path when ColorEnable is set, the
// grey path otherwise. Returns the byte count reported through BytesReturned. Also used by tools that
// convert a saved de-interlaced frame.
ULONG ConvertDeinterlacedFrame(PDeviceContext Context, PUCHAR Scratch, PUCHAR ScratchEnd, PUCHAR FrameBuffer,
                               PUCHAR FrameEnd);
