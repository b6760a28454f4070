// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "platform/camera_class.h"
NTSTATUS QRXUSBCAMD_ControlVendorCommand(PVOID, UCHAR, USHORT, USHORT, PVOID, PULONG, BOOLEAN, PCOMMAND_COMPLETE_FUNCTION, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS QRXUSBCAMD_SelectAlternateInterface(PVOID, PUSBD_INTERFACE_INFORMATION) { return STATUS_NOT_IMPLEMENTED; }
