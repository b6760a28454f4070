// Control of the kernel stand-in for tests and for the z40k tool. The driver never includes this.
#pragma once

#include "platform/nt_types.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
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
// Freed blocks are checked too: an overrun found at ExFreePool is recorded here.
std::vector<std::string> PoolTakeErrors();
// Keep one freed block per size for the next allocation of that size, as a lookaside list would.
void PoolSetLookaside(bool Enabled);

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

// ---- levels -------------------------------------------------------------------------------------------
// Each host thread runs at a level: the library's completion worker at DISPATCH_LEVEL, every other
// thread at PASSIVE_LEVEL. A call that may block or needs passive level (waits, synchronous vendor
// requests, registry and file calls, paged pool) made above passive level is recorded, as Driver
// Verifier would catch it; tests assert that none was.
void SetThreadLevel(KIRQL Level);
KIRQL ThreadLevel();
// Records a violation when the calling thread is above passive level; Call names the call.
void RequirePassiveLevel(const char* Call);
std::vector<std::string> LevelViolations(); // one line each, since ResetKernel or the last clear
void ClearLevelViolations();

// ---- processor state ----------------------------------------------------------------------------------
// Failing a save is done with InjectFault("KeSaveFloatingPointState") or
// InjectFault("KeSaveExtendedProcessorState").
struct ProcessorStateCounts {
    unsigned FloatSaves, FloatRestores, ExtendedSaves, ExtendedRestores;
    ULONG64 LastExtendedMask;
    int Depth;                   // saves not yet restored
    unsigned UnbalancedRestores; // restores of a save area that was not the innermost save
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
