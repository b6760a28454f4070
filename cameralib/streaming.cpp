// PLACEHOLDER so the tree links while this module is written; replaced by its real implementation.
#include "cameralib/streaming.h"
namespace cameralib {
NTSTATUS StreamRun(LibraryDevice*, ULONG, const KSDATAFORMAT*) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS StreamStop(LibraryDevice*, ULONG) { return STATUS_NOT_IMPLEMENTED; }
void StreamRead(LibraryDevice*, PHW_STREAM_REQUEST_BLOCK Srb) { Srb->Status = STATUS_NOT_IMPLEMENTED; StreamClassStreamNotification(StreamRequestComplete, Srb->StreamObject, Srb); }
void StreamRelease(LibraryDevice*) {}
}
