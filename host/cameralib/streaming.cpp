// Run and stop of a device's stream, with the threads the platform's library has: bandwidth and
// capture through the driver's callbacks around the isochronous pump (iso_pump.cpp) and the read queue
// with its frame worker (read_queue.cpp).
#include "host/cameralib/streaming.h"

#include "host/cameralib/streaming_state.h"

#include <algorithm>
#include <atomic>

namespace cameralib {
namespace {

std::atomic<bool> stopWindow{false};

void NotifyBandwidthCall(StreamingState* State) {
    if (State->AroundBandwidth)
        State->AroundBandwidth();
}

// The stream's state for a run of Format: the driver's raw frame length, the format's image size and
// frame time, counters from zero.
void PrepareRun(LibraryDevice* Device, StreamingState* State, ULONG StreamNumber, const KSDATAFORMAT* Format,
                ULONG RawFrameLength) {
    State->StreamNumber = StreamNumber;
    State->RawFrameLength = RawFrameLength;
    State->ImageSize = Format != nullptr ? Format->SampleSize : 0;
    State->FrameTime100ns = DEFAULT_FRAME_TIME_100NS;
    if (Format != nullptr && Format->FormatSize >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(Format);
        if (video->VideoInfoHeader.AvgTimePerFrame > 0)
            State->FrameTime100ns = video->VideoInfoHeader.AvgTimePerFrame;
    }
    State->Quit = false;
    State->Removed = false;
    State->Stats = StreamStatistics();
    State->PacketsPumped = 0; // the completion worker is not running yet
    State->Stats.RawFrameLength = RawFrameLength;
    State->FramesFinished = 0;
    State->LostSinceDelivery = false;
    PrepareAssembly(&State->Assembly, StreamNumber, RawFrameLength, Device->FrameContextSize);
    State->RunStart100ns = host::ClockNow100ns();
    State->WaitingSince100ns = State->RunStart100ns;
    BeginAssembly(Device, &State->Assembly);
}

// Ends the workers and takes the transfers back from the bus; then completes every pending read with
// Status. Runs with the state's lock free.
void EndStreaming(LibraryDevice* Device, StreamingState* State, NTSTATUS Status, bool TakeReads = true) {
    AbortPump(Device, State);
    {
        std::lock_guard<host::Mutex> lock(State->Mutex);
        State->Quit = true;
    }
    host::ClockNotify();
    State->CompletionWorker.Join();
    State->FrameWorker.Join();
    std::deque<PHW_STREAM_REQUEST_BLOCK> reads;
    {
        std::lock_guard<host::Mutex> lock(State->Mutex);
        if (TakeReads)
            reads.swap(State->Reads);
        State->Finished.clear();
        State->FramesPromised = 0;
        State->Returned.clear();
    }
    for (PHW_STREAM_REQUEST_BLOCK srb : reads)
        CompleteRead(srb, Status, 0);
}

void SetRunning(StreamingState* State, bool Running) {
    std::lock_guard<host::Mutex> lock(State->Mutex);
    State->Running = Running;
}

} // namespace

void OpenStopWindow(bool Open) {
    stopWindow.store(Open, std::memory_order_relaxed);
}

bool StopWindowOpen() {
    return stopWindow.load(std::memory_order_relaxed);
}

StreamingState* EnsureStreaming(LibraryDevice* Device) {
    if (Device->Streaming == nullptr)
        Device->Streaming = new StreamingState;
    return Device->Streaming;
}

NTSTATUS StreamRun(LibraryDevice* Device, ULONG StreamNumber, const KSDATAFORMAT* Format) {
    StreamingState* state = EnsureStreaming(Device);
    if (state->Running)
        return STATUS_SUCCESS;
    const USBCAMD_DEVICE_DATA2* calls = Device->DeviceData2;
    uint8_t endpoint = 0;
    uint32_t size = 0;
    if (calls == nullptr || Device->Port == nullptr ||
        !FindStreamingPipes(Device, &endpoint, &size, &endpoint, &size))
        return STATUS_INVALID_DEVICE_STATE;

    ULONG rawFrameLength = 0;
    NotifyBandwidthCall(state);
    NTSTATUS status =
        calls->CamAllocateBandwidthEx(Device->BusDeviceObject, Device->DeviceContext, &rawFrameLength,
                                      const_cast<KSDATAFORMAT*>(Format), StreamNumber);
    NotifyBandwidthCall(state);
    if (!NT_SUCCESS(status))
        return status;

    // The pipes and the workers are ready before the camera is told to capture, so that its first
    // packets find transfers waiting.
    PrepareRun(Device, state, StreamNumber, Format, rawFrameLength);
    OpenPump(Device, state);
    StartFrameWorker(Device, state);
    SubmitTransfers(Device, state);
    SetRunning(state, true);

    status = calls->CamStartCaptureEx(Device->BusDeviceObject, Device->DeviceContext, StreamNumber);
    if (!NT_SUCCESS(status)) {
        EndStreaming(Device, state, STATUS_CANCELLED);
        SetRunning(state, false);
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
        std::lock_guard<host::Mutex> lock(state->Mutex);
        if (!state->Running)
            return STATUS_SUCCESS;
    }
    std::deque<PHW_STREAM_REQUEST_BLOCK> early;
    const bool window = stopWindow.load(std::memory_order_relaxed);
    if (window) {
        std::lock_guard<host::Mutex> lock(state->Mutex);
        early.swap(state->Reads); // the stream takes new reads until Quit, below
    }
    // The frame being converted finishes and its read completes; after that no packet or raw-frame
    // routine runs, so the driver's stop callbacks never race one.
    AbortPump(Device, state);
    {
        std::lock_guard<host::Mutex> lock(state->Mutex);
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
    EndStreaming(Device, state, state->Removed ? STATUS_DEVICE_NOT_CONNECTED : STATUS_CANCELLED, !window);
    SetRunning(state, false);
    for (PHW_STREAM_REQUEST_BLOCK srb : early)
        CompleteRead(srb, STATUS_CANCELLED, 0);
    state->Assembly.Assembled = 0;
    if (!NT_SUCCESS(stop))
        return stop;
    return NT_SUCCESS(freed) ? STATUS_SUCCESS : freed;
}

void StreamSurpriseRemoval(LibraryDevice* Device) {
    StreamingState* state = Device->Streaming;
    if (state == nullptr)
        return;
    bool running;
    {
        std::lock_guard<host::Mutex> lock(state->Mutex);
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

void SetFrameObserver(LibraryDevice* Device, FrameObserver Observer) {
    EnsureStreaming(Device)->OnFrame = std::move(Observer);
}

void SetRawFrameObserver(LibraryDevice* Device, RawFrameObserver Observer) {
    EnsureStreaming(Device)->OnRawFrame = std::move(Observer);
}

void SetBandwidthCallObserver(LibraryDevice* Device, BandwidthCallObserver Observer) {
    EnsureStreaming(Device)->AroundBandwidth = std::move(Observer);
}

StreamStatistics GetStreamStatistics(LibraryDevice* Device) {
    StreamingState* state = Device->Streaming;
    if (state == nullptr)
        return StreamStatistics();
    StreamStatistics stats;
    {
        std::lock_guard<host::Mutex> lock(state->Mutex);
        stats = state->Stats;
    }
    stats.PacketsPumped = state->PacketsPumped.load(std::memory_order_relaxed);
    return stats;
}

} // namespace cameralib
