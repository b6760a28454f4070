// The library's side of an open stream: it takes every request of the stream, lets the driver's hook
// see it first, and carries out and completes whatever the hook leaves.
#include "host/cameralib/library_srb.h"
#include "host/kernel/kernel_host.h"
#include "host/cameralib/streaming.h"
#include "host/streamclass/stream_class_host.h"

#include <cstring>
#include <map>
#include <mutex>

namespace cameralib {
namespace {

constexpr ULONG ALLOCATOR_FRAMES = 2; // one frame being filled while the application holds the other

host::RecursiveMutex& StreamsMutex() {
    static host::RecursiveMutex* m = new host::RecursiveMutex;
    return *m;
}

std::map<PHW_STREAM_OBJECT, LibraryStream*>& Streams() {
    static std::map<PHW_STREAM_OBJECT, LibraryStream*>* streams =
        new std::map<PHW_STREAM_OBJECT, LibraryStream*>;
    return *streams;
}

typedef void (*GenericRoutine)();

// The stream object's slots have the stream class's type; what the minidriver put there are its
// three-argument hooks.
PFNUSBCAMD_STREAM_HOOK HookFromSlot(GenericRoutine Slot) {
    return reinterpret_cast<PFNUSBCAMD_STREAM_HOOK>(Slot);
}

const KSDATAFORMAT* StreamFormat(const LibraryStream* Stream) {
    return Stream->Format.empty() ? nullptr : reinterpret_cast<const KSDATAFORMAT*>(Stream->Format.data());
}

ULONG SampleSize(const LibraryStream* Stream) {
    const KSDATAFORMAT* format = StreamFormat(Stream);
    return format == nullptr ? 0 : format->SampleSize;
}

void CompleteStreamSrb(PHW_STREAM_REQUEST_BLOCK Srb, NTSTATUS Status) {
    Srb->Status = Status;
    StreamClassStreamNotification(StreamRequestComplete, Srb->StreamObject, Srb);
}

// The stream a request is for, once the driver's hook (ControlHook or DataHook) has seen it; null when
// the request is already completed: the stream is unknown, or the hook completed it.
LibraryStream* StreamToCarryOut(PHW_STREAM_REQUEST_BLOCK Srb, PFNUSBCAMD_STREAM_HOOK LibraryStream::*Hook) {
    LibraryStream* stream = FindLibraryStream(Srb->StreamObject);
    if (stream == nullptr) {
        streamclass::CompleterScope library(streamclass::Completer::Library);
        CompleteStreamSrb(Srb, STATUS_INVALID_DEVICE_STATE);
        return nullptr;
    }
    if (stream->*Hook == nullptr)
        return stream;
    // A hook that leaves the flag alone has not completed the request.
    BOOLEAN completed = FALSE;
    streamclass::CompleterScope driver(streamclass::Completer::Driver);
    (stream->*Hook)(Srb, stream->Device->DeviceContext, &completed);
    return completed != FALSE ? nullptr : stream;
}

// A running stream stops: whatever the camera says, it no longer runs.
NTSTATUS StopIfRunning(LibraryStream* Stream) {
    if (!Stream->Running)
        return STATUS_SUCCESS;
    if (StopWindowOpen()) { // the planted window: reads still come through during the stop
        const NTSTATUS status = StreamStop(Stream->Device, Stream->StreamObject->StreamNumber);
        Stream->Running = false;
        return status;
    }
    Stream->Running = false;
    return StreamStop(Stream->Device, Stream->StreamObject->StreamNumber);
}

NTSTATUS SetState(LibraryStream* Stream, KSSTATE State) {
    const ULONG streamNumber = Stream->StreamObject->StreamNumber;
    NTSTATUS status = STATUS_SUCCESS;
    if (State == KSSTATE_RUN && !Stream->Running) {
        status = StreamRun(Stream->Device, streamNumber, StreamFormat(Stream));
        Stream->Running = NT_SUCCESS(status);
    } else if (State != KSSTATE_RUN) {
        status = StopIfRunning(Stream);
    }
    if (NT_SUCCESS(status))
        Stream->State = State;
    return status;
}

NTSTATUS GetStreamProperty(LibraryStream* Stream, PHW_STREAM_REQUEST_BLOCK Srb) {
    PSTREAM_PROPERTY_DESCRIPTOR descriptor = Srb->CommandData.PropertyInfo;
    if (descriptor == nullptr || descriptor->Property == nullptr ||
        descriptor->PropertyInputSize < sizeof(KSPROPERTY))
        return STATUS_INVALID_PARAMETER;
    const KSPROPERTY& property = *descriptor->Property;
    if (IsEqualGUID(property.Set, KSPROPSETID_Connection) &&
        property.Id == KSPROPERTY_CONNECTION_ALLOCATORFRAMING) {
        if (descriptor->PropertyOutputSize < sizeof(KSALLOCATOR_FRAMING) ||
            descriptor->PropertyInfo == nullptr)
            return STATUS_BUFFER_TOO_SMALL;
        KSALLOCATOR_FRAMING framing;
        std::memset(&framing, 0, sizeof framing);
        framing.PoolType = NonPagedPool;
        framing.Frames = ALLOCATOR_FRAMES;
        framing.FrameSize = SampleSize(Stream);
        std::memcpy(descriptor->PropertyInfo, &framing, sizeof framing);
        Srb->ActualBytesTransferred = sizeof framing;
        return STATUS_SUCCESS;
    }
    if (IsEqualGUID(property.Set, PROPSETID_VIDCAP_DROPPEDFRAMES) &&
        property.Id == KSPROPERTY_DROPPEDFRAMES_CURRENT) {
        if (descriptor->PropertyOutputSize < sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) ||
            descriptor->PropertyInfo == nullptr)
            return STATUS_BUFFER_TOO_SMALL;
        const StreamStatistics stats = GetStreamStatistics(Stream->Device);
        KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped;
        std::memset(&dropped, 0, sizeof dropped);
        dropped.Property = property;
        dropped.PictureNumber = static_cast<LONGLONG>(stats.FramesDelivered + stats.FramesDropped);
        dropped.DropCount = static_cast<LONGLONG>(stats.FramesDropped);
        dropped.AverageFrameSize = SampleSize(Stream);
        std::memcpy(descriptor->PropertyInfo, &dropped, sizeof dropped);
        Srb->ActualBytesTransferred = sizeof dropped;
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_SUPPORTED;
}

VOID STREAMAPI LibraryReceiveControlPacket(PHW_STREAM_REQUEST_BLOCK Srb) {
    LibraryStream* stream = StreamToCarryOut(Srb, &LibraryStream::ControlHook);
    if (stream == nullptr)
        return;
    streamclass::CompleterScope library(streamclass::Completer::Library);
    NTSTATUS status;
    switch (Srb->Command) {
    case SRB_SET_STREAM_STATE:
        status = SetState(stream, Srb->CommandData.StreamState);
        break;
    case SRB_GET_STREAM_STATE:
        Srb->CommandData.StreamState = stream->State;
        Srb->ActualBytesTransferred = sizeof(KSSTATE);
        status = STATUS_SUCCESS;
        break;
    case SRB_GET_STREAM_PROPERTY:
        status = GetStreamProperty(stream, Srb);
        break;
    case SRB_SET_STREAM_PROPERTY:
        status = STATUS_NOT_SUPPORTED; // both stream properties are read-only
        break;
    case SRB_OPEN_MASTER_CLOCK:
    case SRB_CLOSE_MASTER_CLOCK:
    case SRB_INDICATE_MASTER_CLOCK:
        status = STATUS_SUCCESS; // frames carry no time stamps; any clock will do
        break;
    default:
        status = STATUS_NOT_IMPLEMENTED;
        break;
    }
    CompleteStreamSrb(Srb, status);
}

VOID STREAMAPI LibraryReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK Srb) {
    LibraryStream* stream = StreamToCarryOut(Srb, &LibraryStream::DataHook);
    if (stream == nullptr)
        return;
    streamclass::CompleterScope library(streamclass::Completer::Library);
    if (Srb->Command != SRB_READ_DATA) {
        CompleteStreamSrb(Srb, STATUS_NOT_IMPLEMENTED); // a capture pin takes no data
        return;
    }
    if (!stream->Running) {
        // A real stream class may leave a read queued until the stream runs; this host completes every
        // request before returning, so a read of a stopped stream is refused at once.
        CompleteStreamSrb(Srb, STATUS_DEVICE_NOT_READY);
        return;
    }
    StreamRead(stream->Device, Srb);
}

void Forget(LibraryStream* Stream) {
    {
        std::lock_guard<host::RecursiveMutex> lock(StreamsMutex());
        Streams().erase(Stream->StreamObject);
    }
    delete Stream;
}

} // namespace

LibraryStream* FindLibraryStream(PHW_STREAM_OBJECT StreamObject) {
    std::lock_guard<host::RecursiveMutex> lock(StreamsMutex());
    auto it = Streams().find(StreamObject);
    return it == Streams().end() ? nullptr : it->second;
}

void TakeStreamFormat(LibraryStream* Stream, const KSDATAFORMAT* Format) {
    const ULONG size = Format->FormatSize;
    Stream->Format.assign((size + 7) / 8, 0);
    std::memcpy(Stream->Format.data(), Format, size);
}

NTSTATUS OpenLibraryStream(LibraryDevice* Device, PHW_STREAM_REQUEST_BLOCK Srb) {
    PHW_STREAM_OBJECT streamObject = Srb->StreamObject;
    const KSDATAFORMAT* format = Srb->CommandData.OpenFormat;
    if (streamObject == nullptr || format == nullptr || format->FormatSize < sizeof(KSDATAFORMAT) ||
        streamObject->StreamNumber > USBCAMD_STILL_STREAM_NUMBER)
        return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<host::RecursiveMutex> lock(StreamsMutex());
        for (const auto& entry : Streams()) {
            // One instance of each stream per camera.
            if (entry.first == streamObject ||
                (entry.second->Device == Device && entry.first->StreamNumber == streamObject->StreamNumber))
                return STATUS_INVALID_PARAMETER;
        }
    }
    LibraryStream* stream = new LibraryStream;
    stream->Device = Device;
    stream->StreamObject = streamObject;
    stream->ControlHook = HookFromSlot(reinterpret_cast<GenericRoutine>(streamObject->ReceiveControlPacket));
    stream->DataHook = HookFromSlot(reinterpret_cast<GenericRoutine>(streamObject->ReceiveDataPacket));
    TakeStreamFormat(stream, format);
    streamObject->ReceiveControlPacket = LibraryReceiveControlPacket;
    streamObject->ReceiveDataPacket = LibraryReceiveDataPacket;
    std::lock_guard<host::RecursiveMutex> lock(StreamsMutex());
    Streams()[streamObject] = stream;
    return STATUS_SUCCESS;
}

NTSTATUS CloseLibraryStream(LibraryDevice* Device, PHW_STREAM_REQUEST_BLOCK Srb) {
    LibraryStream* stream = FindLibraryStream(Srb->StreamObject);
    if (stream == nullptr || stream->Device != Device)
        return STATUS_INVALID_PARAMETER;
    StopIfRunning(stream);
    StreamRelease(Device);
    Forget(stream);
    return STATUS_SUCCESS;
}

void ReleaseLibraryStreams(LibraryDevice* Device) {
    std::vector<LibraryStream*> mine;
    {
        std::lock_guard<host::RecursiveMutex> lock(StreamsMutex());
        for (const auto& entry : Streams()) {
            if (entry.second->Device == Device)
                mine.push_back(entry.second);
        }
    }
    for (LibraryStream* stream : mine) {
        StopIfRunning(stream);
        Forget(stream);
    }
}

} // namespace cameralib
