// Control of the kernel stand-in for tests and for the z40k tool. The driver never includes this.
#pragma once

#include "platform/nt_types.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace host {

// ---- reset --------------------------------------------------------------------------------------------
// Clears faults, the clock (back to Real at zero, no waits), the registry tree, its PDOs and observer,
// handles (open files are closed), the drive C: folder (back to ./drive-c), device objects and requests,
// and the processor state counters; leaves pool blocks alone (see PoolOutstanding).
void ResetKernel();

// ---- pool ---------------------------------------------------------------------------------------------
// Every block keeps its pool type, tag and size and is surrounded by guard bytes. Failing allocations is
// done with InjectFault("ExAllocatePoolWithTag", ...).
struct PoolBlockInfo {
    POOL_TYPE Type;
    ULONG Tag;
    SIZE_T Size;
    uint64_t Serial; // allocation number since the process started
};
std::vector<PoolBlockInfo> PoolOutstanding(); // blocks allocated and not yet freed
uint64_t PoolAllocationCount();               // successful allocations so far
// The last 64 successful allocations, freed or not, oldest first: what the driver asked the pool for.
std::vector<PoolBlockInfo> PoolRecentAllocations();
std::vector<std::string> PoolCheckGuards(); // one line per damaged guard of a live block
// Freed blocks are checked too: an overrun found at ExFreePool is recorded here (and is a bug check).
std::vector<std::string> PoolTakeErrors();
// Keep one freed block per size for the next allocation of that size, as a lookaside list would.
void PoolSetLookaside(bool Enabled);
// Special pool for the allocations from now on (see special_pool.h): an access past a block's end or to
// a freed block faults at once, damage next to a block is found at its free (bug check 0xC1). Blocks keep
// the kind they were allocated as. The lookaside takes no part in it.
void PoolSetSpecial(bool Enabled);
bool PoolSpecial();
// Pool tracking at a driver's unload: the blocks allocated since (the allocation count when it loaded)
// and not yet freed are a bug check (0xC4, 0x60: paged bytes, nonpaged bytes, blocks) that lists them by
// tag and pool type.
void PoolVerifyUnload(const std::string& Driver, uint64_t AllocationsAtLoad);

// ---- clock and waits ----------------------------------------------------------------------------------
enum class ClockMode { Real, Virtual };
// Changing the mode restarts the clock at zero (ResetKernel chooses Real); setting the current mode again
// changes nothing.
void ClockSetMode(ClockMode Mode);
ClockMode ClockGetMode();
int64_t ClockNow100ns(); // since ResetKernel or process start; virtual time advances only by waits
int64_t ClockNowMicroseconds();
void ClockAdvance(int64_t Units100ns); // virtual clock only: lets time pass without a wait
struct WaitRecord {
    int64_t Start100ns;    // clock time when the wait began
    int64_t Interval100ns; // the interval as passed (negative: relative)
    KPROCESSOR_MODE Mode;
    BOOLEAN Alertable;
};
const std::vector<WaitRecord>& ClockWaits();
void ClockClearWaits();

// ---- host threads on the clock --------------------------------------------------------------------------
// The virtual clock counts the thread that called ResetKernel and every thread started as a ClockThread,
// and moves time on only when all of them wait on it (KeDelayExecutionThread, timed event waits,
// ClockWait). A thread the clock does not count may wait too, but time does not wait for its work.
constexpr int64_t CLOCK_FOREVER = std::numeric_limits<int64_t>::max();
// Waits until Ready() holds (checked under the clock's lock: it must not call the clock) or the clock
// reaches Until100ns (absolute clock time). Returns whether Ready() held. Whoever changes what a Ready
// looks at calls ClockNotify afterwards.
bool ClockWait(const std::function<bool()>& Ready, int64_t Until100ns = CLOCK_FOREVER);
void ClockNotify();
// For threads made outside ClockThread: the creator announces the thread before it starts it, the
// thread enters when it runs and leaves before it ends.
void ClockExpectThread();
void ClockEnterThread();
void ClockLeaveThread();
unsigned ClockCountedThreads();

// A host thread the clock counts, running at a chosen level. Join waits on the clock for its end, so
// that time may pass for the thread while it finishes; the destructor joins.
class ClockThread {
  public:
    ClockThread();
    ~ClockThread();
    ClockThread(const ClockThread&) = delete;
    ClockThread& operator=(const ClockThread&) = delete;
    void Start(KIRQL Level, std::function<void()> Body);
    void Join();
    bool Running() const;

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

// ---- the scheduled clock ------------------------------------------------------------------------------
// On the virtual clock, a scheduled run lets the threads it knows (the thread that starts it and every
// ClockThread started after) run one at a time. A thread gives way only at a scheduling point: a host
// mutex taken, a clock wait or notification, a look at the clock, an SRB delivered or completed, a
// shared access of the driver's. Who runs next follows PCT (Burckhardt et al., ASPLOS 2010): every thread
// gets a random priority, the highest-priority thread that can run runs, and at Depth - 1 steps chosen
// at random among the first Steps the running thread drops below every other. Everything is drawn from
// the seed, so a run's order of events, and so what it observes, is a function of the seed alone.
// Waits that nothing can end move the virtual time on to the earliest wake-up, as the virtual clock does.
struct ScheduleOptions {
    uint64_t Seed = 1;
    unsigned Depth = 2;    // the bug depth aimed at: Depth - 1 priority change points
    uint64_t Steps = 1000; // the steps the change points are drawn among
};
struct ScheduleSummary {
    uint64_t Steps = 0;    // scheduling points passed where the thread could have given way
    uint64_t Switches = 0; // times another thread was given the processor
    uint64_t Threads = 0;  // threads the run knew
    uint64_t Trace = 0;    // a hash of which thread ran after each step: equal runs, equal hashes
};
// Starts a scheduled run on the virtual clock; the caller must be the only thread the clock counts.
void ScheduleStart(const ScheduleOptions& Options);
// Ends it: the threads still alive run freely again on the virtual clock.
ScheduleSummary ScheduleStop();
bool ScheduleActive();
ScheduleSummary ScheduleProgress();
// A point where the running thread may give way; nothing when no scheduled run is on. A thread holding a
// host mutex never gives way: what the mutex guards is never seen half done.
void SchedulePoint();

// The host's mutexes: a scheduling point at every lock, and counted among the locks the owning thread
// holds, in a scheduled run or not. Used by the stand-ins' state between threads.
class Mutex {
  public:
    void lock();
    void unlock();
    bool try_lock();

  private:
    std::mutex mutex_;
};
class RecursiveMutex {
  public:
    void lock();
    void unlock();

  private:
    std::recursive_mutex mutex_;
};

// ---- levels -------------------------------------------------------------------------------------------
// Each host thread runs at a level: the library's completion worker at DISPATCH_LEVEL, every other
// thread at PASSIVE_LEVEL. Every kernel call checks the caller's level against the verifier's rules
// (below).
constexpr KIRQL HIGH_LEVEL = 31;
void SetThreadLevel(KIRQL Level);
KIRQL ThreadLevel();
// For calls of the host's own libraries that wait (the camera class library's synchronous requests):
// above passive level they are reported as a kernel call at the wrong level (bug check 0xC4, 0xE5).
void RequirePassiveLevel(const char* Call);

// ---- the verifier ---------------------------------------------------------------------------------------
// Driver Verifier's checks, reported as it reports them: a bug check with its code and four parameters.
// DDI compliance rules go by their published names and numbers (0xC4, parameter 1 the rule's number,
// parameter 2 the condition the driver broke); the pool, wait and level checks by the verifier's own
// parameter 1 values; the processor state checks as the kernel makes them (0xE7); special pool's by its
// bug checks (0xC1, and a fault on the spot). A real machine stops there; the host calls the handler, and
// without one prints the report and stops the process.
constexpr ULONG DRIVER_VERIFIER_DETECTED_VIOLATION = 0xC4;
constexpr ULONG SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION = 0xC1;
constexpr ULONG INVALID_FLOATING_POINT_STATE = 0xE7;
struct BugCheckReport {
    ULONG Code;
    ULONG_PTR Parameters[4];
    std::string Rule; // the DDI compliance rule, or what the bug check's parameter 1 stands for
    std::string Text; // the report as printed: the stop line, then what was wrong
};
using BugCheckHandler = std::function<void(const BugCheckReport& Report)>;
// The tests install one that fails the running test; an empty handler restores the stop.
void SetBugCheckHandler(BugCheckHandler Handler);
// Every report since ResetKernel (which clears them), in order.
std::vector<BugCheckReport> BugChecks();
// While one lives, reports are collected here instead of going to the handler: a test that provokes a
// violation on purpose takes it without failing.
class BugCheckCapture {
  public:
    BugCheckCapture();
    ~BugCheckCapture();
    BugCheckCapture(const BugCheckCapture&) = delete;
    BugCheckCapture& operator=(const BugCheckCapture&) = delete;
    std::vector<BugCheckReport> Reports() const;
};

// ---- processor state ----------------------------------------------------------------------------------
// A restore out of the kernel's rules is a bug check (see processor_state.cpp). Failing a save is done with
// InjectFault("KeSaveFloatingPointState") or InjectFault("KeSaveExtendedProcessorState").
struct ProcessorStateCounts {
    unsigned FloatSaves, FloatRestores, ExtendedSaves, ExtendedRestores;
    ULONG64 LastExtendedMask;
    int Depth; // saves not yet restored
};
ProcessorStateCounts ProcessorState();

// ---- the processor ------------------------------------------------------------------------------------
// The processor the host stands for: the real one, or an older one that lacks the newer instruction sets
// the driver looks for. The driver's processor routines (cpuid and XCR0, platform/processor.h) answer as
// that processor, and so do the cpuid instructions of a loaded z40k.sys where the system lets the host
// trap them (the 32-bit host on Linux, on a processor with cpuid faulting): see ProcessorTrapsCpuid.
enum class ProcessorLevel {
    NoSse2, // a Pentium III or Athlon XP: SSE, no SSE2
    Sse2,   // a Pentium 4 or Athlon 64: SSE2 and SSE3, no SSSE3
    Ssse3,  // a Core 2: SSSE3 to SSE4.2, no AVX
    Avx2,   // AVX and AVX2, no AVX-512
    Real,   // everything the real processor has (ResetKernel)
};
// The features of the levels above Level read as absent: in cpuid, and in XCR0, whose AVX and AVX-512
// states go with the instructions.
void SetProcessorLevel(ProcessorLevel Level);
ProcessorLevel CurrentProcessorLevel();
// True when a level below Real also reaches cpuid instructions executed outside the driver's routines
// (a loaded image's), on the threads started after the level was set and the one that set it.
bool ProcessorTrapsCpuid();

// ---- the device below the class device object (the PnP query-interface request) -----------------------
// The handler receives the IRP with its stack location for the called device; it either completes it
// (IofCompleteRequest, returning the status) or returns STATUS_PENDING and completes it later through
// CompletePendingIrps.
using IrpHandler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
// Stack locations of a request sent to a device the host made (its DEVICE_OBJECT::StackSize).
constexpr CHAR DEVICE_STACK_SIZE = 4;
// A device object owned by the host until ResetDevices. Its driver object is the host's own, whose
// every major function is DispatchToDeviceHandler; a driver object that stands for another driver (the
// stream class fills the minidriver's) may point its slots there too.
PDEVICE_OBJECT CreateDeviceObject(IrpHandler Handler);
// Hands the request to the handler of the device object CreateDeviceObject made (a bug check for any
// other), and keeps it for CompletePendingIrps when the handler returns STATUS_PENDING.
NTSTATUS NTAPI DispatchToDeviceHandler(PDEVICE_OBJECT DeviceObject, PIRP Irp);
void ResetDevices();
void CompletePendingIrps(); // completes every pended IRP with the status its handler stored in IoStatus
size_t IrpOutstanding();    // requests built and not yet completed
uint64_t IrpBuiltCount();   // requests built since ResetKernel

// ---- files: \DosDevices\C:\ maps to a host folder --------------------------------------------------
void FilesSetDriveC(const std::string& Folder);
std::string FilesDriveC();
// Fail with InjectFault("ZwCreateFile") / ("ZwWriteFile").
size_t FilesOpenHandles();
// Told of every file below drive C that the host could not create or write: the kernel name, the host
// path it stands for, the call, the status the caller got and the host's errno. A driver may go on
// without its file (the one-time grey dump does), so the program is told what the driver is not.
struct FileFailure {
    std::string Name;
    std::string HostPath;
    const char* Call;
    NTSTATUS Status;
    int Errno;
};
using FileFailureObserver = std::function<void(const FileFailure&)>;
void FilesSetFailureObserver(FileFailureObserver Observer); // an empty function removes it

// ---- registry -----------------------------------------------------------------------------------------
// The tree of keys and typed values behind IoOpenDeviceRegistryKey and the Zw*Key calls. Paths are full
// paths with backslashes, compared without regard to case, e.g. DriverKeyPath() + "\\Z40K_Settings".
struct RegistryValue {
    ULONG Type;
    std::vector<uint8_t> Data;
};
std::string DriverKeyPath();                    // HKEY_LOCAL_MACHINE\SYSTEM\...\{6BDD1FC6-...}\0000
std::string DriverKeyPathOf(unsigned Instance); // ...\0000 for the first PDO set, ...\0001 for the next
void RegistryClear();
bool RegistryKeyExists(const std::string& Path);
void RegistryCreateKey(const std::string& Path);
void RegistrySetValue(const std::string& Path, const std::string& Name, ULONG Type,
                      std::vector<uint8_t> Data);
void RegistrySetDword(const std::string& Path, const std::string& Name, uint32_t Value);
bool RegistryGetValue(const std::string& Path, const std::string& Name, RegistryValue* Value);
std::map<std::string, RegistryValue> RegistryValues(const std::string& Path); // name -> value
// .reg files in the Registry Editor export format ("Windows Registry Editor Version 5.00", CRLF lines,
// written as UTF-8; UTF-16 files with a byte-order mark are read too). Load replaces the tree only when
// the whole file is good; otherwise it returns false with a one-line *Error naming the file and line.
// Save writes FILE.tmp, flushes it to disk and renames it over FILE; InjectFault("RegistrySaveFile") makes
// its write fail. Load refuses a file that is not regular or is larger than 16 MiB, and a key nested deeper
// than 512 levels; an empty file is an empty registry.
bool RegistryLoadFile(const std::string& File, std::string* Error);
bool RegistrySaveFile(const std::string& File, std::string* Error);
size_t RegistryOpenHandles();
// Called for every value set through ZwSetValueKey (for the trace).
using RegistryObserver =
    std::function<void(const std::string& KeyPath, const std::string& Name, const RegistryValue& Value)>;
void RegistrySetObserver(RegistryObserver Observer); // an empty function removes it
// Failing: InjectFault("IoOpenDeviceRegistryKey"), ("ZwCreateKey"), ("ZwQueryValueKey"), ("ZwSetValueKey").

// Device objects whose driver key IoOpenDeviceRegistryKey opens (the camera's PDO; each further PDO set
// gets the next instance number). Any other device object, or a key type other than
// PLUGPLAY_REGKEY_DRIVER, is refused. Handles check their access: a value can be read only through a
// handle opened with KEY_QUERY_VALUE and written only with KEY_SET_VALUE.
void RegistrySetDevicePdo(PDEVICE_OBJECT Pdo);

} // namespace host
