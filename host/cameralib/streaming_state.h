// What the library keeps of a device's stream, shared by the files of its streaming side: the
// isochronous pump (iso_pump.cpp), the read queue and frame worker (read_queue.cpp) and run/stop
// (streaming.cpp). Nothing outside host/cameralib uses it.
//
// Three kinds of state, each with its own rule: observers are set while no stream runs; the running
// stream's queues and counters are shared by the SRB threads, the camera's thread and the two workers
// under Mutex; the assembly is the completion worker's alone.
#pragma once

#include "host/bus/usb_device.h"
#include "host/cameralib/frame_assembly.h"
#include "host/cameralib/streaming.h"
#include "host/kernel/kernel_host.h"

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace cameralib {

// The frame time when the format gives none (15 frames per second).
constexpr int64_t DEFAULT_FRAME_TIME_100NS = 666667;

// A frame the completion worker finished, on its way to the frame worker.
struct FinishedFrame {
    FrameRecord Record;
    std::vector<uint8_t> Raw; // the assembly, for a frame that will take a read, unless it is lent:
    const uint8_t* LentBase = nullptr;
    std::shared_ptr<const void> LentKeep;
    const uint8_t* Bytes() const { return LentBase != nullptr ? LentBase : Raw.data(); }
    uint32_t DataPackets = 0;
    std::vector<uint8_t> FrameContext;
    int64_t Done100ns = 0;
    std::chrono::steady_clock::time_point DoneReal;
    bool Discontinuity = false; // frames were lost before this one
};

// A transfer on each of the camera's two endpoints, submitted together and filled in step.
struct TransferPair {
    TransferPair(uint8_t SyncEndpoint, uint32_t SyncPacketSize, uint8_t DataEndpoint, uint32_t DataPacketSize,
                 uint32_t Packets)
        : Sync(SyncEndpoint, Packets, SyncPacketSize), Data(DataEndpoint, Packets, DataPacketSize) {
        Sync.Context = this;
        Data.Context = this;
    }
    bus::IsoTransfer Sync;
    bus::IsoTransfer Data;
    unsigned Back = 0; // of the two, handed back since they were submitted (under the state's lock)
};

struct StreamingState {
    // ---- set while no stream runs ----
    FrameObserver OnFrame;
    RawFrameObserver OnRawFrame;
    BandwidthCallObserver AroundBandwidth;

    // ---- the running stream: between the SRB threads, the camera's thread and the workers ----
    host::Mutex Mutex;
    bool Running = false;
    bool Quit = false;    // the workers end
    bool Removed = false; // the camera was pulled out
    ULONG StreamNumber = 0;
    ULONG RawFrameLength = 0;
    ULONG ImageSize = 0;
    int64_t FrameTime100ns = DEFAULT_FRAME_TIME_100NS;
    int64_t RunStart100ns = 0;
    uint8_t SyncEndpoint = 0;
    uint8_t DataEndpoint = 0;
    std::vector<std::unique_ptr<TransferPair>> Transfers;
    std::deque<TransferPair*> Returned;         // handed back by the bus, for the completion worker
    std::deque<PHW_STREAM_REQUEST_BLOCK> Reads; // pending, oldest first
    std::deque<FinishedFrame> Finished;         // for the frame worker, in order
    std::vector<std::vector<uint8_t>> SpareFrames; // frame buffers the frame worker is done with
    size_t FramesPromised = 0;                     // frames in Finished that will take a read
    uint64_t ReadsQueued = 0;
    int64_t WaitingSince100ns = 0; // the oldest read has waited for a usable frame since
    uint64_t FramesFinished = 0;
    bool LostSinceDelivery = false;
    StreamStatistics Stats;

    // ---- the completion worker's alone ----
    FrameAssembly Assembly;
    // Written by the completion worker alone, read by anyone: a counter of its own rather than a lock
    // taken for each of the eleven thousand packets of a frame.
    std::atomic<uint64_t> PacketsPumped{0};

    host::ClockThread CompletionWorker;
    host::ClockThread FrameWorker;
};

// The device's streaming state, made at first use (streaming.cpp).
StreamingState* EnsureStreaming(LibraryDevice* Device);

// ---- the isochronous pump (iso_pump.cpp) ----------------------------------------------------------------
// The camera's sync and data pipes as the driver configured them; false when the interface has none.
bool FindStreamingPipes(const LibraryDevice* Device, uint8_t* SyncEndpoint, uint32_t* SyncPacketSize,
                        uint8_t* DataEndpoint, uint32_t* DataPacketSize);
// Opens the endpoints and starts the completion worker; then SubmitTransfers puts every transfer on the
// bus.
void OpenPump(LibraryDevice* Device, StreamingState* State);
void SubmitTransfers(LibraryDevice* Device, StreamingState* State);
// Takes every transfer back from the bus (they come back cancelled).
void AbortPump(LibraryDevice* Device, StreamingState* State);

// ---- the read queue (read_queue.cpp) --------------------------------------------------------------------
// The frame being assembled has ended at clock time Done100ns: it goes to the frame worker, to be
// delivered if a read will take it, or reported as dropped. The completion worker calls it.
void FinishFrame(LibraryDevice* Device, StreamingState* State, int64_t Done100ns);
void StartFrameWorker(LibraryDevice* Device, StreamingState* State);
// Completes a read in the library's name, with Status and Bytes of data.
void CompleteRead(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status, ULONG Bytes);

} // namespace cameralib
