// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "properties/settings.h"
NTSTATUS InitializeSettings(PDEVICE_OBJECT, PDeviceContext) { return STATUS_SUCCESS; }
BOOLEAN LoadSettings(PDeviceContext) { return FALSE; }
NTSTATUS SaveSettings(PDEVICE_OBJECT, PDeviceContext) { return STATUS_NOT_IMPLEMENTED; }
