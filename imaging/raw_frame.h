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

// Where the rows of an image window lie: row r starts at (r even ? Even : Odd) + (r / 2) x PairStride. In
// the scratch frame one row follows the other a line apart; read straight from the raw frame, the even
// and the odd rows come from different fields.
struct WindowRows {
    const UCHAR* Even;
    const UCHAR* Odd;
    SIZE_T PairStride;
};

inline const UCHAR* WindowRow(const WindowRows& Rows, LONG Row) {
    return (Row & 1 ? Rows.Odd : Rows.Even) + LONG_PTR(Row >> 1) * LONG_PTR(Rows.PairStride);
}

// The window at column X of line Y in lines of Stride bytes, read from the scratch frame.
inline WindowRows ScratchWindowRows(const UCHAR* Scratch, LONG X, LONG Y, LONG Stride) {
    const UCHAR* first = Scratch + LONG_PTR(Y) * Stride + X;
    return {first, first + Stride, 2 * SIZE_T(Stride)};
}

// What a conversion reads: the scratch frame, and while the scratch frame has not been filled, the raw
// frame it is to be filled from.
struct FrameInput {
    PUCHAR Scratch;
    PUCHAR ScratchEnd;
    const UCHAR* Raw; // null once the scratch frame holds the de-interlaced frame (or when there is none)
};

// De-interlaces Input's raw frame into its scratch frame, unless that has been done.
VOID FillScratch(FrameInput* Input);

// The rows of a window (column X of line Y, lines of Stride bytes, Width x Height) that the caller has
// checked lies inside the scratch frame. A window inside what the de-interlace fills, at its line
// distance, is read straight from the raw frame's fields, which hold the same bytes: the frame then costs
// no copy. Any other window is read from the scratch frame, filled first if need be.
WindowRows RowsOfWindow(FrameInput* Input, LONG X, LONG Y, LONG Stride, LONG Width, LONG Height);

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
// The same for a frame not yet de-interlaced, or already: see FrameInput.
ULONG ConvertFrame(PDeviceContext Context, FrameInput* Input, PUCHAR FrameBuffer, PUCHAR FrameEnd);
