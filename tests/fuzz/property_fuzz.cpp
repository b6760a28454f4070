// Property requests of every set the driver answers (the camera set, which the stream class checks
// against its table first, and the proc-amp and window sets, which reach the driver with any buffer
// sizes), and of unknown sets: any ID, flags, direction, sizes and contents. Every answer must be a
// status a caller can act on, no byte beyond a buffer is touched, and no more bytes are reported than
// the data buffer holds.
#include "tests/fuzz/fuzz_stack.h"

#include "platform/camera_properties.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    fuzz::Input in(Data, Size);
    fuzz::Stack stack;
    FUZZ_CHECK(stack.Opened);
    for (int step = 0; step < 16 && !in.Empty(); ++step) {
        const uint8_t op = in.Byte();
        const bool set = (op & 1) != 0;
        KSPROPERTY property;
        std::memset(&property, 0, sizeof property);
        bool validate = false;
        switch (op >> 1 & 3) {
        case 0:
            property.Set = CameraPropertySetGuid;
            validate = true;
            break;
        case 1:
            property.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
            break;
        case 2:
            property.Set = WindowPropertySetGuid;
            break;
        default: {
            std::vector<uint8_t> guid = in.Bytes(sizeof(GUID));
            std::memcpy(&property.Set, guid.data(), sizeof(GUID));
        }
        }
        property.Id = (op & 0x08) ? in.Word32() : in.Byte() % 16;
        property.Flags = (op & 0x10) ? in.Word32() : (set ? KSPROPERTY_TYPE_SET : KSPROPERTY_TYPE_GET);
        const ULONG propertySize = sizeof(KSPROPERTY) + ((op & 0x20) ? in.Byte() % 16 : 0);
        const ULONG dataSize = (op & 0x40) ? in.Byte() % 64 : ((op & 0x80) ? 40 : 32);
        std::vector<uint8_t> identifier(reinterpret_cast<const uint8_t*>(&property),
                                        reinterpret_cast<const uint8_t*>(&property) + sizeof property);
        std::unique_ptr<uint8_t[]> propertyBuffer = fuzz::ExactBuffer(identifier, propertySize);
        std::unique_ptr<uint8_t[]> data = fuzz::ExactBuffer(in.Bytes(dataSize), dataSize);
        ULONG returned = 0xDEADBEEF;
        const NTSTATUS status =
            stack.Filter.DeviceProperty(set, propertyBuffer.get(), propertySize,
                                        dataSize == 0 ? nullptr : data.get(), dataSize, &returned, validate);
        FUZZ_CHECK(status == STATUS_SUCCESS || status == STATUS_INVALID_PARAMETER ||
                   status == STATUS_NOT_SUPPORTED || status == STATUS_BUFFER_TOO_SMALL ||
                   status == STATUS_UNSUCCESSFUL || status == STATUS_NOT_IMPLEMENTED ||
                   status == STATUS_NOT_FOUND);
        if (NT_SUCCESS(status))
            FUZZ_CHECK(returned <= dataSize);
    }
    stack.Finish();
    return 0;
}
