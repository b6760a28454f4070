// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "camera/bandwidth.h"
NTSTATUS NTAPI CamAllocateBandwidth(PDEVICE_OBJECT, PVOID, PULONG, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS NTAPI CamFreeBandwidth(PDEVICE_OBJECT, PVOID) { return STATUS_NOT_IMPLEMENTED; }
