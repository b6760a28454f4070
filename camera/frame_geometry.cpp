// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "camera/frame_geometry.h"
FrameGeometryRecord FrameGeometry;
NTSTATUS SetWindowFromFormat(PDeviceContext, LONG, LONG) { return STATUS_NOT_IMPLEMENTED; }
