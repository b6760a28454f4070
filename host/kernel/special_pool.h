// Special pool, as Driver Verifier keeps it: every block on pages of its own, its last byte at the end of
// its last page (as far as the pool's alignment allows) and an inaccessible guard page after it, so that
// a read or write past the end faults on the spot; the bytes around the block on its pages hold a
// pattern that its free checks; a freed block's pages become inaccessible and stay so for a while, so
// that a use after the free faults too. A fault on those pages is reported as the bug check the verifier
// raises for it before the process stops. Used by the pool (pool.cpp) alone.
#pragma once

#include "platform/nt_types.h"

#include <cstddef>

namespace host {
namespace detail {

// Blocks start at multiples of this, as the kernel's pool blocks do (8 bytes on i386, 16 on x86-64).
constexpr size_t POOL_ALIGNMENT = 2 * sizeof(void*);

struct SpecialBlock {
    UCHAR* Map = nullptr; // the block's pages, then the guard page
    size_t MapBytes = 0;
    UCHAR* User = nullptr; // the caller's bytes
    SIZE_T Size = 0;
};

// Maps a block of Size bytes; false when there is no memory for it.
bool MapSpecialBlock(SIZE_T Size, SpecialBlock* Block);
// The first byte of the pattern around the block that has been overwritten, null when none; *After says
// whether it lies after the block.
const UCHAR* SpecialBlockDamage(const SpecialBlock& Block, bool* After);
// The block is freed: its pages become inaccessible; the oldest freed blocks are unmapped.
void RetireSpecialBlock(const SpecialBlock& Block);

} // namespace detail
} // namespace host
