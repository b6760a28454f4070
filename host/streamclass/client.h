// What a capture application does with the camera's filter, through the stream class stand-in: load
// the driver, add the camera, read the descriptors, intersect, open pins, run them, read frames, get and
// set properties, remove the camera. Each call builds the SRBs the real stream class would send.
#pragma once

#include "host/streamclass/srb_records.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace streamclass {

class Pin;
class PendingRead;
struct LoadedDriver;

// What a completed read tells the application.
struct ReadResult {
    NTSTATUS Status = STATUS_PENDING;
    ULONG DataUsed = 0;
    LONGLONG PresentationTime = 0; // stream time of the frame, 100 ns units
    LONGLONG Duration = 0;
    ULONG OptionsFlags = 0; // KSSTREAM_HEADER_OPTIONSF_*: time valid, discontinuity
    bool HasFrameInfo = false;
    LONGLONG PictureNumber = 0; // from the frame's KS_FRAME_INFO
    LONGLONG DropCount = 0;
};

// Whether a property item's get or set slot (a handler or a BOOLEAN, in one union) says supported.
bool ItemSupported(const void* HandlerUnion);

class Filter {
  public:
    Filter();
    ~Filter(); // closes pins, removes the camera and unloads, whatever is still open
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    // All steps of bring-up in order, for the device whose physical device object the bus made; the
    // first failing step's status.
    NTSTATUS Open(DriverEntryRoutine Entry, PDEVICE_OBJECT Pdo);

    // ---- the steps ----
    NTSTATUS Load(DriverEntryRoutine Entry); // DriverEntry with a fresh DRIVER_OBJECT
    // Serve a further camera with the driver Loaded has loaded, as one driver serves every camera of its
    // kind that is plugged in; the driver unloads when its last filter goes.
    NTSTATUS ShareDriver(Filter& Loaded);
    // The PnP manager's part when the bus reports the device: the class device object on top of its
    // PDO, the extension, the driver key.
    NTSTATUS AddDevice(PDEVICE_OBJECT Pdo);
    NTSTATUS Initialize();                               // SRB_INITIALIZE_DEVICE
    NTSTATUS CompleteInitialization();                   // SRB_INITIALIZATION_COMPLETE
    NTSTATUS ReadStreamInfo();                           // SRB_GET_STREAM_INFO
    NTSTATUS RemoveCamera(); // closes pins, SRB_UNINITIALIZE_DEVICE after a successful initialise
    // The camera was pulled out: SRB_SURPRISE_REMOVAL, then the removal requests as RemoveCamera sends
    // them. The result is the surprise removal's status.
    NTSTATUS SurpriseRemoval();
    void Unload();

    // ---- descriptors, valid after ReadStreamInfo ----
    const HW_STREAM_HEADER& StreamHeader() const;
    ULONG StreamCount() const { return StreamHeader().NumberOfStreams; }
    const HW_STREAM_INFORMATION& StreamInfo(ULONG StreamNumber) const;
    // The data ranges of a reported stream, as KS_DATARANGE_VIDEO records.
    std::vector<const KS_DATARANGE_VIDEO*> Ranges(ULONG StreamNumber) const;
    // The descriptor buffer as the driver left it (header and room for two entries).
    const std::vector<uint8_t>& DescriptorBuffer() const { return descriptor_; }

    // ---- intersection ----
    // One SRB_GET_DATA_INTERSECTION with the caller's buffers; *Actual gets ActualBytesTransferred.
    NTSTATUS IntersectOnce(ULONG StreamNumber, KSDATARANGE* Range, void* Buffer, ULONG BufferSize,
                           ULONG* Actual);
    // The two-step size protocol: ask the size with an empty buffer, then fetch the format.
    NTSTATUS Intersect(ULONG StreamNumber, const KSDATARANGE* Range, std::vector<uint8_t>* Format);

    // ---- device properties ----
    // PropertyBuffer starts with the KSPROPERTY; Data is the property's data buffer. With Validate the
    // request is first checked against the advertised property sets, as the stream class does (unknown
    // set, item or direction: STATUS_NOT_FOUND; buffers under the advertised minimum:
    // STATUS_BUFFER_TOO_SMALL); without, it is sent as it is.
    NTSTATUS DeviceProperty(bool Set, void* PropertyBuffer, ULONG PropertySize, void* Data, ULONG DataSize,
                            ULONG* BytesReturned, bool Validate = true);

    // ---- pins ----
    // SRB_OPEN_STREAM with a new stream object and a copy of Format (exactly its size). Null with
    // *Status set when the stream is not reported or the open fails.
    std::unique_ptr<Pin> OpenPin(ULONG StreamNumber, const std::vector<uint8_t>& Format, NTSTATUS* Status);

    // ---- anything else ----
    NTSTATUS SendAdapterSrb(ULONG Command, PVOID CommandData, ULONG* ActualBytes = nullptr);

    PDRIVER_OBJECT DriverObject();
    PVOID DeviceExtension() { return extension_.empty() ? nullptr : extension_.data(); }
    // The extension size the library registered for its minidriver's cameras (0 before a registration).
    ULONG RegisteredExtensionSize() const;
    PDEVICE_OBJECT PhysicalDeviceObject() { return pdo_; }
    PDEVICE_OBJECT ClassDeviceObject() { return classDeviceObject_; }
    bool Loaded() const { return driver_ != nullptr; }
    bool Initialized() const { return initialized_; }

  private:
    friend class Pin;
    friend class InFlight;
    PHW_RECEIVE_DEVICE_SRB ReceivePacket() const;
    NTSTATUS ClassDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);

    std::shared_ptr<DRIVER_OBJECT> driverObject_;
    std::shared_ptr<LoadedDriver> driver_;
    PDEVICE_OBJECT pdo_ = nullptr; // the bus's
    // Made by the kernel stand-in's I/O manager so that requests it pends are completed while a caller
    // waits; owned by the kernel stand-in.
    PDEVICE_OBJECT classDeviceObject_ = nullptr;
    std::vector<uint64_t> extension_; // 8-aligned, zero-filled, the registered size rounded up
    std::vector<uint8_t> descriptor_;
    bool initialized_ = false;
    std::mutex pinsMutex_; // pins open and close on the application's threads, the removal on the bus's
    std::set<Pin*> pins_;
    // What the I/O manager and the PnP manager keep for the device: a request an application has sent is
    // carried to its end before the device is taken down under it. Requests in flight on the filter and
    // its pins' closes count here; once the removal has begun, new filter requests are refused.
    std::atomic<int> inFlight_{0};
    std::atomic<bool> removing_{false};
};

class Pin {
  public:
    ~Pin(); // closes the stream if still open, and waits for a close the removal is sending
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

    ULONG StreamNumber() const { return streamObject_->StreamNumber; }
    PHW_STREAM_OBJECT StreamObject() { return streamObject_.get(); }
    bool IsOpen() const { return state_.load() == OPEN; }

    NTSTATUS ProposeFormat(const std::vector<uint8_t>& Format); // SRB_PROPOSE_DATA_FORMAT
    NTSTATUS SetFormat(const std::vector<uint8_t>& Format);     // SRB_SET_DATA_FORMAT
    // SRB_GET_DATA_FORMAT into a buffer of BufferSize bytes (the format is returned in it on success).
    NTSTATUS GetFormat(std::vector<uint8_t>* Format,
                       ULONG BufferSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    NTSTATUS SetState(KSSTATE State);  // SRB_SET_STREAM_STATE
    NTSTATUS GetState(KSSTATE* State); // SRB_GET_STREAM_STATE
    // SRB_READ_DATA with one KSSTREAM_HEADER (and its KS_FRAME_INFO) over Buffer, waiting on the host
    // clock for its completion; *DataUsed gets the header's DataUsed, *Result everything the read told.
    NTSTATUS ReadFrame(void* Buffer, ULONG BufferSize, ULONG* DataUsed, ReadResult* Result = nullptr);
    // The same without waiting: the read stays queued in the library until a frame fills it. Several may
    // be queued at once; they complete in order. Buffer must outlive the read.
    std::unique_ptr<PendingRead> QueueRead(void* Buffer, ULONG BufferSize);
    // SRB_GET_STREAM_PROPERTY; PropertySetIndex indexes the stream's property set array.
    NTSTATUS GetProperty(ULONG PropertySetIndex, void* PropertyBuffer, ULONG PropertySize, void* Data,
                         ULONG DataSize, ULONG* BytesReturned);
    NTSTATUS Close(); // SRB_CLOSE_STREAM (an adapter SRB)

    NTSTATUS SendControlSrb(ULONG Command, PVOID CommandData, ULONG* ActualBytes = nullptr);

  private:
    friend class Filter;
    friend class PendingRead;
    friend class InFlight;
    Pin(Filter* Owner, ULONG StreamNumber);
    NTSTATUS SendFormat(ULONG Command, const std::vector<uint8_t>& Format);
    // Whoever moves the pin from open to closing (the application or the removal) sends the close.
    bool BeginClose();
    NTSTATUS FinishClose();

    enum State { CLOSED, OPEN, CLOSING };
    Filter* owner_;
    std::unique_ptr<HW_STREAM_OBJECT> streamObject_;
    std::atomic<int> state_{CLOSED};
    // A pin's handle stays referenced while a request sent on it is being dispatched, so the close comes
    // only after the last dispatch has returned (the request itself may stay queued in the library).
    std::atomic<int> inFlight_{0};
};

// One request on its way into the driver: counted against its pin or filter for as long as the dispatch
// runs. Refused (Entered() false) once the pin is closed or the device's removal has begun.
class InFlight {
  public:
    explicit InFlight(Pin* Pin);
    explicit InFlight(Filter* Filter, bool EvenWhileRemoving = false);
    ~InFlight();
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
    bool Entered() const { return count_ != nullptr; }
    // Waits on the host clock until no request counted in Count is in flight.
    static void WaitOut(const std::atomic<int>& Count);

  private:
    void Leave();
    std::atomic<int>* count_;
};

// A read sent to a pin. Waiting is on the host clock; the destructor waits for the completion, since
// the library holds the request until then.
class PendingRead {
  public:
    ~PendingRead();
    PendingRead(const PendingRead&) = delete;
    PendingRead& operator=(const PendingRead&) = delete;
    bool Done() const { return request_.Completions() != 0; }
    // Waits for the completion (or until the clock reaches Until100ns: then the result's Status is
    // STATUS_PENDING) and returns the status.
    NTSTATUS Wait(ReadResult* Result = nullptr, int64_t Until100ns = INT64_MAX);
    void* Buffer() const { return header_.Header.Data; }

  private:
    friend class Pin;
    PendingRead(Pin* Owner, void* Buffer, ULONG BufferSize);
    struct alignas(8) Headers {
        KSSTREAM_HEADER Header;
        KS_FRAME_INFO Info;
    };
    Headers header_;
    Srb request_;
};

} // namespace streamclass
