// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "streams/format_negotiation.h"
NTSTATUS IntersectStreamFormat(PHW_STREAM_REQUEST_BLOCK) { return STATUS_NOT_IMPLEMENTED; }
VOID STREAMAPI CamReceiveCtrlPacket(PHW_STREAM_REQUEST_BLOCK, PVOID, PBOOLEAN) {}
VOID STREAMAPI CamReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK, PVOID, PBOOLEAN) {}
bool VerifyStreamFormat(const KSDATAFORMAT*, LONG) { return false; }
