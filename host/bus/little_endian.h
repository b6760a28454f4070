// Little-endian fields, as USB descriptors, setup packets and USBPcap records lay them out.
#pragma once

#include <cstdint>
#include <vector>

namespace bus {

inline uint16_t ReadLe16(const uint8_t* At) {
    return static_cast<uint16_t>(At[0] | At[1] << 8);
}
inline uint32_t ReadLe32(const uint8_t* At) {
    return At[0] | At[1] << 8 | At[2] << 16 | uint32_t(At[3]) << 24;
}
inline uint64_t ReadLe64(const uint8_t* At) {
    return ReadLe32(At) | uint64_t{ReadLe32(At + 4)} << 32;
}

inline void PutLe16(std::vector<uint8_t>* Out, uint32_t Value) {
    Out->push_back(static_cast<uint8_t>(Value));
    Out->push_back(static_cast<uint8_t>(Value >> 8));
}
inline void PutLe32(std::vector<uint8_t>* Out, uint32_t Value) {
    PutLe16(Out, Value & 0xFFFF);
    PutLe16(Out, Value >> 16);
}
inline void PutLe64(std::vector<uint8_t>* Out, uint64_t Value) {
    PutLe32(Out, static_cast<uint32_t>(Value));
    PutLe32(Out, static_cast<uint32_t>(Value >> 32));
}

} // namespace bus
