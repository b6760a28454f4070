#include "imaging/raw_frame.h"

#include "imaging/color.h"
#include "imaging/mono.h"
#include "platform/kernel.h"
#include "platform/relaxed.h"

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

    DeinterlaceFrame(static_cast<const UCHAR*>(RawFrameBuffer), scratch);
    PUCHAR frame = static_cast<PUCHAR>(FrameBuffer);
    *BytesReturned = ConvertDeinterlacedFrame(static_cast<PDeviceContext>(DeviceContext), scratch,
                                              scratch + (RawFrameLength & ~1u), frame, frame + FrameLength);
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

ULONG ConvertDeinterlacedFrame(PDeviceContext Context, PUCHAR Scratch, PUCHAR ScratchEnd, PUCHAR FrameBuffer,
                               PUCHAR FrameEnd) {
    if (ReadRelaxed(Context->ColorEnable))
        return ConvertColor(Context, Scratch, ScratchEnd, FrameBuffer, FrameEnd);
    return ConvertMono(Context, Scratch, ScratchEnd, FrameBuffer, FrameEnd);
}
