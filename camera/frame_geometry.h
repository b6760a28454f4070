// Where the image lies in the de-interlaced frame, and the sensor window last accepted. Driver-wide:
// every camera the driver serves shares it, and the last successful allocation on any of them wins.
#pragma once

#include "driver/device_context.h"

struct FrameGeometryRecord {
    LONG WindowX;
    LONG WindowY;
    LONG WindowWidth;
    LONG WindowHeight;
    LONG SourceX;      // first byte of the image within a de-interlaced line
    LONG SourceWidth;  // image width in bytes (one per pixel)
    LONG SourceStride; // bytes per de-interlaced line
    LONG SourceY;      // first line of the image
    LONG SourceHeight; // image height in lines
    LONG SourceLines;  // lines of the de-interlaced frame
};

extern FrameGeometryRecord FrameGeometry;

constexpr LONG DEINTERLACED_STRIDE = 2894;
constexpr LONG DEINTERLACED_LINES = 2048;

NTSTATUS SetWindowFromFormat(PDeviceContext Context, LONG Width, LONG Height);
NTSTATUS SetSensorWindow(PDeviceContext Context, LONG X, LONG Y, LONG Width, LONG Height, LONG Mode);
NTSTATUS SetSourceRect(LONG Stride, LONG X, LONG Width, LONG Lines, LONG Y, LONG Height);
