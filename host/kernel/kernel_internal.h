// Shared between the files of the kernel stand-in: the reset hooks each area provides to ResetKernel,
// the handle table that files and registry keys share, and small string helpers.
#pragma once

#include "platform/nt_types.h"

#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host {
namespace detail {

void ResetClock();
void ResetVerifier();
void ResetProcessorState();
void ResetFiles();
void ResetRegistry();
void ResetHandles();
void ResetDevicesAndIrps();
void ResetSystemRoutines();
void ResetProcessor();

// Lets Interval100ns (negative: relative, positive: absolute clock time) pass on the clock; returns the
// clock time at which the wait began.
int64_t PassTime(int64_t Interval100ns);

// ---- the scheduled clock (schedule.cpp), and what it needs of the clock (clock.cpp) --------------------
struct ScheduledThreadRecord;
// A scheduled run is on and the calling thread takes part in it.
bool ScheduledThread();
bool ScheduleOn();
// The creator of a thread, while it runs in the run: the new thread's record (null outside a run). The
// new thread attaches it first thing, which waits for its turn, and exits last.
ScheduledThreadRecord* ScheduleNewThread();
void ScheduleAttach(ScheduledThreadRecord* Record);
void ScheduleExit();
enum class WaitOutcome { Ready, TimedOut, Unscheduled };
// A clock wait of a thread of the run; Unscheduled when the run ended meanwhile (wait as usual then).
WaitOutcome ScheduledWait(const std::function<bool()>& Ready, int64_t Until100ns);
// The clock was notified: waiting threads of the run may look again. Never called under the clock's lock.
void ScheduleNotify();
// The locks a thread holds, over which it never gives way: the host mutexes it holds now, scheduled run or
// not, and a condition it is looking at in a scheduled wait. HostLocksHeld is their count.
void HoldLock();
void ReleaseLock();
unsigned HostLocksHeld();
int64_t ClockVirtualNow();
void ClockAdvanceTo(int64_t Time100ns);
int64_t ClockEarliestWakeUp(); // CLOCK_FOREVER when no thread outside a run waits with a time-out

// A host bug or a driver fault the real kernel would answer with a bug check: say so and stop.
[[noreturn]] inline void BugCheck(const char* What) {
    std::fprintf(stderr, "kernel stand-in: %s\n", What);
    std::fflush(stderr);
    std::abort();
}

// ---- the verifier (verifier.cpp) ---------------------------------------------------------------------
const char* LevelName(KIRQL Level);
// Reports a bug check with its four parameters; Rule names the rule or check, What says what the driver
// did. Returns when a handler or a capture takes the report (a real machine would have stopped).
void RaiseBugCheck(ULONG Code, const ULONG_PTR (&Parameters)[4], const std::string& Rule,
                   const std::string& What);
// Checks the calling thread's level against the rule of Routine ("KeSetEvent", or with the case of its
// arguments its rule distinguishes: "KeSetEvent(Wait)", "ExAllocatePoolWithTag(PagedPool)").
void VerifyIrql(const char* Routine);

// ---- handles ----------------------------------------------------------------------------------------
enum class HandleKind { File, Key };

struct HandleEntry {
    HandleKind Kind;
    ACCESS_MASK Access;
    int Fd;              // File: the host descriptor
    std::string KeyPath; // Key: the full path of the key; File: the file's kernel name
};

// Inserts an entry and returns its handle (never NULL, never reused until ResetKernel).
HANDLE HandleInsert(const HandleEntry& Entry);
// Copies the entry of Handle; false when Handle is not open.
bool HandleLookup(HANDLE Handle, HandleEntry* Entry);
// Removes the entry; false when Handle is not open.
bool HandleRemove(HANDLE Handle, HandleEntry* Entry);
size_t HandleCount(HandleKind Kind);

// ---- strings ----------------------------------------------------------------------------------------
// UTF-16 of a UNICODE_STRING as UTF-8; false when the string is malformed (odd length, null buffer with a
// non-zero length, a lone surrogate).
bool Utf8FromUnicode(const UNICODE_STRING* Source, std::string* Out);
bool Utf8FromUtf16(const char16_t* Text, size_t Count, std::string* Out);
std::u16string Utf16FromUtf8(const std::string& Text);
// ASCII case folding, as the registry and the DOS device names compare.
std::string FoldCase(const std::string& Text);
// Splits a registry or file path at its backslashes; false when a component is empty (so also for an
// empty path or one that ends in a backslash).
bool SplitPath(const std::string& Path, std::vector<std::string>* Parts);

} // namespace detail
} // namespace host
