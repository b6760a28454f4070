// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "camera/vendor_requests.h"
NTSTATUS CamWriteRegister(PDeviceContext, UCHAR, ULONG) { return STATUS_NOT_IMPLEMENTED; }
