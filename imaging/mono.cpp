#include "imaging/mono.h"

#include "camera/frame_geometry.h"
#include "imaging/raw_frame.h"
#include "imaging/vector_paths.h"
#include "platform/kernel.h"
#include "driver/relaxed.h"

namespace {

// The de-interlace leaves the tail of every line and the lines below the image unwritten; in the kernel
// they hold whatever the pool block held before. Clear them so that the dump file carries the frame and
// nothing of other allocations.
VOID ClearUnfilledBytes(PUCHAR Scratch, SIZE_T Bytes) {
    for (SIZE_T line = 0; line < 2 * RAW_FIELD_LINES; ++line) {
        const SIZE_T tail = line * RAW_LINE_DISTANCE + RAW_LINE_SAMPLES;
        const SIZE_T next = (line + 1) * RAW_LINE_DISTANCE;
        if (tail >= Bytes)
            return;
        __builtin_memset(Scratch + tail, 0, (next < Bytes ? next : Bytes) - tail);
    }
    const SIZE_T below = 2 * RAW_FIELD_LINES * RAW_LINE_DISTANCE;
    if (below < Bytes)
        __builtin_memset(Scratch + below, 0, Bytes - below);
}

// One attempt per driver load, whatever happens: the statuses are not looked at, and a file that could
// not be created is neither written nor closed.
VOID WriteRawDump(PUCHAR Scratch, SIZE_T ScratchBytes) {
    LONGLONG length =
        LONGLONG(ReadRelaxed(FrameGeometry.SourceLines)) * ReadRelaxed(FrameGeometry.SourceStride);
    if (length < 0)
        length = 0;
    if (ULONGLONG(length) > ScratchBytes) // never read past a scratch frame shorter than the frame
        length = LONGLONG(ScratchBytes);
    ClearUnfilledBytes(Scratch, SIZE_T(length));

    UNICODE_STRING name;
    RtlInitUnicodeString(&name, RAW_DUMP_FILE_NAME);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    HANDLE file = nullptr;
    IO_STATUS_BLOCK ioStatus = {};
    const NTSTATUS status =
        ZwCreateFile(&file, GENERIC_WRITE, &attributes, &ioStatus, nullptr, FILE_ATTRIBUTE_NORMAL, 0,
                     FILE_OVERWRITE_IF, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (!NT_SUCCESS(status))
        return;
    ZwWriteFile(file, nullptr, nullptr, nullptr, &ioStatus, Scratch, ULONG(length), nullptr, nullptr);
    ZwClose(file);
}

} // namespace

// Four samples at a time become three 32-bit words.
VOID ReplicateSamplesScalar(const UCHAR* Source, PUCHAR Out, SIZE_T N) {
    SIZE_T i = 0;
    for (; i + 4 <= N; i += 4) {
        const ULONG s0 = Source[i], s1 = Source[i + 1], s2 = Source[i + 2], s3 = Source[i + 3];
        // Little-endian, as on every target we build. Three separate stores: one wide load of words
        // just stored separately would have to wait for them to reach the cache.
        const ULONG word0 = s0 * 0x010101u | s1 << 24;
        const ULONG word1 = s1 * 0x0101u | s2 * 0x01010000u;
        const ULONG word2 = s2 | s3 * 0x01010100u;
        __builtin_memcpy(Out + 3 * i, &word0, sizeof(word0));
        __builtin_memcpy(Out + 3 * i + 4, &word1, sizeof(word1));
        __builtin_memcpy(Out + 3 * i + 8, &word2, sizeof(word2));
    }
    for (; i < N; ++i)
        Out[3 * i] = Out[3 * i + 1] = Out[3 * i + 2] = Source[i];
}

ULONG ConvertMono(PDeviceContext Context, PUCHAR Scratch, PUCHAR ScratchEnd, PUCHAR FrameBuffer,
                  PUCHAR FrameEnd) {
    FrameInput input = {Scratch, ScratchEnd, nullptr};
    return ConvertMonoFrom(Context, &input, FrameBuffer, FrameEnd);
}

ULONG ConvertMonoFrom(PDeviceContext Context, FrameInput* Input, PUCHAR FrameBuffer, PUCHAR FrameEnd) {
    const SIZE_T scratchBytes = BufferBytes(Input->Scratch, Input->ScratchEnd);
    const SIZE_T frameBytes = BufferBytes(FrameBuffer, FrameEnd);

    if (ReadRelaxed(RawDumpDone) == 0) {
        // Set before the attempt: a dump that fails is not retried by the next frame or camera.
        WriteRelaxed(RawDumpDone, 1);
        FillScratch(Input);
        WriteRawDump(Input->Scratch, scratchBytes);
    }

    const LONG width = ReadRelaxed(Context->FormatWidth);
    const LONG height = ReadRelaxed(Context->FormatHeight);
    const LONG stride = ReadRelaxed(FrameGeometry.SourceStride);
    const LONG sourceX = ReadRelaxed(FrameGeometry.SourceX);
    const LONG sourceY = ReadRelaxed(FrameGeometry.SourceY);
    const WindowRows rows = RowsOfWindow(Input, sourceX, sourceY, stride, width, height);

    // The image is stored bottom row first. At most FormatHeight rows are taken, from the window's bottom
    // row up to its first row, so however long the frame buffer is the loop never climbs above the
    // window; a row ends early where the scratch frame ends, and only whole pixels are written.
    VectorStateSave vectorState;
    const ImagingKernels kernels = BeginImagingKernels(&vectorState);
    SIZE_T out = 0;
    for (LONG row = 0; row < height && frameBytes - out >= 3; ++row) {
        const LONG windowRow = height - 1 - row;
        const LONGLONG start = (LONGLONG(sourceY) + windowRow) * stride + sourceX;
        if (width <= 0 || start < 0 || ULONGLONG(start) >= scratchBytes)
            continue;
        SIZE_T pixels = SIZE_T(width);
        if (pixels > scratchBytes - SIZE_T(start))
            pixels = scratchBytes - SIZE_T(start);
        if (pixels > (frameBytes - out) / 3)
            pixels = (frameBytes - out) / 3;
        kernels.Replicate(WindowRow(rows, windowRow), FrameBuffer + out, pixels);
        out += 3 * pixels;
    }
    EndImagingKernels(&vectorState, kernels);
    return ULONG(out);
}
