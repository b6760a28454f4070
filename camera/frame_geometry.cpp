#include "camera/frame_geometry.h"

#include "driver/relaxed.h"

// Zero until the first bandwidth allocation; written by allocation on any camera, read by every frame.
FrameGeometryRecord FrameGeometry;

NTSTATUS SetWindowFromFormat(PDeviceContext Context, LONG Width, LONG Height) {
    return SetSensorWindow(Context, 0, 0, Width, Height, 0);
}

NTSTATUS SetSensorWindow(PDeviceContext, LONG X, LONG Y, LONG Width, LONG Height, LONG Mode) {
    // Compare in 64 bits so that a huge X + Width cannot wrap round into an accepted window.
    if (X < 0 || Y < 0 || Width < 4 || Height < 3 || LONGLONG(X) + Width > DEINTERLACED_STRIDE ||
        LONGLONG(Y) + Height > DEINTERLACED_LINES || Mode < 0 || Mode > 3)
        return STATUS_NOT_SUPPORTED;

    WriteRelaxed(FrameGeometry.WindowX, X);
    WriteRelaxed(FrameGeometry.WindowY, Y);
    WriteRelaxed(FrameGeometry.WindowWidth, Width);
    WriteRelaxed(FrameGeometry.WindowHeight, Height);

    // The de-interlaced frame always holds the window from its first byte and line: the camera sends
    // the window's samples, not the whole sensor, so X and Y do not move the source rectangle.
    return SetSourceRect(DEINTERLACED_STRIDE, 0, Width, DEINTERLACED_LINES, 0, Height);
}

NTSTATUS SetSourceRect(LONG Stride, LONG X, LONG Width, LONG Lines, LONG Y, LONG Height) {
    // A negative X or Y would place the image before the frame's first byte, so the pipeline would read
    // in front of its scratch frame; they are refused like any other rectangle outside the frame.
    if (Stride <= 0 || X < 0 || Width <= 0 || LONGLONG(X) + Width > Stride || Lines <= 0 || Y < 0 ||
        Height <= 0 || LONGLONG(Y) + Height > Lines)
        return STATUS_NOT_SUPPORTED;

    WriteRelaxed(FrameGeometry.SourceHeight, Height);
    WriteRelaxed(FrameGeometry.SourceStride, Stride);
    WriteRelaxed(FrameGeometry.SourceX, X);
    WriteRelaxed(FrameGeometry.SourceWidth, Width);
    WriteRelaxed(FrameGeometry.SourceLines, Lines);
    WriteRelaxed(FrameGeometry.SourceY, Y);
    return STATUS_SUCCESS;
}
