// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "platform/camera_class.h"
ULONG QRXUSBCAMD_DriverEntry(PVOID, PVOID, ULONG, ULONG, PHW_RECEIVE_DEVICE_SRB) { return (ULONG)STATUS_NOT_IMPLEMENTED; }
PVOID QRXUSBCAMD_AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK, PUSBCAMD_DEVICE_DATA, PDEVICE_OBJECT*, BOOLEAN) { return nullptr; }
ULONG QRXUSBCAMD_InitializeNewInterface(PVOID, PVOID, ULONG, ULONG) { return 0; }
