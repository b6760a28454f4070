// Pool allocation. Every block carries a header (type, tag, size, serial) and guard bytes before and after
// the caller's bytes, so an overrun is found when the block is freed or when a test asks; blocks not yet
// freed form the leak list. Fresh blocks are filled with 0xCD and freed ones with 0xDD: the real pool hands
// out whatever was there before, and code that counts on zeroed pool must fail here too. A block the
// lookaside keeps comes back as its free left it (0xDD), as a lookaside list hands blocks back untouched.
// In special-pool mode blocks come from special_pool.cpp instead. The verifier's pool checks are made
// here: the caller's level, zero-byte allocations, frees of what is not a block or of a damaged block, and
// at a driver's unload the blocks it still holds.
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "host/kernel/kernel_internal.h"
#include "host/kernel/special_pool.h"

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
// Parameter 1 of the verifier's pool checks (bug check 0xC4).
constexpr ULONG_PTR ZERO_BYTE_ALLOCATION = 0x00;
constexpr ULONG_PTR FREE_OF_A_BAD_ADDRESS = 0x10;
constexpr ULONG_PTR FREE_PAGED_ABOVE_APC = 0x11;
constexpr ULONG_PTR FREE_NONPAGED_ABOVE_DISPATCH = 0x12;
constexpr ULONG_PTR FREE_AFTER_WRITING_PAST_THE_END = 0x51;
constexpr ULONG_PTR UNLOAD_WITHOUT_FREEING_POOL = 0x60;
// Parameter 4 of special pool's corruption check (bug check 0xC1): before and after the block.
constexpr ULONG_PTR SPECIAL_DAMAGE_NEARBY = 0x23;
constexpr ULONG_PTR SPECIAL_DAMAGE_AFTER = 0x24;

// The header sits before the front guard; its size keeps the caller's bytes 16-aligned. A special-pool
// block has one of its own, outside its pages.
struct alignas(16) BlockHeader {
    POOL_TYPE Type;
    ULONG Tag;
    SIZE_T Size;
    uint64_t Serial;
};

struct LiveBlock {
    BlockHeader* Header;
    detail::SpecialBlock Special; // Map is null for an ordinary block
};

struct PoolState {
    std::mutex Mutex;
    std::map<const void*, LiveBlock> Live;    // caller's pointer -> block
    std::map<SIZE_T, BlockHeader*> Lookaside; // one freed block per size
    bool LookasideEnabled = false;
    bool Special = false;
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

bool PagedType(POOL_TYPE Type) {
    return (Type & 1) != 0;
}

std::string TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

// The first damaged byte of a block's guards or special-pool pattern, null when all are intact; *After
// says whether it lies after the caller's bytes.
const UCHAR* FirstDamage(const LiveBlock& Block, bool* After) {
    if (Block.Special.Map != nullptr)
        return detail::SpecialBlockDamage(Block.Special, After);
    BlockHeader* h = Block.Header;
    const UCHAR* front = reinterpret_cast<UCHAR*>(h + 1);
    const UCHAR* back = UserBytes(h) + h->Size;
    for (size_t i = 0; i < GUARD_SIZE; ++i) {
        if (front[i] != GUARD_BYTE) {
            *After = false;
            return front + i;
        }
    }
    for (size_t i = 0; i < GUARD_SIZE; ++i) {
        if (back[i] != GUARD_BYTE) {
            *After = true;
            return back + i;
        }
    }
    return nullptr;
}

std::string DescribeDamage(const LiveBlock& Block, bool After) {
    const BlockHeader* h = Block.Header;
    char line[200];
    std::snprintf(line, sizeof line, "pool block #%llu (tag '%s', %zu bytes) overwritten %s its bytes",
                  static_cast<unsigned long long>(h->Serial), TagText(h->Tag).c_str(),
                  static_cast<size_t>(h->Size), After ? "after" : "before");
    return line;
}

// The block's bytes, from the ordinary pool (the lookaside's when it keeps one of the size) or from
// special pool; null when there is no memory. Under the pool's lock.
UCHAR* TakeBlock(PoolState& pool, SIZE_T Bytes, LiveBlock* Block, bool* Reused) {
    *Reused = false;
    if (pool.Special) {
        if (!detail::MapSpecialBlock(Bytes, &Block->Special))
            return nullptr;
        Block->Header = new BlockHeader;
        return Block->Special.User;
    }
    Block->Special = detail::SpecialBlock();
    auto cached = pool.Lookaside.find(Bytes);
    if (pool.LookasideEnabled && cached != pool.Lookaside.end()) {
        Block->Header = cached->second;
        pool.Lookaside.erase(cached);
        *Reused = true;
    } else {
        if (Bytes > SIZE_MAX / 2)
            return nullptr;
        Block->Header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + 2 * GUARD_SIZE + Bytes));
        if (Block->Header == nullptr)
            return nullptr;
    }
    Block->Header->Size = Bytes;
    FillGuards(Block->Header);
    if (!*Reused)
        std::memset(UserBytes(Block->Header), FILL_BYTE, Bytes);
    return UserBytes(Block->Header);
}

// A freed block's memory: special pool's becomes inaccessible, the lookaside may keep an ordinary one.
void ReleaseBlock(PoolState& pool, const LiveBlock& Block) {
    if (Block.Special.Map != nullptr) {
        delete Block.Header;
        detail::RetireSpecialBlock(Block.Special);
        return;
    }
    BlockHeader* h = Block.Header;
    std::memset(UserBytes(h), FREED_BYTE, h->Size);
    if (pool.LookasideEnabled && pool.Lookaside.count(h->Size) == 0) {
        pool.Lookaside[h->Size] = h;
        return;
    }
    std::free(h);
}

// The checks of a free, once the block has left the live ones: the level, and the bytes around the
// block. Reports with the pool's lock free.
void VerifyFree(PoolState& pool, std::unique_lock<std::mutex>& lock, PVOID P, const LiveBlock& Block) {
    const KIRQL level = ThreadLevel();
    const POOL_TYPE type = Block.Header->Type;
    bool after = false;
    const UCHAR* damage = FirstDamage(Block, &after);
    std::string damaged;
    if (damage != nullptr) {
        damaged = DescribeDamage(Block, after);
        pool.Errors.push_back(damaged + " (found at ExFreePool)");
    }
    lock.unlock();
    if (level > (PagedType(type) ? APC_LEVEL : DISPATCH_LEVEL))
        detail::RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                              {PagedType(type) ? FREE_PAGED_ABOVE_APC : FREE_NONPAGED_ABOVE_DISPATCH, level,
                               ULONG_PTR(type), reinterpret_cast<ULONG_PTR>(P)},
                              "pool freed at a wrong IRQL",
                              std::string("ExFreePool called at ") + detail::LevelName(level));
    if (damage != nullptr && Block.Special.Map != nullptr)
        detail::RaiseBugCheck(SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION,
                              {reinterpret_cast<ULONG_PTR>(P), reinterpret_cast<ULONG_PTR>(damage), 0,
                               after ? SPECIAL_DAMAGE_AFTER : SPECIAL_DAMAGE_NEARBY},
                              "special pool", damaged);
    else if (damage != nullptr)
        detail::RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                              {FREE_AFTER_WRITING_PAST_THE_END, reinterpret_cast<ULONG_PTR>(P),
                               reinterpret_cast<ULONG_PTR>(damage), Block.Header->Size},
                              "pool tracking", damaged);
    lock.lock();
}

} // namespace

std::vector<PoolBlockInfo> PoolOutstanding() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.Mutex);
    std::vector<PoolBlockInfo> blocks;
    for (const auto& entry : pool.Live) {
        const BlockHeader* h = entry.second.Header;
        blocks.push_back({h->Type, h->Tag, h->Size, h->Serial});
    }
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
        bool after = false;
        if (FirstDamage(entry.second, &after) != nullptr)
            damaged.push_back(DescribeDamage(entry.second, after));
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

void PoolSetSpecial(bool Enabled) {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.Mutex);
    pool.Special = Enabled;
}

bool PoolSpecial() {
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.Mutex);
    return pool.Special;
}

void PoolVerifyUnload(const std::string& Driver, uint64_t AllocationsAtLoad) {
    std::map<std::pair<ULONG, POOL_TYPE>, std::pair<uint64_t, uint64_t>> byTag; // blocks, bytes
    ULONG_PTR paged = 0, nonPaged = 0, blocks = 0;
    for (const PoolBlockInfo& block : PoolOutstanding()) {
        if (block.Serial <= AllocationsAtLoad)
            continue;
        auto& entry = byTag[{block.Tag, block.Type}];
        ++entry.first;
        entry.second += block.Size;
        (PagedType(block.Type) ? paged : nonPaged) += block.Size;
        ++blocks;
    }
    if (blocks == 0)
        return;
    std::string held = Driver + " unloads holding " + std::to_string(blocks) + " pool block(s):";
    for (const auto& [key, count] : byTag)
        held += " tag '" + TagText(key.first) + "' " +
                (PagedType(key.second) ? "PagedPool" : "NonPagedPool") + " " + std::to_string(count.first) +
                " block(s), " + std::to_string(count.second) + " bytes;";
    detail::RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                          {UNLOAD_WITHOUT_FREEING_POOL, paged, nonPaged, blocks}, "pool tracking", held);
}

} // namespace host

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    host::detail::VerifyIrql(host::PagedType(PoolType) ? "ExAllocatePoolWithTag(PagedPool)"
                                                       : "ExAllocatePoolWithTag");
    if (NumberOfBytes == 0)
        host::detail::RaiseBugCheck(host::DRIVER_VERIFIER_DETECTED_VIOLATION,
                                    {host::ZERO_BYTE_ALLOCATION, host::ThreadLevel(), ULONG_PTR(PoolType), 0},
                                    "pool", "ExAllocatePoolWithTag of zero bytes");
    NTSTATUS ignored;
    if (host::ShouldFail("ExAllocatePoolWithTag", &ignored))
        return nullptr;
    host::PoolState& pool = host::Pool();
    std::lock_guard<std::mutex> lock(pool.Mutex);
    host::LiveBlock block;
    bool reused = false;
    UCHAR* bytes = host::TakeBlock(pool, NumberOfBytes, &block, &reused);
    if (bytes == nullptr)
        return nullptr;
    host::BlockHeader* h = block.Header;
    h->Type = PoolType;
    h->Tag = Tag;
    h->Size = NumberOfBytes;
    h->Serial = ++pool.Serial;
    pool.Live[bytes] = block;
    pool.Recent[pool.Allocations % host::RECENT_ALLOCATIONS] = {PoolType, Tag, NumberOfBytes, h->Serial};
    ++pool.Allocations;
    return bytes;
}

VOID NTAPI ExFreePool(PVOID P) {
    host::PoolState& pool = host::Pool();
    std::unique_lock<std::mutex> lock(pool.Mutex);
    auto it = pool.Live.find(P);
    if (it == pool.Live.end()) {
        char line[120];
        std::snprintf(line, sizeof line, "ExFreePool of %p, which is not a live pool block (freed twice?)",
                      P);
        pool.Errors.push_back(line);
        lock.unlock();
        host::detail::RaiseBugCheck(host::DRIVER_VERIFIER_DETECTED_VIOLATION,
                                    {host::FREE_OF_A_BAD_ADDRESS, reinterpret_cast<ULONG_PTR>(P), 0, 0},
                                    "pool", line);
        return;
    }
    const host::LiveBlock block = it->second;
    pool.Live.erase(it);
    host::VerifyFree(pool, lock, P, block);
    host::ReleaseBlock(pool, block);
}
