// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "driver/driver_entry.h"
NTSTATUS DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_NOT_IMPLEMENTED; }
VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK) {}
