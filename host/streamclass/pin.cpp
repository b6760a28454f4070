// A pin on one of the filter's streams: its formats and state, reads sent and waited for on the host
// clock, stream properties, and closing.
#include "host/streamclass/client.h"

#include "host/kernel/kernel_host.h"
#include "host/streamclass/stream_class_internal.h"

#include <cstring>

namespace streamclass {

Pin::Pin(Filter* Owner, ULONG StreamNumber) : owner_(Owner), streamObject_(new HW_STREAM_OBJECT) {
    std::memset(streamObject_.get(), 0, sizeof(HW_STREAM_OBJECT));
    streamObject_->SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
    streamObject_->StreamNumber = StreamNumber;
    streamObject_->HwDeviceExtension = Owner->DeviceExtension();
}

Pin::~Pin() {
    if (state_.load() == OPEN)
        Close();
    host::ClockWait([this] { return state_.load() != CLOSING; });
}

// ---- requests in flight ------------------------------------------------------------------------------

InFlight::InFlight(Pin* Pin) : count_(&Pin->inFlight_) {
    count_->fetch_add(1);
    if (Pin->state_.load() != Pin::OPEN)
        Leave(); // closing before the count was seen
}

InFlight::InFlight(Filter* Filter, bool EvenWhileRemoving) : count_(&Filter->inFlight_) {
    count_->fetch_add(1);
    if (!EvenWhileRemoving && Filter->removing_.load())
        Leave();
}

InFlight::~InFlight() {
    if (count_ != nullptr)
        Leave();
}

void InFlight::Leave() {
    // The last one out wakes whoever waits to take the pin or the device down.
    if (count_->fetch_sub(1) == 1)
        host::ClockNotify();
    count_ = nullptr;
}

void InFlight::WaitOut(const std::atomic<int>& Count) {
    host::ClockWait([&Count] { return Count.load() == 0; });
}

// ---- control --------------------------------------------------------------------------------------------

NTSTATUS Pin::SendControlSrb(ULONG Command, PVOID CommandData, ULONG* ActualBytes) {
    InFlight dispatch(this);
    if (!dispatch.Entered())
        return STATUS_INVALID_DEVICE_STATE;
    Srb request(Command, owner_->DeviceExtension(), streamObject_.get());
    request->CommandData.TimeReference = CommandData;
    const NTSTATUS status = DeliverStreamControlSrb(request);
    if (ActualBytes != nullptr)
        *ActualBytes = request->ActualBytesTransferred;
    return status;
}

NTSTATUS Pin::SendFormat(ULONG Command, const std::vector<uint8_t>& Format) {
    std::unique_ptr<uint8_t[]> format = ExactCopy(Format.data(), Format.size());
    return SendControlSrb(Command, format.get());
}

NTSTATUS Pin::ProposeFormat(const std::vector<uint8_t>& Format) {
    return SendFormat(SRB_PROPOSE_DATA_FORMAT, Format);
}

NTSTATUS Pin::SetFormat(const std::vector<uint8_t>& Format) {
    return SendFormat(SRB_SET_DATA_FORMAT, Format);
}

NTSTATUS Pin::GetFormat(std::vector<uint8_t>* Format, ULONG BufferSize) {
    std::vector<uint8_t> buffer(BufferSize);
    ULONG actual = 0;
    const NTSTATUS status = SendControlSrb(SRB_GET_DATA_FORMAT, buffer.data(), &actual);
    if (NT_SUCCESS(status))
        Format->assign(buffer.begin(), buffer.begin() + (actual < BufferSize ? actual : BufferSize));
    return status;
}

NTSTATUS Pin::SetState(KSSTATE State) {
    InFlight dispatch(this);
    if (!dispatch.Entered())
        return STATUS_INVALID_DEVICE_STATE;
    Srb request(SRB_SET_STREAM_STATE, owner_->DeviceExtension(), streamObject_.get());
    request->CommandData.StreamState = State;
    return DeliverStreamControlSrb(request);
}

NTSTATUS Pin::GetState(KSSTATE* State) {
    InFlight dispatch(this);
    if (!dispatch.Entered())
        return STATUS_INVALID_DEVICE_STATE;
    Srb request(SRB_GET_STREAM_STATE, owner_->DeviceExtension(), streamObject_.get());
    const NTSTATUS status = DeliverStreamControlSrb(request);
    if (NT_SUCCESS(status))
        *State = request->CommandData.StreamState;
    return status;
}

NTSTATUS Pin::ReadFrame(void* Buffer, ULONG BufferSize, ULONG* DataUsed, ReadResult* Result) {
    if (!IsOpen())
        return STATUS_INVALID_DEVICE_STATE;
    std::unique_ptr<PendingRead> read = QueueRead(Buffer, BufferSize);
    ReadResult result;
    const NTSTATUS status = read->Wait(&result);
    if (DataUsed != nullptr)
        *DataUsed = result.DataUsed;
    if (Result != nullptr)
        *Result = result;
    return status;
}

std::unique_ptr<PendingRead> Pin::QueueRead(void* Buffer, ULONG BufferSize) {
    std::unique_ptr<PendingRead> read(new PendingRead(this, Buffer, BufferSize));
    InFlight dispatch(this);
    if (!dispatch.Entered()) {
        // Nothing to send it to: it completes at once, as the stream class fails a read of a closed pin.
        read->request_->Status = STATUS_INVALID_DEVICE_STATE;
        StreamClassStreamNotification(StreamRequestComplete, streamObject_.get(), read->request_.Get());
        return read;
    }
    SubmitStreamDataSrb(read->request_);
    return read;
}

// ---- reads -----------------------------------------------------------------------------------------------

PendingRead::PendingRead(Pin* Owner, void* Buffer, ULONG BufferSize)
    : request_(SRB_READ_DATA, Owner->owner_->DeviceExtension(), Owner->streamObject_.get()) {
    std::memset(&header_, 0, sizeof header_);
    header_.Header.Size = sizeof header_;
    header_.Header.FrameExtent = BufferSize;
    header_.Header.Data = Buffer;
    request_->CommandData.DataBufferArray = &header_.Header;
    request_->NumberOfBuffers = 1;
    request_->NumberOfBytesToTransfer = BufferSize;
}

PendingRead::~PendingRead() {
    request_.WaitForCompletion();
}

NTSTATUS PendingRead::Wait(ReadResult* Result, int64_t Until100ns) {
    ReadResult result;
    if (request_.WaitForCompletion(Until100ns)) {
        result.Status = request_->Status;
        result.DataUsed = header_.Header.DataUsed;
        result.PresentationTime = header_.Header.PresentationTime.Time;
        result.Duration = header_.Header.Duration;
        result.OptionsFlags = header_.Header.OptionsFlags;
        result.HasFrameInfo = header_.Info.ExtendedHeaderSize == sizeof(KS_FRAME_INFO);
        result.PictureNumber = header_.Info.PictureNumber;
        result.DropCount = header_.Info.DropCount;
    }
    if (Result != nullptr)
        *Result = result;
    return result.Status;
}

NTSTATUS Pin::GetProperty(ULONG PropertySetIndex, void* PropertyBuffer, ULONG PropertySize, void* Data,
                          ULONG DataSize, ULONG* BytesReturned) {
    STREAM_PROPERTY_DESCRIPTOR descriptor =
        PropertyDescriptor(PropertyBuffer, PropertySetIndex, PropertySize, Data, DataSize);
    return SendControlSrb(SRB_GET_STREAM_PROPERTY, &descriptor, BytesReturned);
}

NTSTATUS Pin::Close() {
    // Counted against the device first, so that a removal that finds the pin already closing waits for
    // this close to reach the driver before it takes the device down.
    InFlight closing(owner_, true);
    if (!BeginClose())
        return STATUS_INVALID_DEVICE_STATE;
    return FinishClose();
}

bool Pin::BeginClose() {
    int open = OPEN;
    return state_.compare_exchange_strong(open, CLOSING);
}

NTSTATUS Pin::FinishClose() {
    // The I/O manager sends the close only once the handle's last dispatch has returned.
    InFlight::WaitOut(inFlight_);
    {
        std::lock_guard<std::mutex> lock(owner_->pinsMutex_);
        owner_->pins_.erase(this);
    }
    Srb request(SRB_CLOSE_STREAM, owner_->DeviceExtension(), streamObject_.get());
    const NTSTATUS status = DeliverAdapterSrb(owner_->ReceivePacket(), request);
    state_ = CLOSED;
    host::ClockNotify();
    return status;
}

} // namespace streamclass
