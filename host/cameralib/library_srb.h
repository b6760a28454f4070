// The library's SRB side, shared between its files: stream records and the direct-call interface.
#pragma once

#include "host/cameralib/library_device.h"

#include <cstdint>
#include <atomic>
#include <vector>

namespace cameralib {

// One open stream as the library keeps it: the driver's hooks, the state and the format in force.
struct LibraryStream {
    LibraryDevice* Device = nullptr;
    PHW_STREAM_OBJECT StreamObject = nullptr;
    PFNUSBCAMD_STREAM_HOOK ControlHook = nullptr; // the driver's, called first
    PFNUSBCAMD_STREAM_HOOK DataHook = nullptr;
    KSSTATE State = KSSTATE_STOP;
    // Capture started through StreamRun. Set by the thread that runs or stops the stream, read by every
    // thread that sends a read, with no lock between them.
    std::atomic<bool> Running{false};
    std::vector<uint64_t> Format; // FormatSize bytes, 8-aligned
};

// Stream open and close as handed over by the driver; the SRB is completed by the caller.
NTSTATUS OpenLibraryStream(LibraryDevice* Device, PHW_STREAM_REQUEST_BLOCK Srb);
NTSTATUS CloseLibraryStream(LibraryDevice* Device, PHW_STREAM_REQUEST_BLOCK Srb);
// Stops and forgets every stream of a device (removal).
void ReleaseLibraryStreams(LibraryDevice* Device);
LibraryStream* FindLibraryStream(PHW_STREAM_OBJECT StreamObject);
// The format a stream's SRB carries becomes the stream's (SetVideoFormat).
void TakeStreamFormat(LibraryStream* Stream, const KSDATAFORMAT* Format);

// Fills the direct-call interface as the query asked and the device's answer mode says; the IRP's
// status is set and the request completed (or left pending). Returns what a dispatch routine returns.
NTSTATUS AnswerInterfaceQuery(PVOID DeviceExtension, PDEVICE_OBJECT DeviceObject, PIRP Irp);

} // namespace cameralib
