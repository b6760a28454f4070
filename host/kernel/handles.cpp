// One handle table for every object the driver opens by handle: files and registry keys. Handles are
// multiples of four, as the kernel's are, and are not reused before ResetKernel, so a stale handle is
// found rather than landing on a newer object.
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "host/kernel/kernel_internal.h"

#include <map>
#include <mutex>
#include <unistd.h>

namespace host {
namespace detail {
namespace {

struct HandleTable {
    std::mutex Mutex;
    std::map<uintptr_t, HandleEntry> Entries;
    uintptr_t Next = 0x80;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;
    return *table;
}

} // namespace

HANDLE HandleInsert(const HandleEntry& Entry) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.Mutex);
    uintptr_t value = table.Next;
    table.Next += 4;
    table.Entries[value] = Entry;
    return reinterpret_cast<HANDLE>(value);
}

bool HandleLookup(HANDLE Handle, HandleEntry* Entry) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.Mutex);
    auto it = table.Entries.find(reinterpret_cast<uintptr_t>(Handle));
    if (it == table.Entries.end())
        return false;
    *Entry = it->second;
    return true;
}

bool HandleRemove(HANDLE Handle, HandleEntry* Entry) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.Mutex);
    auto it = table.Entries.find(reinterpret_cast<uintptr_t>(Handle));
    if (it == table.Entries.end())
        return false;
    *Entry = it->second;
    table.Entries.erase(it);
    return true;
}

size_t HandleCount(HandleKind Kind) {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.Mutex);
    size_t count = 0;
    for (const auto& entry : table.Entries)
        count += entry.second.Kind == Kind ? 1 : 0;
    return count;
}

void ResetHandles() {
    HandleTable& table = Table();
    std::lock_guard<std::mutex> lock(table.Mutex);
    for (const auto& entry : table.Entries) {
        if (entry.second.Kind == HandleKind::File)
            ::close(entry.second.Fd);
    }
    table.Entries.clear();
    table.Next = 0x80;
}

} // namespace detail
} // namespace host

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    host::detail::VerifyIrql("ZwClose");
    NTSTATUS status;
    // A close that fails leaves the handle open, so a test can see the object it kept.
    if (host::ShouldFail("ZwClose", &status))
        return status;
    host::detail::HandleEntry entry;
    if (!host::detail::HandleRemove(Handle, &entry))
        return STATUS_INVALID_HANDLE;
    if (entry.Kind == host::detail::HandleKind::File)
        ::close(entry.Fd);
    return STATUS_SUCCESS;
}
