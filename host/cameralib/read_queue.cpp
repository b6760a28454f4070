// The read queue and the frame worker. A whole frame is handed to the frame worker (passive level) when
// a read request is pending for it, and dropped and counted when none is. The frame worker gives the
// frame and the oldest pending read's buffer to the driver's raw-frame routine, and completes the read
// with the frame's presentation time, duration and number; a read that waits too long for a usable frame
// is completed with an error instead.
#include "host/cameralib/streaming_state.h"
#include "host/streamclass/stream_class_host.h"

#include <algorithm>

namespace cameralib {
namespace {

// A read waits this many frame times for a usable frame; then the application is better told than
// left waiting for ever. Half a frame time more, so that the camera's frames never end at the very
// moment a read gives up.
constexpr int64_t READ_PATIENCE_FRAMES = 16;
// Frame buffers kept for the next assemblies: one being converted, one waiting.
constexpr size_t SPARE_FRAMES = 2;

int64_t ReadPatience(int64_t FrameTime100ns) {
    return READ_PATIENCE_FRAMES * FrameTime100ns + FrameTime100ns / 2;
}

PKSSTREAM_HEADER ReadHeader(PHW_STREAM_REQUEST_BLOCK Srb) {
    return Srb->NumberOfBuffers > 0 ? Srb->CommandData.DataBufferArray : nullptr;
}

// The header's times, flags and frame information for a frame delivered into it.
void DescribeFrame(PKSSTREAM_HEADER Header, const StreamingState* State, const FinishedFrame& Frame,
                   LONGLONG Dropped) {
    Header->PresentationTime.Time = Frame.Done100ns - State->RunStart100ns;
    Header->PresentationTime.Numerator = 1;
    Header->PresentationTime.Denominator = 1;
    Header->Duration = State->FrameTime100ns;
    Header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID |
                           (Frame.Discontinuity ? KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY : 0);
    if (Header->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
        KS_FRAME_INFO* info = reinterpret_cast<KS_FRAME_INFO*>(Header + 1);
        info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
        info->dwFrameFlags = KS_VIDEO_FLAG_FRAME;
        info->PictureNumber = static_cast<LONGLONG>(Frame.Record.Index) + 1;
        info->DropCount = Dropped;
    }
}

void Deliver(LibraryDevice* Device, StreamingState* State, FinishedFrame& Frame,
             PHW_STREAM_REQUEST_BLOCK Srb) {
    const uint8_t* raw = Frame.Bytes();
    if (State->OnRawFrame)
        State->OnRawFrame(Frame.Record.Index, raw, State->RawFrameLength);

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
        std::lock_guard<host::Mutex> lock(State->Mutex);
        ++State->Stats.FramesDelivered;
        if (Frame.Record.Still)
            ++State->Stats.StillFrames;
        dropped = static_cast<LONGLONG>(State->Stats.FramesDropped);
    }
    if (header != nullptr)
        DescribeFrame(header, State, Frame, dropped);
    if (State->OnFrame)
        State->OnFrame(Frame.Record);
    CompleteRead(Srb, NT_SUCCESS(status) ? STATUS_SUCCESS : status, NT_SUCCESS(status) ? bytesReturned : 0);
    const double latency =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - Frame.DoneReal).count();
    std::lock_guard<host::Mutex> lock(State->Mutex);
    ++State->Stats.LatencySamples;
    State->Stats.LatencyTotalMicroseconds += latency;
    if (!Frame.Raw.empty() && State->SpareFrames.size() < SPARE_FRAMES)
        State->SpareFrames.push_back(std::move(Frame.Raw));
}

// What the frame worker does next: a frame to deliver or report, a read that gave up, or nothing yet.
struct NextWork {
    FinishedFrame Frame;
    PHW_STREAM_REQUEST_BLOCK Srb = nullptr;
    bool HasFrame = false;
    bool GaveUp = false;
    bool Quit = false;
};

NextWork TakeNextWork(StreamingState* State, int64_t Now) {
    NextWork work;
    std::lock_guard<host::Mutex> lock(State->Mutex);
    if (State->Quit) {
        work.Quit = true;
    } else if (State->Finished.empty()) {
        if (State->Reads.empty() || State->FramesPromised != 0 ||
            Now < State->WaitingSince100ns + ReadPatience(State->FrameTime100ns))
            return work;
        work.Srb = State->Reads.front();
        State->Reads.pop_front();
        State->WaitingSince100ns = Now;
        work.GaveUp = true;
    } else {
        work.Frame = std::move(State->Finished.front());
        work.HasFrame = true;
        State->Finished.pop_front();
        if (!work.Frame.Record.Dropped) {
            work.Srb = State->Reads.front();
            State->Reads.pop_front();
            --State->FramesPromised;
            State->WaitingSince100ns = Now;
        }
    }
    return work;
}

// Waits until a frame is finished, a read is queued, the oldest read has waited too long, or the worker
// is to end.
void WaitForWork(StreamingState* State) {
    uint64_t readsSeen = 0;
    int64_t deadline = host::CLOCK_FOREVER;
    {
        std::lock_guard<host::Mutex> lock(State->Mutex);
        readsSeen = State->ReadsQueued;
        if (!State->Reads.empty() && State->FramesPromised == 0)
            deadline = State->WaitingSince100ns + ReadPatience(State->FrameTime100ns);
    }
    host::ClockWait(
        [State, readsSeen]() {
            std::lock_guard<host::Mutex> lock(State->Mutex);
            return State->Quit || !State->Finished.empty() || State->ReadsQueued != readsSeen;
        },
        deadline);
}

void FrameWorker(LibraryDevice* Device, StreamingState* State) {
    streamclass::CompleterScope library(streamclass::Completer::Library);
    for (;;) {
        WaitForWork(State);
        NextWork work = TakeNextWork(State, host::ClockNow100ns());
        if (work.Quit)
            return;
        if (work.GaveUp)
            CompleteRead(work.Srb, STATUS_DEVICE_DATA_ERROR, 0); // no usable frame came for it
        else if (work.Srb != nullptr)
            Deliver(Device, State, work.Frame, work.Srb);
        else if (work.HasFrame && State->OnFrame)
            State->OnFrame(work.Frame.Record);
    }
}

} // namespace

void CompleteRead(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status, ULONG Bytes) {
    streamclass::CompleterScope library(streamclass::Completer::Library);
    if (Srb->NumberOfBuffers > 0 && Srb->CommandData.DataBufferArray != nullptr)
        Srb->CommandData.DataBufferArray->DataUsed = Bytes;
    Srb->ActualBytesTransferred = Bytes;
    Srb->Status = Status;
    StreamClassStreamNotification(StreamRequestComplete, Srb->StreamObject, Srb);
}

void FinishFrame(LibraryDevice* Device, StreamingState* State, int64_t Done100ns) {
    FrameAssembly& assembly = State->Assembly;
    const bool whole = AssemblyWhole(assembly);
    FinishedFrame frame;
    frame.Record =
        FrameRecord{Done100ns / 10, 0, assembly.Assembled, true, assembly.Still, assembly.DataPackets};
    frame.Done100ns = Done100ns;
    frame.DoneReal = std::chrono::steady_clock::now();
    {
        std::lock_guard<host::Mutex> lock(State->Mutex);
        frame.Record.Index = State->FramesFinished++;
        // A whole frame is kept only if a read is pending that no frame already on its way will take.
        if (whole && State->Reads.size() > State->FramesPromised) {
            frame.Record.Dropped = false;
            frame.DataPackets = assembly.DataPackets;
            frame.FrameContext = assembly.FrameContext;
            if (assembly.LentBase != nullptr) {
                frame.LentBase = assembly.LentBase;
                frame.LentKeep = std::move(assembly.LentKeep);
            } else {
                frame.Raw.swap(assembly.Frame);
                if (!State->SpareFrames.empty()) {
                    assembly.Frame.swap(State->SpareFrames.back());
                    State->SpareFrames.pop_back();
                }
            }
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
    BeginAssembly(Device, &assembly);
}

void StartFrameWorker(LibraryDevice* Device, StreamingState* State) {
    State->FrameWorker.Start(PASSIVE_LEVEL, [Device, State]() { FrameWorker(Device, State); });
}

void StreamRead(LibraryDevice* Device, PHW_STREAM_REQUEST_BLOCK Srb) {
    StreamingState* state = EnsureStreaming(Device);
    PKSSTREAM_HEADER header = ReadHeader(Srb);
    // Read before the state's lock: the clock's waiters look at the state under the clock's lock.
    const int64_t now = host::ClockNow100ns();
    {
        std::unique_lock<host::Mutex> lock(state->Mutex);
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

} // namespace cameralib
