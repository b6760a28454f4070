// Intersection and format verification through the SRB path, as a capture application reaches them:
// any range against any stream with any format buffer size, and any format proposed at pin open and
// on an open pin. Answers must keep to the platform's protocol (a size query reports the size, a
// format written fits its buffer and describes itself) and every SRB is completed once.
#include "tests/fuzz/fuzz_stack.h"

#include "platform/ks_types.h"

namespace {

bool KnownStatus(NTSTATUS Status) {
    switch (Status) {
    case STATUS_SUCCESS:
    case STATUS_INVALID_PARAMETER:
    case STATUS_NOT_SUPPORTED:
    case STATUS_NO_MATCH:
    case STATUS_INSUFFICIENT_RESOURCES:
    case STATUS_BUFFER_OVERFLOW:
    case STATUS_BUFFER_TOO_SMALL:
    case STATUS_NOT_IMPLEMENTED:
    case STATUS_UNSUCCESSFUL:
        return true;
    default:
        return false;
    }
}

// Bytes of a range or format: the driver's own first range with some bytes changed, or any bytes; at
// least a KSDATARANGE and FormatSize saying its true size, as the stream class guarantees.
std::vector<uint8_t> FormatBytes(fuzz::Input& In, const std::vector<const KS_DATARANGE_VIDEO*>& Ranges) {
    std::vector<uint8_t> bytes;
    const uint8_t how = In.Byte();
    if ((how & 1) && !Ranges.empty()) {
        const uint8_t* range = reinterpret_cast<const uint8_t*>(Ranges[0]);
        bytes.assign(range, range + sizeof(KS_DATARANGE_VIDEO));
        if (how & 2)
            bytes.resize(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)); // a format's size, same leading fields
        for (unsigned edits = how >> 2 & 7; edits != 0; --edits)
            bytes[In.Below(static_cast<uint32_t>(bytes.size() - 1))] = In.Byte();
        if (how & 0x20)
            bytes.resize(In.Below(400));
    } else {
        bytes = In.Bytes(In.Below(400));
    }
    if (bytes.size() < sizeof(KSDATARANGE))
        bytes.resize(sizeof(KSDATARANGE));
    const ULONG size = static_cast<ULONG>(bytes.size());
    std::memcpy(bytes.data(), &size, sizeof size);
    return bytes;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    fuzz::Input in(Data, Size);
    fuzz::Stack stack;
    FUZZ_CHECK(stack.Opened);
    const std::vector<const KS_DATARANGE_VIDEO*> ranges = stack.Filter.Ranges(0);
    std::unique_ptr<streamclass::Pin> pin;
    for (int step = 0; step < 16 && !in.Empty(); ++step) {
        const uint8_t op = in.Byte();
        const ULONG stream = op >> 4 & 3;
        if ((op & 3) == 0) {
            std::vector<uint8_t> range = FormatBytes(in, ranges);
            const ULONG bufferSize = (op & 4) ? 0 : in.Below(400);
            std::unique_ptr<uint8_t[]> exactRange = fuzz::ExactBuffer(range, range.size());
            std::unique_ptr<uint8_t[]> buffer = fuzz::ExactBuffer({}, bufferSize);
            ULONG actual = 0xDEADBEEF;
            const NTSTATUS status =
                stack.Filter.IntersectOnce(stream, reinterpret_cast<KSDATARANGE*>(exactRange.get()),
                                           bufferSize == 0 ? nullptr : buffer.get(), bufferSize, &actual);
            FUZZ_CHECK(KnownStatus(status));
            if (NT_SUCCESS(status)) {
                FUZZ_CHECK(actual <= bufferSize && actual >= sizeof(KSDATAFORMAT));
                KSDATAFORMAT format;
                std::memcpy(&format, buffer.get(), sizeof format);
                FUZZ_CHECK(format.FormatSize == actual);
            }
        } else if ((op & 3) == 1) {
            std::vector<uint8_t> format = FormatBytes(in, ranges);
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            pin.reset();
            pin = stack.Filter.OpenPin(stream, format, &status);
            FUZZ_CHECK(KnownStatus(status) || status == STATUS_INVALID_PARAMETER);
        } else if (pin != nullptr) {
            std::vector<uint8_t> format = FormatBytes(in, ranges);
            FUZZ_CHECK(KnownStatus(pin->ProposeFormat(format)));
        }
    }
    pin.reset();
    stack.Finish();
    return 0;
}
