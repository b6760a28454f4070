// The library's streaming side. While a stream runs, the simulated camera sends one raw frame every
// 1/15 s as isochronous packets; each packet goes through the driver's packet routine, which says how
// many of its bytes are image data, where the frame ends and whether the frame must be dropped. The
// bytes are appended to the frame being assembled, and every complete frame goes with the buffer of a
// read request to the driver's raw-frame routine, which converts it; then the request is completed.
//
// The host is single threaded, so the pump runs inside the read: a read pulls packets until a frame has
// been delivered into it.
//
// Nothing of a frame is copied while all goes well: the camera sends its packets straight from the
// rendered frame, and as long as the driver takes every packet's bytes in order from where the last
// ones ended, the assembled frame is that same rendered frame, so the driver converts it from there.
// Only an assembly that departs from it (a driver offset, an inserted packet's bytes, a frame spanning
// two of the camera's) is copied out into a frame buffer of its own, up to that point, and then built
// there packet by packet. The driver's packet and raw-frame routines only read the bytes they are
// given, as they would a bus transfer buffer, so the rendered frame stays as the sensor made it.
#include "cameralib/streaming.h"

#include "platform/host/kernel_host.h"
#include "platform/streamclass/stream_class_host.h"
#include "simcam/sensor.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

namespace cameralib {

namespace {

// A read gives up after this many frames in a row came in unusable: the camera is sending garbage, and
// an application is better told than left waiting for ever.
constexpr unsigned MAX_FRAMES_PER_READ = 16;

struct FramePlan {
    simcam::PacketFaults Faults;
    bool Still = false;
};

} // namespace

struct StreamingState {
    // ---- configuration ----
    simcam::Scene Picture;
    bool HavePicture = false;
    std::deque<FramePlan> Plans;
    FrameObserver OnFrame;
    RawFrameObserver OnRawFrame;
    BandwidthCallObserver AroundBandwidth;

    // ---- the running stream ----
    bool Running = false;
    ULONG StreamNumber = 0;
    ULONG RawFrameLength = 0;
    std::vector<uint8_t> RawFrame; // a frame assembled out of place, RawFrameLength bytes once needed
    uint32_t Assembled = 0;        // bytes of it so far
    // While set, the bytes assembled so far are the first Assembled bytes of the frame the camera is
    // sending (Source, SourceLength bytes) and RawFrame holds nothing of them.
    bool InPlace = true;
    const uint8_t* Source = nullptr;
    size_t SourceLength = 0;
    uint32_t DataPackets = 0; // packets of it that went through the packet routine
    bool Dropping = false;    // the frame being assembled will be thrown away at its end
    bool Still = false;
    bool NextIsStill = false;
    bool PipeStopped = false;
    std::vector<uint8_t> FrameContextBytes; // the per-frame context of the size the driver registered

    // ---- the camera's side ----
    std::unique_ptr<simcam::Packetizer> Sender;
    simcam::PacketView Current; // reused for every packet
    int64_t FirstFrameDue100ns = 0;
    uint64_t CameraFrames = 0;     // frames begun since the stream ran
    std::vector<uint8_t> Rendered; // the sensor's last frame, padded to whole packets, and its settings
    uint16_t RenderedExposure = 0;
    uint16_t RenderedGain = 0;
    bool RenderedValid = false;

    uint64_t FramesFinished = 0;
    StreamStatistics Stats;
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

void NotifyBandwidthCall(StreamingState* State) {
    if (State->AroundBandwidth)
        State->AroundBandwidth();
}

// A fresh assembly: tell the driver a new frame begins, as the library does before each frame.
void BeginAssembly(LibraryDevice* Device, StreamingState* State) {
    State->Assembled = 0;
    State->InPlace = true;
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
        std::memcpy(State->RawFrame.data(), State->Source, State->Assembled);
}

// Appends Bytes bytes at Data to the frame being assembled (the caller has checked they fit).
void Append(StreamingState* State, const uint8_t* Data, uint32_t Bytes) {
    if (State->InPlace && State->Source != nullptr && Data == State->Source + State->Assembled &&
        Bytes <= State->SourceLength - State->Assembled) {
        State->Assembled += Bytes;
        return;
    }
    AssembleOutOfPlace(State);
    std::memcpy(State->RawFrame.data() + State->Assembled, Data, Bytes);
    State->Assembled += Bytes;
}

const uint8_t* AssembledFrame(const StreamingState* State) {
    return State->InPlace ? State->Source : State->RawFrame.data();
}

// The camera waits for its next frame time: really with the real clock, by moving virtual time on with
// the virtual one (so that the trace shows the camera's pace while the machine runs flat out).
void WaitForFrameTime(StreamingState* State, int64_t FramePeriod100ns) {
    const int64_t due =
        State->FirstFrameDue100ns + static_cast<int64_t>(State->CameraFrames) * FramePeriod100ns;
    const int64_t now = host::ClockNow100ns();
    if (due <= now)
        return;
    if (host::ClockGetMode() == host::ClockMode::Virtual)
        host::ClockAdvance(due - now);
    else
        std::this_thread::sleep_for(std::chrono::nanoseconds((due - now) * 100));
}

// The camera begins its next frame: the sensor renders the scene with the exposure and gain registers
// as they are now, and the packetizer takes the raw frame.
void CameraBeginFrame(LibraryDevice* Device, StreamingState* State) {
    WaitForFrameTime(State, Device->Camera->Config().FramePeriod100ns);
    ++State->CameraFrames;
    // A camera told to stop capturing sends nothing in its frame slot.
    if (!Device->Camera->CaptureOn())
        return;
    if (!State->HavePicture) {
        State->Picture = simcam::BuiltInChart();
        State->HavePicture = true;
    }
    const uint16_t exposure = Device->Camera->ExposureRegister();
    const uint16_t gain = Device->Camera->GainRegister();
    // An assembly still going on (the last frame lacked its end) keeps what it took from the frame
    // that is about to be replaced.
    if (State->Assembled != 0 && !State->Dropping)
        AssembleOutOfPlace(State);
    // The sensor output only changes with the registers; rendering 5 megapixels for every frame of an
    // unchanged scene would be most of the pump's time.
    if (!State->RenderedValid || exposure != State->RenderedExposure || gain != State->RenderedGain) {
        simcam::RenderRawFrame(State->Picture, exposure, gain, &State->Rendered);
        State->RenderedExposure = exposure;
        State->RenderedGain = gain;
        State->RenderedValid = true;
    }
    // Padded once here rather than by the packetizer for every frame, so that every packet, the last one
    // included, is sent from this buffer. Everything past the raw frame is filler, so the padding only
    // changes with the packet size.
    const size_t padded = std::max<size_t>(simcam::RAW_FRAME_SIZE,
                                           size_t{State->Sender->PacketsPerFrame(simcam::RAW_FRAME_SIZE)} *
                                               State->Sender->PacketSize());
    if (State->Rendered.size() != padded)
        State->Rendered.resize(padded, simcam::RAW_FILLER);
    FramePlan plan;
    if (!State->Plans.empty()) {
        plan = std::move(State->Plans.front());
        State->Plans.pop_front();
    }
    State->Source = State->Rendered.data();
    State->SourceLength = State->Rendered.size();
    State->Sender->BeginFrameInPlace(State->Rendered.data(), State->Rendered.size(), plan.Still, plan.Faults);
    ++State->Stats.FramesSent;
}

void Notify(StreamingState* State, uint32_t Bytes, bool Dropped) {
    FrameRecord record{host::ClockNowMicroseconds(), State->FramesFinished, Bytes, Dropped, State->Still};
    ++State->FramesFinished;
    if (State->OnFrame)
        State->OnFrame(record);
}

// The frame being assembled has ended. Returns true when it was delivered into Srb (and Srb completed).
bool FinishFrame(LibraryDevice* Device, StreamingState* State, PHW_STREAM_REQUEST_BLOCK Srb) {
    // Only a frame of exactly the length asked for is whole: a shorter one lacks packets, and the driver
    // trusts the raw frame to have that length.
    if (State->Dropping || State->Assembled != State->RawFrameLength || State->RawFrameLength == 0) {
        ++State->Stats.FramesDropped;
        Notify(State, State->Assembled, true);
        BeginAssembly(Device, State);
        return false;
    }

    if (State->OnRawFrame) {
        const size_t length = std::min<size_t>(State->Assembled, simcam::RAW_FRAME_SIZE);
        State->OnRawFrame(State->FramesFinished, AssembledFrame(State), length);
    }

    PVOID buffer = nullptr;
    ULONG bufferLength = 0;
    if (Srb->NumberOfBuffers > 0 && Srb->CommandData.DataBufferArray != nullptr) {
        buffer = Srb->CommandData.DataBufferArray->Data;
        bufferLength = Srb->CommandData.DataBufferArray->FrameExtent;
    }
    ULONG bytesReturned = 0;
    NTSTATUS status = STATUS_SUCCESS;
    if (buffer != nullptr && bufferLength != 0) {
        status = Device->DeviceData2->CamProcessRawVideoFrameEx(
            Device->BusDeviceObject, Device->DeviceContext, State->FrameContextBytes.data(), buffer,
            bufferLength, const_cast<uint8_t*>(AssembledFrame(State)), State->RawFrameLength,
            State->DataPackets, &bytesReturned, State->Assembled, State->StreamNumber);
    }
    // Never report more than the buffer holds, whatever the driver answered.
    bytesReturned = std::min(bytesReturned, bufferLength);
    ++State->Stats.FramesDelivered;
    if (State->Still)
        ++State->Stats.StillFrames;
    Notify(State, bytesReturned, false);
    BeginAssembly(Device, State);
    CompleteRead(Srb, NT_SUCCESS(status) ? STATUS_SUCCESS : status, NT_SUCCESS(status) ? bytesReturned : 0);
    return true;
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
        }
    } else if (Flags == USBCAMD_START_STREAM) {
        State->PipeStopped = false;
    }
}

// One packet through the driver's packet routine and into the frame being assembled. Returns true when
// the packet ended a frame that was delivered into Srb.
bool PumpPacket(LibraryDevice* Device, StreamingState* State, PHW_STREAM_REQUEST_BLOCK Srb) {
    const simcam::PacketView& packet = State->Current;
    if (State->PipeStopped)
        return false; // the pipe is idle: the packet is lost on the bus

    // Sync and data buffers of exactly their size, as the bus would fill them.
    UCHAR sync[1] = {packet.Header};
    USBD_ISO_PACKET_DESCRIPTOR syncPacket{0, sizeof(sync), packet.SyncStatus};
    USBD_ISO_PACKET_DESCRIPTOR dataPacket{0, packet.Length, packet.DataStatus};
    BOOLEAN frameComplete = FALSE;
    ULONG packetFlag = 0;
    ULONG validDataOffset = 0;
    const size_t pipeCallsBefore = Device->IsoPipeStateCalls.size();
    ++State->Stats.PacketsPumped;
    const ULONG bytes = Device->DeviceData2->CamProcessUSBPacketEx(
        Device->BusDeviceObject, Device->DeviceContext, State->FrameContextBytes.data(), &syncPacket, sync,
        &dataPacket, packet.Length == 0 ? nullptr : const_cast<uint8_t*>(packet.Data), &frameComplete,
        &packetFlag, &validDataOffset);

    if (Device->IsoPipeStateCalls.size() != pipeCallsBefore) {
        // The driver stopped (and normally restarted) the pipe from inside the packet routine; whatever
        // the packet routine said of this packet went with the stopped pipe.
        for (size_t i = pipeCallsBefore; i < Device->IsoPipeStateCalls.size(); ++i)
            ApplyPipeState(State, Device->IsoPipeStateCalls[i]);
        return false;
    }
    ++State->DataPackets;
    if (packetFlag & USBCAMD_PROCESSPACKETEX_DropFrame)
        State->Dropping = true;
    if (packetFlag & USBCAMD_PROCESSPACKETEX_CurrentFrameIsStill)
        State->Still = true;
    if (packetFlag & USBCAMD_PROCESSPACKETEX_NextFrameIsStill)
        State->NextIsStill = true;

    if (bytes != 0 && !State->Dropping) {
        const size_t size = packet.Length;
        if (validDataOffset > size || bytes > size - validDataOffset) {
            State->Dropping = true; // the driver claims bytes the packet does not have
        } else if (bytes > State->RawFrameLength - State->Assembled) {
            State->Dropping = true; // longer than the frame we asked for: never write past it
        } else {
            Append(State, packet.Data + validDataOffset, bytes);
        }
    }
    if (frameComplete)
        return FinishFrame(Device, State, Srb);
    return false;
}

// Pumps until a frame has been delivered into Srb, or the camera has sent MAX_FRAMES_PER_READ frames
// without one; then Srb is completed either way.
void ServeRead(LibraryDevice* Device, StreamingState* State, PHW_STREAM_REQUEST_BLOCK Srb) {
    unsigned framesBegun = 0;
    for (;;) {
        if (!State->Sender->Sending()) {
            if (framesBegun == MAX_FRAMES_PER_READ) {
                CompleteRead(Srb, STATUS_DEVICE_DATA_ERROR, 0);
                return;
            }
            CameraBeginFrame(Device, State);
            ++framesBegun;
        }
        while (State->Sender->NextPacket(&State->Current)) {
            if (PumpPacket(Device, State, Srb))
                return;
        }
    }
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
    status = calls->CamStartCaptureEx(Device->BusDeviceObject, Device->DeviceContext, StreamNumber);
    if (!NT_SUCCESS(status)) {
        NotifyBandwidthCall(state);
        calls->CamFreeBandwidthEx(Device->BusDeviceObject, Device->DeviceContext, StreamNumber);
        NotifyBandwidthCall(state);
        return status;
    }

    state->Running = true;
    state->StreamNumber = StreamNumber;
    state->RawFrameLength = rawFrameLength;
    state->Stats.RawFrameLength = rawFrameLength;
    // The library's own frame buffer is only made when an assembly needs it.
    state->RawFrame.clear();
    state->RawFrame.shrink_to_fit();
    state->Source = nullptr;
    state->SourceLength = 0;
    state->FrameContextBytes.assign(std::max<ULONG>(Device->FrameContextSize, 1), 0);
    state->PipeStopped = false;
    state->NextIsStill = false;
    state->Sender = std::make_unique<simcam::Packetizer>(Device->Camera->Config().DataPacketSize);
    state->CameraFrames = 0;
    state->FirstFrameDue100ns = host::ClockNow100ns();
    BeginAssembly(Device, state);
    return STATUS_SUCCESS;
}

NTSTATUS StreamStop(LibraryDevice* Device, ULONG StreamNumber) {
    StreamingState* state = Device->Streaming;
    if (state == nullptr)
        return STATUS_SUCCESS;
    NTSTATUS result = STATUS_SUCCESS;
    if (state->Running) {
        const USBCAMD_DEVICE_DATA2* calls = Device->DeviceData2;
        // The stream stops whatever the camera answers; a failure is passed on so the caller knows the
        // camera (or the settings save behind the stop) did not do its part.
        NTSTATUS stop = calls->CamStopCaptureEx(Device->BusDeviceObject, Device->DeviceContext, StreamNumber);
        NotifyBandwidthCall(state);
        NTSTATUS freed =
            calls->CamFreeBandwidthEx(Device->BusDeviceObject, Device->DeviceContext, StreamNumber);
        NotifyBandwidthCall(state);
        if (!NT_SUCCESS(stop))
            result = stop;
        else if (!NT_SUCCESS(freed))
            result = freed;
        state->Running = false;
        state->Sender.reset();
        state->Assembled = 0;
    }
    return result;
}

void StreamRead(LibraryDevice* Device, PHW_STREAM_REQUEST_BLOCK Srb) {
    StreamingState* state = Ensure(Device);
    // Every request is complete when its routine returns, so a read of a stream that is not running
    // cannot wait for frames: it is refused.
    if (!state->Running || Device->DeviceData2 == nullptr) {
        CompleteRead(Srb, STATUS_DEVICE_NOT_READY, 0);
        return;
    }
    ServeRead(Device, state, Srb);
}

void StreamRelease(LibraryDevice* Device) {
    StreamingState* state = Device->Streaming;
    if (state == nullptr)
        return;
    delete state;
    Device->Streaming = nullptr;
}

void SetScene(LibraryDevice* Device, simcam::Scene Picture) {
    StreamingState* state = Ensure(Device);
    state->Picture = std::move(Picture);
    state->HavePicture = true;
    state->RenderedValid = false;
}

void QueueFrameFaults(LibraryDevice* Device, const simcam::PacketFaults& Faults, bool Still) {
    Ensure(Device)->Plans.push_back(FramePlan{Faults, Still});
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
    return Device->Streaming == nullptr ? StreamStatistics() : Device->Streaming->Stats;
}

} // namespace cameralib
