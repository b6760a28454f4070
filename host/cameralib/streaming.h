// The library's streaming side: bandwidth and capture around a running stream, the isochronous
// transfers kept submitted to the camera's two endpoints on the bus, the completion worker that frames
// the camera's packets through the driver and assembles raw frames, and the frame worker that converts
// them into read requests.
#pragma once

#include "host/cameralib/library_device.h"

#include <cstdint>
#include <functional>

namespace cameralib {

// A stream goes to KSSTATE_RUN: allocate bandwidth for Format and start capture through the driver's
// version-2 callbacks. The result is the status of the state change.
NTSTATUS StreamRun(LibraryDevice* Device, ULONG StreamNumber, const KSDATAFORMAT* Format);
// A running stream stops (state change to STOP, or the stream closes): stop capture, free bandwidth,
// drop the frame being assembled. The result is the status of the state change: the first failure of
// stop capture and free bandwidth (the stream is stopped regardless).
NTSTATUS StreamStop(LibraryDevice* Device, ULONG StreamNumber);
// A read request the driver's data hook left to the library. It is queued, and completed (by the
// library, through StreamClassStreamNotification, from its frame worker) once a frame has been converted
// into its buffer, with the frame's KS_FRAME_INFO when the header has room for one; or with an error
// status: at once STATUS_DEVICE_NOT_READY when the stream is not running and STATUS_BUFFER_TOO_SMALL for a
// buffer shorter than the format's image; later STATUS_DEVICE_DATA_ERROR when no usable frame came for
// 16 frame times, STATUS_CANCELLED when the stream stops, STATUS_DEVICE_NOT_CONNECTED when the camera is
// pulled out.
void StreamRead(LibraryDevice* Device, PHW_STREAM_REQUEST_BLOCK Srb);
// The camera was pulled out (SRB_SURPRISE_REMOVAL): pending reads fail, the workers end; the stream
// stops later through the driver's callbacks as usual.
void StreamSurpriseRemoval(LibraryDevice* Device);
// Drop the library's streaming state of a device (at stream close / device removal): observers and
// counters go with it.
void StreamRelease(LibraryDevice* Device);

// The driver's SetIsoPipeState calls (recorded by the direct-call interface in IsoPipeStateCalls) act on
// the pump: USBCAMD_STOP_STREAM (1) stops the isochronous pipe and throws away the frame being
// assembled, USBCAMD_START_STREAM (0) starts it again. The driver asks for both in a row when the camera
// sends a restart header.

// ---- what the pump did ---------------------------------------------------------------------------------

// One frame the library finished: delivered into a read request, or dropped. Observers are called in
// the frame worker's thread, in the order the frames ended.
struct FrameRecord {
    int64_t TimeUs; // clock time when the frame's last packet arrived
    uint64_t Index; // frames finished on this stream so far, delivered or dropped
    uint32_t Bytes; // delivered: the bytes the driver reported; dropped: the bytes assembled
    bool Dropped;
    bool Still;       // the driver marked the frame as a still image
    uint32_t Packets; // the camera's packets the frame was assembled from
};
using FrameObserver = std::function<void(const FrameRecord& Frame)>;
void SetFrameObserver(LibraryDevice* Device, FrameObserver Observer);

// Called with each assembled raw frame before it goes to the driver: the raw frame length the driver
// asked for at bandwidth allocation, whole packets of the camera included.
using RawFrameObserver = std::function<void(uint64_t Index, const uint8_t* Data, size_t Length)>;
void SetRawFrameObserver(LibraryDevice* Device, RawFrameObserver Observer);

// Called just before and just after each bandwidth allocation and release the library asks of the driver:
// the alternate-setting selections happen inside those calls, and a trace that collects its records
// between calls can put them in their place among the vendor requests around them.
using BandwidthCallObserver = std::function<void()>;
void SetBandwidthCallObserver(LibraryDevice* Device, BandwidthCallObserver Observer);

struct StreamStatistics {
    uint64_t FramesDelivered = 0; // frames converted into read requests
    uint64_t FramesDropped = 0;   // every frame lost: spoiled assemblies and whole frames no read took
    uint64_t FramesDamaged = 0;   // of those, assemblies thrown away: drop flag, short, overlong, restarted
    uint64_t StillFrames = 0;     // delivered frames the driver marked as stills
    uint64_t PacketsPumped = 0;   // packets handed to the driver's packet routine
    uint64_t PipeRestarts = 0;    // stops of the isochronous pipe asked for by the driver
    ULONG RawFrameLength = 0;     // the length asked for at the last bandwidth allocation
    // Real time from the arrival of a delivered frame's last packet to its read's completion.
    uint64_t LatencySamples = 0;
    double LatencyTotalMicroseconds = 0;
};
// Counters since the stream's state was created (zeros when there is none).
StreamStatistics GetStreamStatistics(LibraryDevice* Device);

// For the scheduler's own test only: opens the window a misplaced lock leaves in a stop. The stop then
// takes the queued reads, to cancel them, under one hold of the stream's lock, and closes the stream to
// new reads under a later one (and the stream is marked stopped only after it): a read that arrives in
// between stays queued on a stopped stream.
void OpenStopWindow(bool Open);
bool StopWindowOpen();

} // namespace cameralib
