// The library's streaming side, with the threads the platform's library has. While a stream runs, a
// few isochronous transfers stay submitted to the camera's data pipe. The completion worker (standing
// for the library's DPC, at dispatch level) takes each transfer the bus hands back, runs every packet
// through the driver's packet routine, which says how many of its bytes are image data, where the frame
// ends and whether the frame must be dropped, appends the bytes to the frame being assembled and submits
// the transfer again. A complete frame is handed to the frame worker (passive level) when a read request
// is pending for it, and dropped and counted when none is. The frame worker gives the frame and the
// oldest pending read's buffer to the driver's raw-frame routine, and completes the read with the
// frame's presentation time, duration and number.
//
// Nothing of a frame is copied while all goes well: the camera's transfers point into the frame it
// rendered, and as long as the driver takes every packet's bytes in order from where the last ones
// ended, the assembled frame is that same rendered frame, kept alive by the transfers and then by the
// assembly, so the driver converts it from there. Only an assembly that departs from it (a driver
// offset, an inserted packet's bytes, a frame spanning two of the camera's) is copied out into a frame
// buffer of its own, up to that point, and then built there packet by packet. The driver's packet and
// raw-frame routines only read the bytes they are given, as they would a bus transfer buffer.
#include "host/cameralib/streaming.h"

#include "host/kernel/kernel_host.h"
#include "host/streamclass/stream_class_host.h"
#include "host/simcam/sensor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace cameralib {

namespace {

// Transfers kept on the bus, and the packets each has room for: enough that the completion worker
// may fall a third of a frame behind the camera before packets are lost.
constexpr unsigned TRANSFERS = 4;
constexpr uint32_t PACKETS_PER_TRANSFER = 4096;
// The frame time when the format gives none (15 frames per second).
constexpr int64_t DEFAULT_FRAME_TIME_100NS = 666667;
// A read waits this many frame times for a usable frame; then the application is better told than
// left waiting for ever. Half a frame time more, so that the camera's frames never end at the very
// moment a read gives up.
constexpr int64_t READ_PATIENCE_FRAMES = 16;

int64_t ReadPatience(int64_t FrameTime100ns) {
    return READ_PATIENCE_FRAMES * FrameTime100ns + FrameTime100ns / 2;
}

using SharedFrame = std::shared_ptr<const std::vector<uint8_t>>;

// A frame the completion worker finished, on its way to the frame worker.
struct FinishedFrame {
    FrameRecord Record;
    SharedFrame Source;        // in place: the camera's frame holds the assembly
    std::vector<uint8_t> Copy; // out of place: the assembly
    uint32_t DataPackets = 0;
    std::vector<uint8_t> FrameContext;
    int64_t Done100ns = 0;
    std::chrono::steady_clock::time_point DoneReal;
    bool Discontinuity = false; // frames were lost before this one
};

} // namespace

struct StreamingState {
    // ---- set while no stream runs ----
    FrameObserver OnFrame;
    RawFrameObserver OnRawFrame;
    BandwidthCallObserver AroundBandwidth;

    // ---- the running stream: between the SRB threads, the camera's thread and the workers ----
    std::mutex Mutex;
    bool Running = false;
    bool Quit = false;    // the workers end
    bool Removed = false; // the camera was pulled out
    ULONG StreamNumber = 0;
    ULONG RawFrameLength = 0;
    ULONG ImageSize = 0;
    int64_t FrameTime100ns = DEFAULT_FRAME_TIME_100NS;
    int64_t RunStart100ns = 0;
    std::vector<std::unique_ptr<simcam::IsoTransfer>> Transfers;
    std::deque<simcam::IsoTransfer*> Returned;  // handed back by the bus, for the completion worker
    std::deque<PHW_STREAM_REQUEST_BLOCK> Reads; // pending, oldest first
    std::deque<FinishedFrame> Finished;         // for the frame worker, in order
    size_t FramesPromised = 0;                  // frames in Finished that will take a read
    uint64_t ReadsQueued = 0;
    int64_t WaitingSince100ns = 0; // the oldest read has waited for a usable frame since
    uint64_t FramesFinished = 0;
    bool LostSinceDelivery = false;
    StreamStatistics Stats;

    // ---- the assembly: the completion worker's alone ----
    std::vector<uint8_t> RawFrame; // a frame assembled out of place
    uint32_t Assembled = 0;
    bool InPlace = true;
    SharedFrame Source; // while in place, the camera frame whose first Assembled bytes are the assembly
    uint32_t DataPackets = 0;
    // Written by the completion worker alone, read by anyone: a counter of its own rather than a lock
    // taken for each of the eleven thousand packets of a frame.
    std::atomic<uint64_t> PacketsPumped{0};
    bool Dropping = false;
    bool Still = false;
    bool NextIsStill = false;
    bool PipeStopped = false;
    std::vector<uint8_t> FrameContextBytes;

    host::ClockThread CompletionWorker;
    host::ClockThread FrameWorker;
};

namespace {

StreamingState* Ensure(LibraryDevice* Device) {
    if (Device->Streaming == nullptr)
        Device->Streaming = new StreamingState;
    return Device->Streaming;
}

void CompleteRead(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status, ULONG Bytes) {
    streamclass::CompleterScope library(streamclass::Completer::Library);
    if (Srb->NumberOfBuffers > 0 && Srb->CommandData.DataBufferArray != nullptr)
        Srb->CommandData.DataBufferArray->DataUsed = Bytes;
    Srb->ActualBytesTransferred = Bytes;
    Srb->Status = Status;
    StreamClassStreamNotification(StreamRequestComplete, Srb->StreamObject, Srb);
}

PKSSTREAM_HEADER ReadHeader(PHW_STREAM_REQUEST_BLOCK Srb) {
    return Srb->NumberOfBuffers > 0 ? Srb->CommandData.DataBufferArray : nullptr;
}

void NotifyBandwidthCall(StreamingState* State) {
    if (State->AroundBandwidth)
        State->AroundBandwidth();
}

// ---- the completion worker ---------------------------------------------------------------------------

// A fresh assembly: tell the driver a new frame begins, as the library does before each frame.
void BeginAssembly(LibraryDevice* Device, StreamingState* State) {
    State->Assembled = 0;
    State->InPlace = true;
    State->Source.reset();
    State->DataPackets = 0;
    State->Dropping = false;
    State->Still = State->NextIsStill;
    State->NextIsStill = false;
    std::fill(State->FrameContextBytes.begin(), State->FrameContextBytes.end(), 0);
    if (Device->DeviceData2 != nullptr && Device->DeviceData2->CamNewVideoFrameEx != nullptr) {
        ULONG frameLength = State->RawFrameLength;
        Device->DeviceData2->CamNewVideoFrameEx(Device->DeviceContext, State->FrameContextBytes.data(),
                                                State->StreamNumber, &frameLength);
    }
}

// The frame being assembled leaves the camera's frame: the bytes taken from it so far are copied into
// the library's own frame buffer, where the assembly goes on.
void AssembleOutOfPlace(StreamingState* State) {
    if (!State->InPlace)
        return;
    State->InPlace = false;
    if (State->RawFrame.size() != State->RawFrameLength)
        State->RawFrame.assign(State->RawFrameLength, 0);
    if (State->Assembled != 0)
        std::memcpy(State->RawFrame.data(), State->Source->data(), State->Assembled);
    State->Source.reset();
}

// Appends Bytes bytes at Data (inside the transfer's packet, whose frame is Frame) to the frame being
// assembled; the caller has checked they fit.
void Append(StreamingState* State, const SharedFrame& Frame, const uint8_t* Data, uint32_t Bytes) {
    if (State->InPlace && Frame != nullptr) {
        const uint8_t* base = Frame->data();
        const bool continues =
            State->Assembled == 0 ? Data == base : State->Source == Frame && Data == base + State->Assembled;
        if (continues && Bytes <= Frame->size() - State->Assembled) {
            if (State->Assembled == 0)
                State->Source = Frame;
            State->Assembled += Bytes;
            return;
        }
    }
    AssembleOutOfPlace(State);
    std::memcpy(State->RawFrame.data() + State->Assembled, Data, Bytes);
    State->Assembled += Bytes;
}

// The frame being assembled has ended at clock time Done100ns: it goes to the frame worker, to be
// delivered if a read will take it, or reported as dropped.
void FinishFrame(LibraryDevice* Device, StreamingState* State, int64_t Done100ns) {
    const bool whole =
        !State->Dropping && State->Assembled == State->RawFrameLength && State->RawFrameLength != 0;
    FinishedFrame frame;
    frame.Record = FrameRecord{Done100ns / 10, 0, State->Assembled, true, State->Still};
    frame.Done100ns = Done100ns;
    frame.DoneReal = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(State->Mutex);
        frame.Record.Index = State->FramesFinished++;
        // Only a frame of exactly the length asked for is whole: a shorter one lacks packets, and the
        // driver trusts the raw frame to have that length. A whole frame is kept only if a read is
        // pending that no frame already on its way will take.
        if (whole && State->Reads.size() > State->FramesPromised) {
            frame.Record.Dropped = false;
            frame.DataPackets = State->DataPackets;
            frame.FrameContext = State->FrameContextBytes;
            if (State->InPlace)
                frame.Source = State->Source;
            else
                frame.Copy.swap(State->RawFrame);
            frame.Discontinuity = State->LostSinceDelivery;
            State->LostSinceDelivery = false;
            ++State->FramesPromised;
        } else {
            ++State->Stats.FramesDropped;
            if (!whole)
                ++State->Stats.FramesDamaged;
            State->LostSinceDelivery = true;
        }
        State->Finished.push_back(std::move(frame));
    }
    host::ClockNotify();
    BeginAssembly(Device, State);
}

// A SetIsoPipeState call of the driver. Stopping the pipe loses the transfers in flight, so the frame
// being assembled can never be whole; one that had not begun yet loses nothing.
void ApplyPipeState(StreamingState* State, ULONG Flags) {
    if (Flags == USBCAMD_STOP_STREAM) {
        ++State->Stats.PipeRestarts;
        State->PipeStopped = true;
        if (State->DataPackets != 0) {
            State->Dropping = true;
            State->Assembled = 0;
            State->InPlace = false;
            State->Source.reset();
        }
    } else if (Flags == USBCAMD_START_STREAM) {
        State->PipeStopped = false;
    }
}

// One packet through the driver's packet routine and into the frame being assembled.
void ProcessPacket(LibraryDevice* Device, StreamingState* State, const simcam::IsoTransfer& Transfer,
                   const simcam::PacketView& Packet) {
    if (State->PipeStopped)
        return; // the pipe is idle: the packet is lost on the bus

    // Sync and data buffers of exactly their size, as the bus would fill them.
    UCHAR sync[1] = {Packet.Header};
    USBD_ISO_PACKET_DESCRIPTOR syncPacket{0, sizeof(sync), Packet.SyncStatus};
    USBD_ISO_PACKET_DESCRIPTOR dataPacket{0, Packet.Length, Packet.DataStatus};
    BOOLEAN frameComplete = FALSE;
    ULONG packetFlag = 0;
    ULONG validDataOffset = 0;
    const size_t pipeCallsBefore = Device->IsoPipeStateCalls.size();
    State->PacketsPumped.store(State->PacketsPumped.load(std::memory_order_relaxed) + 1,
                               std::memory_order_relaxed);
    const ULONG bytes = Device->DeviceData2->CamProcessUSBPacketEx(
        Device->BusDeviceObject, Device->DeviceContext, State->FrameContextBytes.data(), &syncPacket, sync,
        &dataPacket, Packet.Length == 0 ? nullptr : const_cast<uint8_t*>(Packet.Data), &frameComplete,
        &packetFlag, &validDataOffset);

    if (Device->IsoPipeStateCalls.size() != pipeCallsBefore) {
        // The driver stopped (and normally restarted) the pipe from inside the packet routine; whatever
        // the packet routine said of this packet went with the stopped pipe.
        std::lock_guard<std::mutex> lock(State->Mutex);
        for (size_t i = pipeCallsBefore; i < Device->IsoPipeStateCalls.size(); ++i)
            ApplyPipeState(State, Device->IsoPipeStateCalls[i]);
        return;
    }
    ++State->DataPackets;
    if (packetFlag & USBCAMD_PROCESSPACKETEX_DropFrame)
        State->Dropping = true;
    if (packetFlag & USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill)
        State->Still = true;
    if (packetFlag & USBCAMD_PROCESSPACKETEX_NextFrameIsStill)
        State->NextIsStill = true;

    if (bytes != 0 && !State->Dropping) {
        const size_t size = Packet.Length;
        if (validDataOffset > size || bytes > size - validDataOffset) {
            State->Dropping = true; // the driver claims bytes the packet does not have
        } else if (bytes > State->RawFrameLength - State->Assembled) {
            State->Dropping = true; // longer than the frame we asked for: never write past it
        } else {
            Append(State, Transfer.Frame, Packet.Data + validDataOffset, bytes);
        }
    }
    if (frameComplete)
        FinishFrame(Device, State, Transfer.Completed100ns);
}

void CompletionWorker(LibraryDevice* Device, StreamingState* State) {
    for (;;) {
        host::ClockWait([State]() {
            std::lock_guard<std::mutex> lock(State->Mutex);
            return State->Quit || !State->Returned.empty();
        });
        simcam::IsoTransfer* transfer = nullptr;
        {
            std::lock_guard<std::mutex> lock(State->Mutex);
            if (State->Quit)
                return;
            transfer = State->Returned.front();
            State->Returned.pop_front();
        }
        if (transfer->Status != STATUS_SUCCESS)
            continue; // cancelled, or the camera is gone: it stays with the library
        for (uint32_t i = 0; i < transfer->Count; ++i)
            ProcessPacket(Device, State, *transfer, transfer->Packets[i]);
        transfer->Frame.reset();
        Device->Camera->Submit(transfer);
    }
}

// ---- the frame worker --------------------------------------------------------------------------------

void Deliver(LibraryDevice* Device, StreamingState* State, FinishedFrame& Frame,
             PHW_STREAM_REQUEST_BLOCK Srb) {
    const uint8_t* raw = Frame.Source != nullptr ? Frame.Source->data() : Frame.Copy.data();
    if (State->OnRawFrame)
        State->OnRawFrame(Frame.Record.Index, raw,
                          std::min<size_t>(State->RawFrameLength, simcam::RAW_FRAME_SIZE));

    PKSSTREAM_HEADER header = ReadHeader(Srb);
    PVOID buffer = header != nullptr ? header->Data : nullptr;
    const ULONG bufferLength = header != nullptr ? header->FrameExtent : 0;
    ULONG bytesReturned = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (buffer != nullptr && bufferLength != 0) {
        status = Device->DeviceData2->CamProcessRawVideoFrameEx(
            Device->BusDeviceObject, Device->DeviceContext, Frame.FrameContext.data(), buffer, bufferLength,
            const_cast<uint8_t*>(raw), State->RawFrameLength, Frame.DataPackets, &bytesReturned,
            State->RawFrameLength, State->StreamNumber);
    }
    // Never report more than the buffer holds, whatever the driver answered.
    bytesReturned = std::min(bytesReturned, bufferLength);
    Frame.Record.Bytes = bytesReturned;
    Frame.Record.Dropped = false;

    LONGLONG dropped;
    {
        std::lock_guard<std::mutex> lock(State->Mutex);
        ++State->Stats.FramesDelivered;
        if (Frame.Record.Still)
            ++State->Stats.StillFrames;
        dropped = static_cast<LONGLONG>(State->Stats.FramesDropped);
    }
    if (header != nullptr) {
        header->PresentationTime.Time = Frame.Done100ns - State->RunStart100ns;
        header->PresentationTime.Numerator = 1;
        header->PresentationTime.Denominator = 1;
        header->Duration = State->FrameTime100ns;
        header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID |
                               (Frame.Discontinuity ? KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY : 0);
        if (header->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
            KS_FRAME_INFO* info = reinterpret_cast<KS_FRAME_INFO*>(header + 1);
            info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
            info->dwFrameFlags = KS_VIDEO_FLAG_FRAME;
            info->PictureNumber = static_cast<LONGLONG>(Frame.Record.Index) + 1;
            info->DropCount = dropped;
        }
    }
    if (State->OnFrame)
        State->OnFrame(Frame.Record);
    CompleteRead(Srb, NT_SUCCESS(status) ? STATUS_SUCCESS : status, NT_SUCCESS(status) ? bytesReturned : 0);
    const double latency =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - Frame.DoneReal).count();
    std::lock_guard<std::mutex> lock(State->Mutex);
    ++State->Stats.LatencySamples;
    State->Stats.LatencyTotalMicroseconds += latency;
}

void FrameWorker(LibraryDevice* Device, StreamingState* State) {
    streamclass::CompleterScope library(streamclass::Completer::Library);
    for (;;) {
        uint64_t readsSeen = 0;
        int64_t deadline = host::CLOCK_FOREVER;
        {
            std::lock_guard<std::mutex> lock(State->Mutex);
            readsSeen = State->ReadsQueued;
            if (!State->Reads.empty() && State->FramesPromised == 0)
                deadline = State->WaitingSince100ns + ReadPatience(State->FrameTime100ns);
        }
        host::ClockWait(
            [State, readsSeen]() {
                std::lock_guard<std::mutex> lock(State->Mutex);
                return State->Quit || !State->Finished.empty() || State->ReadsQueued != readsSeen;
            },
            deadline);
        FinishedFrame frame;
        PHW_STREAM_REQUEST_BLOCK srb = nullptr;
        bool gaveUp = false;
        const int64_t now = host::ClockNow100ns();
        {
            std::lock_guard<std::mutex> lock(State->Mutex);
            if (State->Quit)
                return;
            if (State->Finished.empty()) {
                if (State->Reads.empty() || State->FramesPromised != 0 ||
                    now < State->WaitingSince100ns + ReadPatience(State->FrameTime100ns))
                    continue;
                srb = State->Reads.front();
                State->Reads.pop_front();
                State->WaitingSince100ns = now;
                gaveUp = true;
            } else {
                frame = std::move(State->Finished.front());
                State->Finished.pop_front();
                if (!frame.Record.Dropped) {
                    srb = State->Reads.front();
                    State->Reads.pop_front();
                    --State->FramesPromised;
                    State->WaitingSince100ns = now;
                }
            }
        }
        if (srb == nullptr) {
            if (State->OnFrame)
                State->OnFrame(frame.Record);
        } else if (gaveUp) {
            CompleteRead(srb, STATUS_DEVICE_DATA_ERROR, 0); // no usable frame came for it
        } else {
            Deliver(Device, State, frame, srb);
        }
    }
}

// ---- stopping ------------------------------------------------------------------------------------------

// Ends the workers and takes the transfers back from the bus; then completes every pending read with
// Status. Runs with the state's lock free.
void EndStreaming(LibraryDevice* Device, StreamingState* State, NTSTATUS Status) {
    Device->Camera->AbortPipe();
    {
        std::lock_guard<std::mutex> lock(State->Mutex);
        State->Quit = true;
    }
    host::ClockNotify();
    State->CompletionWorker.Join();
    State->FrameWorker.Join();
    std::deque<PHW_STREAM_REQUEST_BLOCK> reads;
    {
        std::lock_guard<std::mutex> lock(State->Mutex);
        reads.swap(State->Reads);
        State->Finished.clear();
        State->FramesPromised = 0;
        State->Returned.clear();
    }
    for (PHW_STREAM_REQUEST_BLOCK srb : reads)
        CompleteRead(srb, Status, 0);
}

} // namespace

NTSTATUS StreamRun(LibraryDevice* Device, ULONG StreamNumber, const KSDATAFORMAT* Format) {
    StreamingState* state = Ensure(Device);
    if (state->Running)
        return STATUS_SUCCESS;
    const USBCAMD_DEVICE_DATA2* calls = Device->DeviceData2;
    if (calls == nullptr || Device->Camera == nullptr)
        return STATUS_INVALID_DEVICE_STATE;

    ULONG rawFrameLength = 0;
    NotifyBandwidthCall(state);
    NTSTATUS status =
        calls->CamAllocateBandwidthEx(Device->BusDeviceObject, Device->DeviceContext, &rawFrameLength,
                                      const_cast<KSDATAFORMAT*>(Format), StreamNumber);
    NotifyBandwidthCall(state);
    if (!NT_SUCCESS(status))
        return status;

    // The pipe and the workers are ready before the camera is told to capture, so that its first packets
    // find transfers waiting.
    state->StreamNumber = StreamNumber;
    state->RawFrameLength = rawFrameLength;
    state->ImageSize = Format != nullptr ? Format->SampleSize : 0;
    state->FrameTime100ns = DEFAULT_FRAME_TIME_100NS;
    if (Format != nullptr && Format->FormatSize >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(Format);
        if (video->VideoInfoHeader.AvgTimePerFrame > 0)
            state->FrameTime100ns = video->VideoInfoHeader.AvgTimePerFrame;
    }
    state->Quit = false;
    state->Removed = false;
    state->Stats = StreamStatistics();
    state->PacketsPumped = 0; // the completion worker is not running yet
    state->Stats.RawFrameLength = rawFrameLength;
    state->FramesFinished = 0;
    state->LostSinceDelivery = false;
    state->RawFrame.clear();
    state->RawFrame.shrink_to_fit();
    state->FrameContextBytes.assign(std::max<ULONG>(Device->FrameContextSize, 1), 0);
    state->PipeStopped = false;
    state->NextIsStill = false;
    state->RunStart100ns = host::ClockNow100ns();
    state->WaitingSince100ns = state->RunStart100ns;
    BeginAssembly(Device, state);

    if (state->Transfers.empty()) {
        for (unsigned i = 0; i < TRANSFERS; ++i)
            state->Transfers.push_back(std::make_unique<simcam::IsoTransfer>(PACKETS_PER_TRANSFER));
    }
    Device->Camera->OpenPipe([state](simcam::IsoTransfer* Transfer) {
        {
            std::lock_guard<std::mutex> lock(state->Mutex);
            state->Returned.push_back(Transfer);
        }
        host::ClockNotify();
    });
    state->CompletionWorker.Start(DISPATCH_LEVEL, [Device, state]() { CompletionWorker(Device, state); });
    state->FrameWorker.Start(PASSIVE_LEVEL, [Device, state]() { FrameWorker(Device, state); });
    for (auto& transfer : state->Transfers)
        Device->Camera->Submit(transfer.get());
    {
        std::lock_guard<std::mutex> lock(state->Mutex);
        state->Running = true;
    }

    status = calls->CamStartCaptureEx(Device->BusDeviceObject, Device->DeviceContext, StreamNumber);
    if (!NT_SUCCESS(status)) {
        EndStreaming(Device, state, STATUS_CANCELLED);
        {
            std::lock_guard<std::mutex> lock(state->Mutex);
            state->Running = false;
        }
        NotifyBandwidthCall(state);
        calls->CamFreeBandwidthEx(Device->BusDeviceObject, Device->DeviceContext, StreamNumber);
        NotifyBandwidthCall(state);
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS StreamStop(LibraryDevice* Device, ULONG StreamNumber) {
    StreamingState* state = Device->Streaming;
    if (state == nullptr)
        return STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(state->Mutex);
        if (!state->Running)
            return STATUS_SUCCESS;
    }
    // The frame being converted finishes and its read completes; after that no packet or raw-frame
    // routine runs, so the driver's stop callbacks never race one.
    Device->Camera->AbortPipe();
    {
        std::lock_guard<std::mutex> lock(state->Mutex);
        state->Quit = true;
    }
    host::ClockNotify();
    state->CompletionWorker.Join();
    state->FrameWorker.Join();

    const USBCAMD_DEVICE_DATA2* calls = Device->DeviceData2;
    // The stream stops whatever the camera answers; a failure is passed on so the caller knows the
    // camera (or the settings save behind the stop) did not do its part.
    NTSTATUS stop = calls->CamStopCaptureEx(Device->BusDeviceObject, Device->DeviceContext, StreamNumber);
    NotifyBandwidthCall(state);
    NTSTATUS freed = calls->CamFreeBandwidthEx(Device->BusDeviceObject, Device->DeviceContext, StreamNumber);
    NotifyBandwidthCall(state);
    // Reads still pending are cancelled once the driver has stopped.
    EndStreaming(Device, state, state->Removed ? STATUS_DEVICE_NOT_CONNECTED : STATUS_CANCELLED);
    {
        std::lock_guard<std::mutex> lock(state->Mutex);
        state->Running = false;
    }
    state->Assembled = 0;
    state->Source.reset();
    if (!NT_SUCCESS(stop))
        return stop;
    return NT_SUCCESS(freed) ? STATUS_SUCCESS : freed;
}

void StreamRead(LibraryDevice* Device, PHW_STREAM_REQUEST_BLOCK Srb) {
    StreamingState* state = Ensure(Device);
    PKSSTREAM_HEADER header = ReadHeader(Srb);
    // Read before the state's lock: the clock's waiters look at the state under the clock's lock.
    const int64_t now = host::ClockNow100ns();
    {
        std::unique_lock<std::mutex> lock(state->Mutex);
        if (state->Running && !state->Quit && Device->DeviceData2 != nullptr) {
            // A buffer that cannot hold the image is refused before anything is written to it.
            if (header == nullptr || header->Data == nullptr || header->FrameExtent < state->ImageSize) {
                lock.unlock();
                CompleteRead(Srb, STATUS_BUFFER_TOO_SMALL, 0);
                return;
            }
            if (state->Reads.empty())
                state->WaitingSince100ns = now;
            state->Reads.push_back(Srb);
            ++state->ReadsQueued;
            lock.unlock();
            host::ClockNotify();
            return;
        }
    }
    // Nothing will ever fill a read of a stream that does not run.
    CompleteRead(Srb, state->Removed ? STATUS_DEVICE_NOT_CONNECTED : STATUS_DEVICE_NOT_READY, 0);
}

void StreamSurpriseRemoval(LibraryDevice* Device) {
    StreamingState* state = Device->Streaming;
    if (state == nullptr)
        return;
    bool running;
    {
        std::lock_guard<std::mutex> lock(state->Mutex);
        state->Removed = true;
        running = state->Running && !state->Quit;
    }
    if (running)
        EndStreaming(Device, state, STATUS_DEVICE_NOT_CONNECTED);
}

void StreamRelease(LibraryDevice* Device) {
    StreamingState* state = Device->Streaming;
    if (state == nullptr)
        return;
    if (state->Running)
        StreamStop(Device, state->StreamNumber);
    delete state;
    Device->Streaming = nullptr;
}

void SetScene(LibraryDevice* Device, simcam::Scene Picture) {
    Device->Camera->SetScene(std::move(Picture));
}

void QueueFrameFaults(LibraryDevice* Device, const simcam::PacketFaults& Faults, bool Still) {
    Device->Camera->QueueFrameFaults(Faults, Still);
}

void SetFrameObserver(LibraryDevice* Device, FrameObserver Observer) {
    Ensure(Device)->OnFrame = std::move(Observer);
}

void SetRawFrameObserver(LibraryDevice* Device, RawFrameObserver Observer) {
    Ensure(Device)->OnRawFrame = std::move(Observer);
}

void SetBandwidthCallObserver(LibraryDevice* Device, BandwidthCallObserver Observer) {
    Ensure(Device)->AroundBandwidth = std::move(Observer);
}

StreamStatistics GetStreamStatistics(LibraryDevice* Device) {
    StreamingState* state = Device->Streaming;
    if (state == nullptr)
        return StreamStatistics();
    StreamStatistics stats;
    {
        std::lock_guard<std::mutex> lock(state->Mutex);
        stats = state->Stats;
    }
    stats.PacketsPumped = state->PacketsPumped.load(std::memory_order_relaxed);
    if (Device->Camera != nullptr) {
        const simcam::EndpointStatistics endpoint = Device->Camera->Statistics();
        stats.FramesSent = endpoint.FramesSent;
        stats.PacketsLost = endpoint.PacketsLost;
    }
    return stats;
}

} // namespace cameralib
