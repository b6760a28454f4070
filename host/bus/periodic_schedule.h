// The periodic schedule of a USB 2.0 high-speed bus: 8,000 microframes a second, and the share of each
// that isochronous and interrupt endpoints reserve.
//
// A microframe is 125 us, 60,000 bit times at 480 Mb/s: 7,500 bytes. The host reserves at most 80% of
// it for periodic transfers, 6,000 bytes; the rest is for control and bulk, which never reserve. A
// transaction costs its payload plus the protocol's own bytes around it (token, handshake, sync,
// end-of-packet, inter-packet gaps): 38 bytes for a high-speed isochronous transaction and 55 for an
// interrupt one, as USB 2.0's tables of transaction limits count them (bit stuffing
// is not counted). An endpoint reserves, in the microframes it is served in, one such cost per
// transaction its wMaxPacketSize declares; this bus counts every endpoint of a setting as if all were
// served in the same microframe, which holds for interval-1 endpoints such as a camera's and is the
// worst case for the others.
#pragma once

#include "host/bus/descriptors.h"

#include <cstdint>

namespace bus {

constexpr int64_t MICROFRAME_100NS = 1250;
constexpr uint32_t MICROFRAMES_PER_SECOND = 8000;
constexpr uint32_t MICROFRAMES_PER_FRAME = 8;
constexpr uint32_t MICROFRAME_BYTES = 7500;
constexpr uint32_t PERIODIC_BUDGET_BYTES = MICROFRAME_BYTES * 80 / 100; // 6,000
constexpr uint32_t ISOCHRONOUS_OVERHEAD_BYTES = 38;
constexpr uint32_t INTERRUPT_OVERHEAD_BYTES = 55;
constexpr uint32_t TRANSACTION_BYTES_MAX = 1024;
constexpr uint32_t TRANSACTIONS_MAX = 3;
constexpr uint32_t HIGH_SPEED_BYTES_PER_MICROFRAME_MAX = TRANSACTION_BYTES_MAX * TRANSACTIONS_MAX; // 3,072

// Transactions per microframe wMaxPacketSize declares: 1 + bits 11-12 (the value 3 there is reserved
// and counts as none).
constexpr uint32_t TransactionsPerMicroframe(uint16_t MaxPacketSize) {
    return ((MaxPacketSize >> 11) & 3) == 3 ? 0 : 1 + ((MaxPacketSize >> 11) & 3);
}
// Bytes an endpoint carries per microframe it is served in: the size times the transactions.
constexpr uint32_t BytesPerMicroframe(uint16_t MaxPacketSize) {
    return (MaxPacketSize & 0x7FF) * TransactionsPerMicroframe(MaxPacketSize);
}
// The wMaxPacketSize that carries Bytes per microframe in as few equal transactions as hold them; false
// when no high-speed endpoint can (more than 3 x 1,024, or not a whole number of equal transactions).
bool EncodeMaxPacketSize(uint32_t Bytes, uint16_t* MaxPacketSize);

// Microframes between two services of a high-speed periodic endpoint: 2^(bInterval - 1), bInterval 1
// to 16 (a value outside counts as 1).
uint32_t ServiceMicroframes(const EndpointDescriptor& Endpoint);
// Bytes of bus time per microframe an endpoint reserves (0 for control and bulk, and for a zero size).
uint32_t PeriodicBytes(const EndpointDescriptor& Endpoint);
// The same for a whole alternate setting.
uint32_t PeriodicBytes(const AlternateSetting& Setting);

// The microframe in progress at clock time Time100ns, and the clock time at which Microframe ends.
constexpr uint64_t MicroframeAt(int64_t Time100ns) {
    return Time100ns <= 0 ? 0 : static_cast<uint64_t>(Time100ns / MICROFRAME_100NS);
}
constexpr int64_t MicroframeEnd(uint64_t Microframe) {
    return static_cast<int64_t>(Microframe + 1) * MICROFRAME_100NS;
}
// The first microframe that begins at or after Time100ns.
constexpr uint64_t MicroframeFrom(int64_t Time100ns) {
    return Time100ns <= 0 ? 0 : static_cast<uint64_t>((Time100ns + MICROFRAME_100NS - 1) / MICROFRAME_100NS);
}

} // namespace bus
