// The capture application's side of the stream class stand-in.
#include "host/streamclass/client.h"

#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "host/streamclass/stream_class_internal.h"

#include <cstring>

namespace streamclass {
namespace {

constexpr ULONG DESCRIPTOR_ENTRIES = 2; // room the stream class gives for stream entries

const char16_t REGISTRY_PATH[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\z40k";

// An input buffer of exactly the caller's size, so that a read past its end lands in a red zone.
std::unique_ptr<uint8_t[]> ExactCopy(const void* Data, size_t Size) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[Size == 0 ? 1 : Size]);
    if (Size != 0)
        std::memcpy(copy.get(), Data, Size);
    return copy;
}

STREAM_PROPERTY_DESCRIPTOR PropertyDescriptor(void* PropertyBuffer, ULONG PropertySetIndex,
                                              ULONG PropertySize, void* Data, ULONG DataSize) {
    STREAM_PROPERTY_DESCRIPTOR descriptor;
    descriptor.Property = static_cast<PKSPROPERTY>(PropertyBuffer);
    descriptor.PropertySetID = PropertySetIndex;
    descriptor.PropertyInfo = Data;
    descriptor.PropertyInputSize = PropertySize;
    descriptor.PropertyOutputSize = DataSize;
    return descriptor;
}

} // namespace

bool ItemSupported(const void* HandlerUnion) {
    // The item's get/set slot holds either a handler or a BOOLEAN; any set bit means supported.
    unsigned char bytes[sizeof(PFNKSHANDLER)];
    std::memcpy(bytes, HandlerUnion, sizeof bytes);
    for (unsigned char b : bytes) {
        if (b != 0)
            return true;
    }
    return false;
}

// ---- filter ----------------------------------------------------------------------------------------------

Filter::Filter() = default;

Filter::~Filter() {
    Unload();
}

PDRIVER_OBJECT Filter::DriverObject() {
    return driverObject_.get();
}

PHW_RECEIVE_DEVICE_SRB Filter::ReceivePacket() const {
    return driver_ != nullptr && driver_->Registered ? driver_->Registration.ReceivePacket : nullptr;
}

NTSTATUS Filter::Open(DriverEntryRoutine Entry, PDEVICE_OBJECT Pdo) {
    NTSTATUS status = Load(Entry);
    if (NT_SUCCESS(status))
        status = AddDevice(Pdo);
    if (NT_SUCCESS(status))
        status = Initialize();
    if (NT_SUCCESS(status))
        status = CompleteInitialization();
    if (NT_SUCCESS(status))
        status = ReadStreamInfo();
    return status;
}

NTSTATUS Filter::Load(DriverEntryRoutine Entry) {
    if (driver_ != nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    driverObject_.reset(new DRIVER_OBJECT);
    std::memset(driverObject_.get(), 0, sizeof(DRIVER_OBJECT));
    driverObject_->Type = IO_TYPE_DRIVER;
    driverObject_->Size = sizeof(DRIVER_OBJECT);
    driver_.reset(new LoadedDriver);
    driver_->Object = driverObject_.get();
    AddLoadedDriver(driver_.get());
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, REGISTRY_PATH);
    NTSTATUS status = Entry(driverObject_.get(), &registryPath);
    if (NT_SUCCESS(status) && !driver_->Registered)
        status = STATUS_UNSUCCESSFUL; // succeeded without registering an adapter routine
    if (!NT_SUCCESS(status))
        Unload();
    return status;
}

NTSTATUS Filter::AddDevice(PDEVICE_OBJECT Pdo) {
    if (ReceivePacket() == nullptr || !extension_.empty() || Pdo == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    pdo_ = Pdo;

    // The extension comes from the host, not the driver's pool, zero-filled as the stream class does.
    const ULONG size = driver_->Registration.DeviceExtensionSize;
    extension_.assign((size + 7) / 8, 0);

    classDeviceObject_ = host::CreateDeviceObject(
        [this](PDEVICE_OBJECT DeviceObject, PIRP Irp) { return ClassDispatch(DeviceObject, Irp); });
    classDeviceObject_->DriverObject = driverObject_.get();
    classDeviceObject_->DeviceExtension = extension_.data();
    // Attached on top of the PDO: a request sent down the stack needs one location more.
    classDeviceObject_->StackSize = static_cast<CHAR>(pdo_->StackSize + 1);
    pdo_->AttachedDevice = classDeviceObject_;
    driverObject_->DeviceObject = classDeviceObject_;
    // The settings live under the driver key of this camera's PDO.
    host::RegistrySetDevicePdo(pdo_);
    return STATUS_SUCCESS;
}

NTSTATUS Filter::ClassDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MajorFunction == IRP_MJ_PNP && driver_ != nullptr && driver_->Registration.PnpHandler &&
        !extension_.empty())
        return driver_->Registration.PnpHandler(DeviceExtension(), DeviceObject, Irp);
    const NTSTATUS status = Irp->IoStatus.Status;
    IofCompleteRequest(Irp, 0);
    return status;
}

NTSTATUS Filter::SendAdapterSrb(ULONG Command, PVOID CommandData, ULONG* ActualBytes) {
    PHW_RECEIVE_DEVICE_SRB routine = ReceivePacket();
    if (routine == nullptr || extension_.empty())
        return STATUS_INVALID_DEVICE_STATE;
    Srb request(Command, DeviceExtension());
    request->CommandData.StreamBuffer = static_cast<HW_STREAM_DESCRIPTOR*>(CommandData);
    const NTSTATUS status = DeliverAdapterSrb(routine, request);
    if (ActualBytes != nullptr)
        *ActualBytes = request->ActualBytesTransferred;
    return status;
}

NTSTATUS Filter::Initialize() {
    PORT_CONFIGURATION_INFORMATION config;
    std::memset(&config, 0, sizeof config);
    config.SizeOfThisPacket = sizeof config;
    config.HwDeviceExtension = DeviceExtension();
    config.ClassDeviceObject = classDeviceObject_;
    config.PhysicalDeviceObject = pdo_;
    config.RealPhysicalDeviceObject = pdo_;
    config.AdapterInterfaceType = PNPBus;
    const NTSTATUS status = SendAdapterSrb(SRB_INITIALIZE_DEVICE, &config);
    initialized_ = NT_SUCCESS(status);
    return status;
}

NTSTATUS Filter::CompleteInitialization() {
    return SendAdapterSrb(SRB_INITIALIZATION_COMPLETE, nullptr);
}

NTSTATUS Filter::ReadStreamInfo() {
    // The driver sets no descriptor size; we give it room for the header and both stream entries and no
    // more, so that an entry written past them is caught.
    descriptor_.assign(
        offsetof(HW_STREAM_DESCRIPTOR, StreamInfo) + DESCRIPTOR_ENTRIES * sizeof(HW_STREAM_INFORMATION), 0);
    return SendAdapterSrb(SRB_GET_STREAM_INFO, descriptor_.data());
}

NTSTATUS Filter::RemoveCamera() {
    std::set<Pin*> pins = pins_;
    for (Pin* pin : pins)
        pin->Close();
    NTSTATUS status = STATUS_SUCCESS;
    if (initialized_)
        status = SendAdapterSrb(SRB_UNINITIALIZE_DEVICE, nullptr);
    initialized_ = false;
    if (!extension_.empty() && driver_ != nullptr && driver_->Registration.ExtensionReleased)
        driver_->Registration.ExtensionReleased(DeviceExtension());
    extension_.clear();
    descriptor_.clear();
    if (classDeviceObject_ != nullptr)
        classDeviceObject_->DeviceExtension = nullptr; // the object itself stays with the I/O manager
    classDeviceObject_ = nullptr;
    if (pdo_ != nullptr)
        pdo_->AttachedDevice = nullptr;
    pdo_ = nullptr;
    return status;
}

NTSTATUS Filter::SurpriseRemoval() {
    if (extension_.empty())
        return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = initialized_ ? SendAdapterSrb(SRB_SURPRISE_REMOVAL, nullptr) : STATUS_SUCCESS;
    RemoveCamera();
    return status;
}

NTSTATUS Filter::ShareDriver(Filter& Loaded) {
    if (driver_ != nullptr || Loaded.driver_ == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    driver_ = Loaded.driver_;
    driverObject_ = Loaded.driverObject_;
    return STATUS_SUCCESS;
}

void Filter::Unload() {
    if (!extension_.empty())
        RemoveCamera();
    if (driver_ != nullptr && driver_.use_count() == 1)
        RemoveLoadedDriver(driver_.get());
    driver_.reset();
    driverObject_.reset();
}

const HW_STREAM_HEADER& Filter::StreamHeader() const {
    static const HW_STREAM_HEADER none = {};
    if (descriptor_.empty())
        return none;
    return reinterpret_cast<const HW_STREAM_DESCRIPTOR*>(descriptor_.data())->StreamHeader;
}

const HW_STREAM_INFORMATION& Filter::StreamInfo(ULONG StreamNumber) const {
    static const HW_STREAM_INFORMATION none = {};
    if (descriptor_.empty() || StreamNumber >= StreamCount() || StreamNumber >= DESCRIPTOR_ENTRIES)
        return none;
    return (&reinterpret_cast<const HW_STREAM_DESCRIPTOR*>(descriptor_.data())->StreamInfo)[StreamNumber];
}

std::vector<const KS_DATARANGE_VIDEO*> Filter::Ranges(ULONG StreamNumber) const {
    std::vector<const KS_DATARANGE_VIDEO*> ranges;
    const HW_STREAM_INFORMATION& info = StreamInfo(StreamNumber);
    for (ULONG i = 0; i < info.NumberOfFormatArrayEntries; ++i)
        ranges.push_back(reinterpret_cast<const KS_DATARANGE_VIDEO*>(info.StreamFormatsArray[i]));
    return ranges;
}

NTSTATUS Filter::IntersectOnce(ULONG StreamNumber, KSDATARANGE* Range, void* Buffer, ULONG BufferSize,
                               ULONG* Actual) {
    STREAM_DATA_INTERSECT_INFO info;
    info.StreamNumber = StreamNumber;
    info.DataRange = Range;
    info.DataFormatBuffer = Buffer;
    info.SizeOfDataFormatBuffer = BufferSize;
    return SendAdapterSrb(SRB_GET_DATA_INTERSECTION, &info, Actual);
}

NTSTATUS Filter::Intersect(ULONG StreamNumber, const KSDATARANGE* Range, std::vector<uint8_t>* Format) {
    // The range goes over in a buffer of exactly the size it declares.
    std::unique_ptr<uint8_t[]> range = ExactCopy(Range, Range->FormatSize);
    KSDATARANGE* proposed = reinterpret_cast<KSDATARANGE*>(range.get());
    ULONG needed = 0;
    NTSTATUS status = IntersectOnce(StreamNumber, proposed, nullptr, 0, &needed);
    if (status != STATUS_BUFFER_OVERFLOW)
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status; // a size query never succeeds
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[needed == 0 ? 1 : needed]);
    ULONG actual = 0;
    status = IntersectOnce(StreamNumber, proposed, buffer.get(), needed, &actual);
    if (NT_SUCCESS(status)) {
        if (actual > needed)
            actual = needed;
        Format->assign(buffer.get(), buffer.get() + actual);
    }
    return status;
}

NTSTATUS Filter::DeviceProperty(bool Set, void* PropertyBuffer, ULONG PropertySize, void* Data,
                                ULONG DataSize, ULONG* BytesReturned, bool Validate) {
    ULONG setIndex = 0;
    if (Validate) {
        if (PropertyBuffer == nullptr || PropertySize < sizeof(KSPROPERTY))
            return STATUS_BUFFER_TOO_SMALL;
        const KSPROPERTY* property = static_cast<const KSPROPERTY*>(PropertyBuffer);
        const HW_STREAM_HEADER& header = StreamHeader();
        const KSPROPERTY_ITEM* item = nullptr;
        for (ULONG s = 0; s < header.NumDevPropArrayEntries && item == nullptr; ++s) {
            const KSPROPERTY_SET& set = header.DevicePropertiesArray[s];
            if (!IsEqualGUID(*set.Set, property->Set))
                continue;
            setIndex = s;
            for (ULONG i = 0; i < set.PropertiesCount; ++i) {
                if (set.PropertyItem[i].PropertyId == property->Id)
                    item = &set.PropertyItem[i];
            }
            if (item == nullptr)
                return STATUS_PROPERTY_NOT_FOUND;
        }
        if (item == nullptr)
            return STATUS_PROPERTY_NOT_FOUND;
        if (!ItemSupported(Set ? static_cast<const void*>(&item->SetPropertyHandler)
                               : static_cast<const void*>(&item->GetPropertyHandler)))
            return STATUS_PROPERTY_NOT_FOUND;
        if (PropertySize < item->MinProperty || DataSize < item->MinData)
            return STATUS_BUFFER_TOO_SMALL;
    }
    STREAM_PROPERTY_DESCRIPTOR descriptor =
        PropertyDescriptor(PropertyBuffer, setIndex, PropertySize, Data, DataSize);
    ULONG actual = 0;
    const NTSTATUS status =
        SendAdapterSrb(Set ? SRB_SET_DEVICE_PROPERTY : SRB_GET_DEVICE_PROPERTY, &descriptor, &actual);
    if (BytesReturned != nullptr)
        *BytesReturned = actual;
    return status;
}

std::unique_ptr<Pin> Filter::OpenPin(ULONG StreamNumber, const std::vector<uint8_t>& Format,
                                     NTSTATUS* Status) {
    // Pins exist only for the streams the driver reported.
    if (ReceivePacket() == nullptr || extension_.empty() || StreamNumber >= StreamCount()) {
        *Status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    std::unique_ptr<Pin> pin(new Pin(this, StreamNumber));
    std::unique_ptr<uint8_t[]> format = ExactCopy(Format.data(), Format.size());
    Srb request(SRB_OPEN_STREAM, DeviceExtension(), pin->StreamObject());
    request->CommandData.OpenFormat = reinterpret_cast<PKSDATAFORMAT>(format.get());
    *Status = DeliverAdapterSrb(ReceivePacket(), request);
    if (!NT_SUCCESS(*Status))
        return nullptr;
    pin->open_ = true;
    pins_.insert(pin.get());
    return pin;
}

// ---- pin -------------------------------------------------------------------------------------------------

Pin::Pin(Filter* Owner, ULONG StreamNumber) : owner_(Owner), streamObject_(new HW_STREAM_OBJECT) {
    std::memset(streamObject_.get(), 0, sizeof(HW_STREAM_OBJECT));
    streamObject_->SizeOfThisPacket = sizeof(HW_STREAM_OBJECT);
    streamObject_->StreamNumber = StreamNumber;
    streamObject_->HwDeviceExtension = Owner->DeviceExtension();
}

Pin::~Pin() {
    if (open_)
        Close();
}

NTSTATUS Pin::SendControlSrb(ULONG Command, PVOID CommandData, ULONG* ActualBytes) {
    if (!open_)
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
    if (!open_)
        return STATUS_INVALID_DEVICE_STATE;
    Srb request(SRB_SET_STREAM_STATE, owner_->DeviceExtension(), streamObject_.get());
    request->CommandData.StreamState = State;
    return DeliverStreamControlSrb(request);
}

NTSTATUS Pin::GetState(KSSTATE* State) {
    if (!open_)
        return STATUS_INVALID_DEVICE_STATE;
    Srb request(SRB_GET_STREAM_STATE, owner_->DeviceExtension(), streamObject_.get());
    const NTSTATUS status = DeliverStreamControlSrb(request);
    if (NT_SUCCESS(status))
        *State = request->CommandData.StreamState;
    return status;
}

NTSTATUS Pin::ReadFrame(void* Buffer, ULONG BufferSize, ULONG* DataUsed, ReadResult* Result) {
    if (!open_)
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
    if (!open_) {
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
    if (!open_)
        return STATUS_INVALID_DEVICE_STATE;
    open_ = false;
    owner_->pins_.erase(this);
    Srb request(SRB_CLOSE_STREAM, owner_->DeviceExtension(), streamObject_.get());
    return DeliverAdapterSrb(owner_->ReceivePacket(), request);
}

} // namespace streamclass
