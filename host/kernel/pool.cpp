// Pool allocation. Every block carries a header (type, tag, size, serial) and guard bytes before and after
// the caller's bytes, so an overrun is found when the block is freed or when a test asks; blocks not yet
// freed form the leak list. Fresh blocks are filled with 0xCD and freed ones with 0xDD: the real pool hands
// out whatever was there before, and code that counts on zeroed pool must fail here too. A block the
// lookaside keeps comes back as its free left it (0xDD), as a lookaside list hands blocks back untouched.
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "host/kernel/kernel_internal.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>

namespace host {
namespace {

constexpr size_t GUARD_SIZE = 16;
constexpr UCHAR GUARD_BYTE = 0xFD;
constexpr UCHAR FILL_BYTE = 0xCD;
constexpr UCHAR FREED_BYTE = 0xDD;
constexpr size_t RECENT_ALLOCATIONS = 64;

// The header sits before the front guard; its size keeps the caller's bytes 16-aligned.
struct alignas(16) BlockHeader {
    POOL_TYPE Type;
    ULONG Tag;
    SIZE_T Size;
    uint64_t Serial;
};

struct PoolState {
    std::mutex Mutex;
    std::map<const void*, BlockHeader*> Live; // caller's pointer -> header
    std::map<SIZE_T, BlockHeader*> Lookaside; // one freed block per size
    bool LookasideEnabled = false;
    uint64_t Serial = 0;
    uint64_t Allocations = 0;
    // The last RECENT_ALLOCATIONS allocations, allocation n at n % RECENT_ALLOCATIONS: a ring that
    // allocates nothing itself, so that a fuzz target whose input allocates and frees in balance does not
    // see the host's own bookkeeping as a leak.
    std::array<PoolBlockInfo, RECENT_ALLOCATIONS> Recent{};
    std::vector<std::string> Errors;
};

PoolState& Pool() {
    static PoolState* state = new PoolState; // never destroyed: blocks may be freed during exit
    return *state;
}

UCHAR* UserBytes(BlockHeader* h) {
    return reinterpret_cast<UCHAR*>(h + 1) + GUARD_SIZE;
}

void FillGuards(BlockHeader* h) {
    std::memset(reinterpret_cast<UCHAR*>(h + 1), GUARD_BYTE, GUARD_SIZE);
    std::memset(UserBytes(h) + h->Size, GUARD_BYTE, GUARD_SIZE);
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

// Describes the damaged guards of a block, empty when both are intact.
std::string DamagedGuards(BlockHeader* h) {
    const UCHAR* front = reinterpret_cast<UCHAR*>(h + 1);
    const UCHAR* back = UserBytes(h) + h->Size;
    std::string where;
    for (size_t i = 0; i < GUARD_SIZE; ++i) {
        if (front[i] != GUARD_BYTE) {
            where = "before";
            break;
        }
    }
    for (size_t i = 0; i < GUARD_SIZE; ++i) {
        if (back[i] != GUARD_BYTE) {
            where += where.empty() ? "after" : " and after";
            break;
        }
    }
    if (where.empty())
        return where;
    char line[200];
    std::snprintf(line, sizeof line, "pool block #%llu (tag '%s', %zu bytes) overwritten %s its bytes",
                  static_cast<unsigned long long>(h->Serial), TagText(h->Tag).c_str(),
                  static_cast<size_t>(h->Size), where.c_str());
    return line;
}

} // namespace

std::vector<PoolBlockInfo> PoolOutstanding() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.Mutex);
    std::vector<PoolBlockInfo> blocks;
    for (const auto& entry : pool.Live)
        blocks.push_back({entry.second->Type, entry.second->Tag, entry.second->Size, entry.second->Serial});
    return blocks;
}

uint64_t PoolAllocationCount() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.Mutex);
    return pool.Allocations;
}

std::vector<PoolBlockInfo> PoolRecentAllocations() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.Mutex);
    std::vector<PoolBlockInfo> blocks;
    const uint64_t first = pool.Allocations - std::min<uint64_t>(pool.Allocations, RECENT_ALLOCATIONS);
    for (uint64_t n = first; n < pool.Allocations; ++n)
        blocks.push_back(pool.Recent[n % RECENT_ALLOCATIONS]);
    return blocks;
}

std::vector<std::string> PoolCheckGuards() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.Mutex);
    std::vector<std::string> damaged;
    for (const auto& entry : pool.Live) {
        std::string line = DamagedGuards(entry.second);
        if (!line.empty())
            damaged.push_back(line);
    }
    return damaged;
}

std::vector<std::string> PoolTakeErrors() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.Mutex);
    std::vector<std::string> errors;
    errors.swap(pool.Errors);
    return errors;
}

void PoolSetLookaside(bool Enabled) {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.Mutex);
    pool.LookasideEnabled = Enabled;
    if (!Enabled) {
        for (auto& entry : pool.Lookaside)
            std::free(entry.second);
        pool.Lookaside.clear();
    }
}

} // namespace host

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    if (PoolType == PagedPool)
        host::RequirePassiveLevel("ExAllocatePoolWithTag(PagedPool)");
    NTSTATUS ignored;
    if (host::ShouldFail("ExAllocatePoolWithTag", &ignored))
        return nullptr;
    host::PoolState& pool = host::Pool();
    std::lock_guard<std::mutex> lock(pool.Mutex);
    host::BlockHeader* h = nullptr;
    bool reused = false;
    auto cached = pool.Lookaside.find(NumberOfBytes);
    if (pool.LookasideEnabled && cached != pool.Lookaside.end()) {
        h = cached->second;
        pool.Lookaside.erase(cached);
        reused = true;
    } else {
        if (NumberOfBytes > SIZE_MAX / 2)
            return nullptr;
        h = static_cast<host::BlockHeader*>(
            std::malloc(sizeof(host::BlockHeader) + 2 * host::GUARD_SIZE + NumberOfBytes));
        if (h == nullptr)
            return nullptr;
    }
    h->Type = PoolType;
    h->Tag = Tag;
    h->Size = NumberOfBytes;
    h->Serial = ++pool.Serial;
    host::FillGuards(h);
    if (!reused)
        std::memset(host::UserBytes(h), host::FILL_BYTE, NumberOfBytes);
    pool.Live[host::UserBytes(h)] = h;
    pool.Recent[pool.Allocations % host::RECENT_ALLOCATIONS] = {PoolType, Tag, NumberOfBytes, h->Serial};
    ++pool.Allocations;
    return host::UserBytes(h);
}

VOID NTAPI ExFreePool(PVOID P) {
    host::PoolState& pool = host::Pool();
    std::lock_guard<std::mutex> lock(pool.Mutex);
    auto it = pool.Live.find(P);
    if (it == pool.Live.end()) {
        // The real pool bug-checks here; the host records it so the test that did it fails.
        char line[120];
        std::snprintf(line, sizeof line, "ExFreePool of %p, which is not a live pool block (freed twice?)",
                      P);
        pool.Errors.push_back(line);
        std::fprintf(stderr, "kernel stand-in: %s\n", line);
        return;
    }
    host::BlockHeader* h = it->second;
    pool.Live.erase(it);
    std::string damaged = host::DamagedGuards(h);
    if (!damaged.empty()) {
        pool.Errors.push_back(damaged + " (found at ExFreePool)");
        std::fprintf(stderr, "kernel stand-in: %s (found at ExFreePool)\n", damaged.c_str());
    }
    std::memset(host::UserBytes(h), host::FREED_BYTE, h->Size);
    if (pool.LookasideEnabled && pool.Lookaside.count(h->Size) == 0) {
        pool.Lookaside[h->Size] = h;
        return;
    }
    std::free(h);
}
