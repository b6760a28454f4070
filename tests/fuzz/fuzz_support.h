// What every fuzz target shares: a reader that takes the input apart field by field (running out of
// bytes gives zeros, so every input is a valid sequence of requests), a check that stops the run with a
// message the fuzzer and the replay both report, buffers of exactly the requested size, so that a read
// past any of them lands in AddressSanitizer's red zone, and the choice of special pool for the driver's
// own blocks.
#pragma once

#include "host/kernel/kernel_host.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size);

namespace fuzz {

class Input {
  public:
    Input(const uint8_t* Data, size_t Size) : data_(Data), size_(Size) {}

    bool Empty() const { return pos_ >= size_; }
    size_t Left() const { return Empty() ? 0 : size_ - pos_; }

    uint8_t Byte() { return Empty() ? 0 : data_[pos_++]; }
    bool Bit() { return (Byte() & 1) != 0; }
    uint16_t Word16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t Word32() { return Word16() | static_cast<uint32_t>(Word16()) << 16; }
    // A value in [0, Limit]; Limit must be below 2^32 - 1.
    uint32_t Below(uint32_t Limit) { return Word32() % (Limit + 1); }
    // Count bytes of the input, fewer (then zeros) when it runs out.
    std::vector<uint8_t> Bytes(size_t Count) {
        std::vector<uint8_t> out(Count, 0);
        const size_t n = Count < Left() ? Count : Left();
        if (n != 0)
            std::memcpy(out.data(), data_ + pos_, n);
        pos_ += n;
        return out;
    }
    // Everything that is left.
    std::vector<uint8_t> Rest() { return Bytes(Left()); }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A heap block of exactly Size bytes (one byte when Size is 0, never read), every byte Fill.
inline std::unique_ptr<uint8_t[]> ExactBlock(size_t Size, uint8_t Fill) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[Size == 0 ? 1 : Size]);
    std::memset(block.get(), Fill, Size == 0 ? 1 : Size);
    return block;
}

// A heap copy of exactly Size bytes (one byte when Size is 0, never read): Bytes, then zeros.
inline std::unique_ptr<uint8_t[]> ExactBuffer(const std::vector<uint8_t>& Bytes, size_t Size) {
    std::unique_ptr<uint8_t[]> buffer = ExactBlock(Size, 0);
    const size_t copied = Bytes.size() < Size ? Bytes.size() : Size;
    if (copied != 0) // an empty vector's data() may be null, which memcpy must not be given
        std::memcpy(buffer.get(), Bytes.data(), copied);
    return buffer;
}

// With Z40K_SPECIAL_POOL set (scripts/fuzz.sh sets it), every pool block of the target lies against a
// guard page, so that the driver's overruns of its own blocks fault as AddressSanitizer's red zones do
// for the host's buffers.
inline const bool specialPool = [] {
    const char* choice = std::getenv("Z40K_SPECIAL_POOL");
    const bool special = choice != nullptr && *choice != '\0' && *choice != '0';
    host::PoolSetSpecial(special);
    return special;
}();

[[noreturn]] inline void Fail(const char* File, int Line, const char* What) {
    std::fprintf(stderr, "%s:%d: fuzz check failed: %s\n", File, Line, What);
    std::fflush(stderr);
    std::abort();
}

} // namespace fuzz

#define FUZZ_CHECK(Condition)                                                                                \
    do {                                                                                                     \
        if (!(Condition))                                                                                    \
            ::fuzz::Fail(__FILE__, __LINE__, #Condition);                                                    \
    } while (0)
