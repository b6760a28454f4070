// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "imaging/raw_frame.h"
LONG RawDumpDone;
NTSTATUS NTAPI CamProcessRawVideoFrame(PDEVICE_OBJECT, PVOID, PVOID, PVOID, ULONG, PVOID, ULONG, ULONG, PULONG) { return STATUS_SUCCESS; }
NTSTATUS NTAPI CamProcessRawVideoFrameEx(PDEVICE_OBJECT, PVOID, PVOID, PVOID, ULONG, PVOID, ULONG, ULONG, PULONG, ULONG, ULONG) { return STATUS_SUCCESS; }
