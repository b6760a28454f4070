#include "host/kernel/special_pool.h"

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

namespace host {
namespace detail {
namespace {

constexpr UCHAR SPECIAL_PATTERN = 0xFD; // the bytes of a block's pages that are not the block's
constexpr UCHAR FILL_BYTE = 0xCD;       // a fresh block, as the ordinary pool fills one
// Freed blocks kept inaccessible before their pages go back: a few frames' worth of the largest. A block
// of a size freed often (the scratch frame of every frame) takes the pages of an older freed block of its
// size once a newer one stands guard for it, so that it costs no fresh pages.
constexpr size_t RETIRED_BLOCKS = 16;
constexpr size_t GUARDING_NEWER_BLOCKS = 1;
// Bug checks of a fault on special pool's pages: past a block's end, and in a freed block.
constexpr unsigned FAULT_BEYOND_END = 0xD6;
constexpr unsigned FAULT_IN_FREED = 0xD5;

size_t PageSize() {
    static const size_t size = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

// The address ranges a fault handler looks up without taking a lock: the guard page of every live block
// and the pages of every retired one.
struct FaultRange {
    std::atomic<uintptr_t> Begin{0};
    std::atomic<uintptr_t> End{0};
    std::atomic<unsigned> Code{0};
};
constexpr size_t FAULT_RANGES = 8192;
FaultRange faultRanges[FAULT_RANGES];
// Ranges at and past this index have never held one; a slot below it may be free again. Lookups stop
// here, so that they cost the blocks live and retired, not the table's size.
std::atomic<size_t> rangesInUse{0};

std::mutex& RangesMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

void AddFaultRange(const UCHAR* Begin, size_t Bytes, unsigned Code) {
    std::lock_guard<std::mutex> lock(RangesMutex());
    const size_t used = rangesInUse.load(std::memory_order_relaxed);
    for (size_t i = 0; i <= used && i < FAULT_RANGES; ++i) {
        FaultRange& range = faultRanges[i];
        if (range.Code.load(std::memory_order_relaxed) != 0)
            continue;
        range.Begin.store(reinterpret_cast<uintptr_t>(Begin), std::memory_order_relaxed);
        range.End.store(reinterpret_cast<uintptr_t>(Begin) + Bytes, std::memory_order_relaxed);
        range.Code.store(Code, std::memory_order_release);
        if (i == used)
            rangesInUse.store(used + 1, std::memory_order_release);
        return;
    }
    // More live special blocks than ranges: the fault still stops the process, unnamed.
}

void RemoveFaultRanges(const UCHAR* Begin, size_t Bytes) {
    const uintptr_t begin = reinterpret_cast<uintptr_t>(Begin);
    std::lock_guard<std::mutex> lock(RangesMutex());
    const size_t used = rangesInUse.load(std::memory_order_relaxed);
    for (size_t i = 0; i < used; ++i) {
        FaultRange& range = faultRanges[i];
        const uintptr_t start = range.Begin.load(std::memory_order_relaxed);
        if (range.Code.load(std::memory_order_relaxed) != 0 && start >= begin && start < begin + Bytes)
            range.Code.store(0, std::memory_order_release);
    }
}

struct sigaction previousAction;

bool WriteFault(void* Context) {
#if defined(__x86_64__)
    return (static_cast<ucontext_t*>(Context)->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#elif defined(__i386__)
    return (static_cast<ucontext_t*>(Context)->uc_mcontext.gregs[REG_ERR] & 2) != 0;
#else
    (void)Context;
    return false;
#endif
}

uintptr_t FaultingInstruction(void* Context) {
#if defined(__x86_64__)
    return static_cast<uintptr_t>(static_cast<ucontext_t*>(Context)->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return static_cast<uintptr_t>(static_cast<ucontext_t*>(Context)->uc_mcontext.gregs[REG_EIP]);
#else
    (void)Context;
    return 0;
#endif
}

// Names the bug check of a fault on special pool's pages, then gives the fault back to whoever handled
// it before (the sanitizer's report, or the default stop): the access is retried and faults again.
void OnFault(int Signal, siginfo_t* Info, void* Context) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(Info->si_addr);
    for (const FaultRange& range : faultRanges) {
        const unsigned code = range.Code.load(std::memory_order_acquire);
        if (code == 0 || address < range.Begin.load(std::memory_order_relaxed) ||
            address >= range.End.load(std::memory_order_relaxed))
            continue;
        char line[256];
        const int n = std::snprintf(
            line, sizeof line,
            "*** STOP: 0x%08X %s (0x%llx, 0x%x, 0x%llx, 0x0)\n    special pool: %s at 0x%llx\n", code,
            code == FAULT_BEYOND_END ? "DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION"
                                     : "DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL",
            static_cast<unsigned long long>(address), WriteFault(Context) ? 1 : 0,
            static_cast<unsigned long long>(FaultingInstruction(Context)),
            code == FAULT_BEYOND_END ? "an access past the end of a block" : "an access to a freed block",
            static_cast<unsigned long long>(address));
        if (n > 0)
            (void)!::write(STDERR_FILENO, line, static_cast<size_t>(n) < sizeof line ? n : sizeof line - 1);
        break;
    }
    (void)Signal;
    ::sigaction(SIGSEGV, &previousAction, nullptr);
}

void InstallFaultReport() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = OnFault;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGSEGV, &action, &previousAction);
    });
}

std::mutex& RetiredMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::deque<SpecialBlock>& Retired() {
    static std::deque<SpecialBlock>* retired = new std::deque<SpecialBlock>;
    return *retired;
}

// The pages of an older freed block of MapBytes, made accessible again; null when there is none.
UCHAR* RecycleRetired(size_t MapBytes, size_t DataBytes) {
    std::lock_guard<std::mutex> lock(RetiredMutex());
    std::deque<SpecialBlock>& retired = Retired();
    size_t newer = 0;
    for (auto it = retired.rbegin(); it != retired.rend(); ++it) {
        if (it->MapBytes != MapBytes || newer++ < GUARDING_NEWER_BLOCKS)
            continue;
        UCHAR* map = it->Map;
        retired.erase(std::next(it).base());
        RemoveFaultRanges(map, MapBytes);
        if (::mprotect(map, DataBytes, PROT_READ | PROT_WRITE) == 0)
            return map;
        ::munmap(map, MapBytes);
        return nullptr;
    }
    return nullptr;
}

UCHAR* MapFresh(size_t MapBytes, size_t DataBytes) {
    void* map = ::mmap(nullptr, MapBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        return nullptr;
    UCHAR* bytes = static_cast<UCHAR*>(map);
    if (::mprotect(bytes + DataBytes, MapBytes - DataBytes, PROT_NONE) != 0) {
        ::munmap(map, MapBytes);
        return nullptr;
    }
    return bytes;
}

} // namespace

bool MapSpecialBlock(SIZE_T Size, SpecialBlock* Block) {
    InstallFaultReport();
    const size_t page = PageSize();
    const size_t rounded = (Size + POOL_ALIGNMENT - 1) / POOL_ALIGNMENT * POOL_ALIGNMENT;
    const size_t dataBytes = (rounded + page - 1) / page * page + (rounded == 0 ? page : 0);
    UCHAR* bytes = RecycleRetired(dataBytes + page, dataBytes);
    if (bytes == nullptr)
        bytes = MapFresh(dataBytes + page, dataBytes);
    if (bytes == nullptr)
        return false;
    Block->Map = bytes;
    Block->MapBytes = dataBytes + page;
    Block->User = bytes + dataBytes - rounded;
    Block->Size = Size;
    // The pattern fills the block's last page around it; pages before that hold nothing else.
    UCHAR* lastPage = bytes + dataBytes - page;
    const UCHAR* patternFrom = Block->User < lastPage ? Block->User : lastPage;
    std::memset(const_cast<UCHAR*>(patternFrom), SPECIAL_PATTERN,
                static_cast<size_t>(Block->User - patternFrom));
    std::memset(Block->User, FILL_BYTE, Size);
    std::memset(Block->User + Size, SPECIAL_PATTERN, rounded - Size);
    AddFaultRange(bytes + dataBytes, page, FAULT_BEYOND_END);
    return true;
}

const UCHAR* SpecialBlockDamage(const SpecialBlock& Block, bool* After) {
    const size_t page = PageSize();
    const UCHAR* lastPage = Block.Map + Block.MapBytes - 2 * page;
    const UCHAR* from = Block.User < lastPage ? Block.User : lastPage;
    for (const UCHAR* p = from; p < Block.User; ++p) {
        if (*p != SPECIAL_PATTERN) {
            *After = false;
            return p;
        }
    }
    const UCHAR* end = Block.Map + Block.MapBytes - page;
    for (const UCHAR* p = Block.User + Block.Size; p < end; ++p) {
        if (*p != SPECIAL_PATTERN) {
            *After = true;
            return p;
        }
    }
    return nullptr;
}

void RetireSpecialBlock(const SpecialBlock& Block) {
    RemoveFaultRanges(Block.Map, Block.MapBytes);
    ::mprotect(Block.Map, Block.MapBytes, PROT_NONE);
    AddFaultRange(Block.Map, Block.MapBytes, FAULT_IN_FREED);
    SpecialBlock oldest;
    {
        std::lock_guard<std::mutex> lock(RetiredMutex());
        Retired().push_back(Block);
        if (Retired().size() <= RETIRED_BLOCKS)
            return;
        oldest = Retired().front();
        Retired().pop_front();
    }
    RemoveFaultRanges(oldest.Map, oldest.MapBytes);
    ::munmap(oldest.Map, oldest.MapBytes);
}

} // namespace detail
} // namespace host
