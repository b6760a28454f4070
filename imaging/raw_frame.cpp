#include "imaging/raw_frame.h"

#include "imaging/color.h"
#include "imaging/mono.h"
#include "platform/kernel.h"
#include "driver/relaxed.h"

// Driver-wide: one dump attempt per load, whichever camera sends the first grey frame.
LONG RawDumpDone;

NTSTATUS NTAPI CamProcessRawVideoFrame(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                       PVOID FrameContext, PVOID FrameBuffer, ULONG FrameLength,
                                       PVOID RawFrameBuffer, ULONG RawFrameLength, ULONG NumberOfPackets,
                                       PULONG BytesReturned) {
    // No raw frame length was set at bandwidth allocation: there is nothing to convert.
    if (RawFrameLength == 0)
        return STATUS_SUCCESS;
    return ProcessRawFrame(BusDeviceObject, DeviceContext, FrameContext, FrameBuffer, FrameLength,
                           RawFrameBuffer, RawFrameLength, NumberOfPackets, BytesReturned);
}

NTSTATUS NTAPI CamProcessRawVideoFrameEx(PDEVICE_OBJECT BusDeviceObject, PVOID DeviceContext,
                                         PVOID FrameContext, PVOID FrameBuffer, ULONG FrameLength,
                                         PVOID RawFrameBuffer, ULONG RawFrameLength, ULONG NumberOfPackets,
                                         PULONG BytesReturned, ULONG, ULONG) {
    // Frames of the still stream have the same layout and are converted alike.
    return CamProcessRawVideoFrame(BusDeviceObject, DeviceContext, FrameContext, FrameBuffer, FrameLength,
                                   RawFrameBuffer, RawFrameLength, NumberOfPackets, BytesReturned);
}

NTSTATUS ProcessRawFrame(PDEVICE_OBJECT, PVOID DeviceContext, PVOID, PVOID FrameBuffer, ULONG FrameLength,
                         PVOID RawFrameBuffer, ULONG RawFrameLength, ULONG, PULONG BytesReturned) {
    if (FrameLength == 0)
        return STATUS_SUCCESS;

    // A frame that cannot be converted is still completed by the library; it is reported as 0 bytes
    // rather than with the count of an earlier frame, so the application never takes whatever the
    // buffer held for a picture. A raw frame that ends before the second field's last line is such a
    // frame: converting it would read past its end (and the scratch frame, of the same length, would be
    // too short for the de-interlace).
    if (RawFrameLength < RAW_FRAME_MIN_BYTES) {
        *BytesReturned = 0;
        return STATUS_SUCCESS;
    }
    PUCHAR scratch =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, RawFrameLength, DRIVER_POOL_TAG));
    if (scratch == nullptr) {
        *BytesReturned = 0;
        return STATUS_SUCCESS;
    }

    // The scratch frame is allocated for every frame, but filled only when something reads it: the
    // conversions read a window inside the fields straight from the raw frame.
    FrameInput input = {scratch, scratch + (RawFrameLength & ~1u), static_cast<const UCHAR*>(RawFrameBuffer)};
    PUCHAR frame = static_cast<PUCHAR>(FrameBuffer);
    *BytesReturned =
        ConvertFrame(static_cast<PDeviceContext>(DeviceContext), &input, frame, frame + FrameLength);
    ExFreePool(scratch);
    return STATUS_SUCCESS;
}

VOID DeinterlaceFrame(const UCHAR* Raw, PUCHAR Scratch) {
    // The first field carries the even lines, the second the odd ones; the 334 bytes after each line's
    // samples, and everything outside the two fields, are not image.
    const UCHAR* first = Raw + RAW_FIRST_FIELD_OFFSET;
    const UCHAR* second = Raw + RAW_SECOND_FIELD_OFFSET;
    for (ULONG i = 0; i < RAW_FIELD_LINES; ++i) {
        __builtin_memcpy(Scratch + 2 * i * RAW_LINE_DISTANCE, first + i * RAW_LINE_DISTANCE,
                         RAW_LINE_SAMPLES);
        __builtin_memcpy(Scratch + (2 * i + 1) * RAW_LINE_DISTANCE, second + i * RAW_LINE_DISTANCE,
                         RAW_LINE_SAMPLES);
    }
}

VOID FillScratch(FrameInput* Input) {
    if (Input->Raw == nullptr)
        return;
    DeinterlaceFrame(Input->Raw, Input->Scratch);
    Input->Raw = nullptr;
}

WindowRows RowsOfWindow(FrameInput* Input, LONG X, LONG Y, LONG Stride, LONG Width, LONG Height) {
    if (Input->Raw != nullptr && X >= 0 && Y >= 0 && Width > 0 && Height > 0 &&
        ULONG(Stride) == RAW_LINE_DISTANCE && LONGLONG(X) + Width <= LONGLONG(RAW_LINE_SAMPLES) &&
        LONGLONG(Y) + Height <= 2 * LONGLONG(RAW_FIELD_LINES)) {
        // Scratch line n is line n / 2 of the first field when n is even, of the second when odd.
        const UCHAR* fields[2] = {Input->Raw + RAW_FIRST_FIELD_OFFSET, Input->Raw + RAW_SECOND_FIELD_OFFSET};
        const LONG odd = Y + 1;
        return {fields[Y & 1] + SIZE_T(Y >> 1) * RAW_LINE_DISTANCE + X,
                fields[odd & 1] + SIZE_T(odd >> 1) * RAW_LINE_DISTANCE + X, RAW_LINE_DISTANCE};
    }
    FillScratch(Input);
    return ScratchWindowRows(Input->Scratch, X, Y, Stride);
}

ULONG ConvertFrame(PDeviceContext Context, FrameInput* Input, PUCHAR FrameBuffer, PUCHAR FrameEnd) {
    if (ReadRelaxed(Context->ColorEnable))
        return ConvertColorFrom(Context, Input, FrameBuffer, FrameEnd);
    return ConvertMonoFrom(Context, Input, FrameBuffer, FrameEnd);
}

ULONG ConvertDeinterlacedFrame(PDeviceContext Context, PUCHAR Scratch, PUCHAR ScratchEnd, PUCHAR FrameBuffer,
                               PUCHAR FrameEnd) {
    FrameInput input = {Scratch, ScratchEnd, nullptr};
    return ConvertFrame(Context, &input, FrameBuffer, FrameEnd);
}
