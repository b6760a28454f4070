// The filter as a capture application sees it: the descriptors the driver reported, intersection,
// device properties checked against the advertised sets, and pins opened on its streams.
#include "host/streamclass/client.h"

#include "host/streamclass/stream_class_internal.h"

#include <cstring>

namespace streamclass {

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
    InFlight sent(this);
    if (!sent.Entered())
        return STATUS_INVALID_DEVICE_STATE;
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
    InFlight sent(this);
    if (!sent.Entered())
        return STATUS_INVALID_DEVICE_STATE;
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
                return STATUS_NOT_FOUND;
        }
        if (item == nullptr)
            return STATUS_NOT_FOUND;
        if (!ItemSupported(Set ? static_cast<const void*>(&item->SetPropertyHandler)
                               : static_cast<const void*>(&item->GetPropertyHandler)))
            return STATUS_NOT_FOUND;
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
    InFlight sent(this);
    if (!sent.Entered()) {
        *Status = STATUS_INVALID_DEVICE_STATE;
        return nullptr;
    }
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
    pin->state_ = Pin::OPEN;
    std::lock_guard<std::mutex> lock(pinsMutex_);
    pins_.insert(pin.get());
    return pin;
}

} // namespace streamclass
