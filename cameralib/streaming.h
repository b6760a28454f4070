// The library's streaming side: bandwidth and capture around a running stream, the packet pump that
// frames the camera's isochronous packets through the driver, raw-frame assembly, and the read requests
// that receive converted frames.
#pragma once

#include "cameralib/library_device.h"

namespace cameralib {

// A stream goes to KSSTATE_RUN: allocate bandwidth for Format and start capture through the driver's
// version-2 callbacks. The result is the status of the state change.
NTSTATUS StreamRun(LibraryDevice* Device, ULONG StreamNumber, const KSDATAFORMAT* Format);
// A running stream stops (state change to STOP, or the stream closes): stop capture, free bandwidth,
// complete pending reads. The result is the status of the state change.
NTSTATUS StreamStop(LibraryDevice* Device, ULONG StreamNumber);
// A read request the driver's data hook left to the library. It is completed (by the library, through
// StreamClassStreamNotification) once a frame has been converted into its buffer, or with an error
// status when the stream is not running or the camera fails. The host is single threaded: the call
// pumps packets from the camera until the request is completed.
void StreamRead(LibraryDevice* Device, PHW_STREAM_REQUEST_BLOCK Srb);
// Drop the library's streaming state of a device (at stream close / device removal).
void StreamRelease(LibraryDevice* Device);

} // namespace cameralib
