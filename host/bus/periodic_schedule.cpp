#include "host/bus/periodic_schedule.h"

namespace bus {

bool EncodeMaxPacketSize(uint32_t Bytes, uint16_t* MaxPacketSize) {
    if (Bytes == 0 || Bytes > HIGH_SPEED_BYTES_PER_MICROFRAME_MAX)
        return false;
    const uint32_t transactions = (Bytes + TRANSACTION_BYTES_MAX - 1) / TRANSACTION_BYTES_MAX;
    if (Bytes % transactions != 0)
        return false;
    *MaxPacketSize = static_cast<uint16_t>((transactions - 1) << 11 | Bytes / transactions);
    return true;
}

uint32_t ServiceMicroframes(const EndpointDescriptor& Endpoint) {
    const uint8_t interval = Endpoint.Interval;
    return interval >= 1 && interval <= 16 ? 1u << (interval - 1) : 1u;
}

uint32_t PeriodicBytes(const EndpointDescriptor& Endpoint) {
    const uint32_t size = Endpoint.MaxPacketSize & 0x7FF;
    if (size == 0)
        return 0;
    const uint32_t transactions = TransactionsPerMicroframe(Endpoint.MaxPacketSize);
    switch (Endpoint.Type()) {
    case EndpointType::Isochronous:
        return transactions * (size + ISOCHRONOUS_OVERHEAD_BYTES);
    case EndpointType::Interrupt:
        return transactions * (size + INTERRUPT_OVERHEAD_BYTES);
    default:
        return 0;
    }
}

uint32_t PeriodicBytes(const AlternateSetting& Setting) {
    uint32_t total = 0;
    for (const EndpointDescriptor& endpoint : Setting.Endpoints)
        total += PeriodicBytes(endpoint);
    return total;
}

} // namespace bus
