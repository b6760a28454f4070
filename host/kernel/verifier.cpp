// Driver Verifier's checks of the calls the driver makes, and its way of reporting them. The level rules
// are the DDI compliance rules by their published names and numbers, one row per routine they govern;
// a routine no DDI rule covers still has its documented level checked, as the verifier's own level
// check reports it (0xC4, 0xE5). A violation is a bug check: its code and parameters as the verifier
// raises them, and the rule and the condition in words.
#include "host/kernel/kernel_host.h"
#include "host/kernel/kernel_internal.h"

#include <cinttypes>
#include <cstring>
#include <mutex>

namespace host {
namespace {

// Parameter 1 of the verifier's own level check: a kernel routine called at the wrong level.
constexpr ULONG_PTR KERNEL_API_AT_WRONG_IRQL = 0xE5;

struct CallRule {
    const char* Routine;   // the routine, with the case of its arguments the row is for
    KIRQL Highest;         // the highest level it may be called at
    const char* Rule;      // the DDI compliance rule, null where the verifier's own level check applies
    ULONG_PTR Id;          // the rule's number (0xC4's parameter 1)
    const char* Condition; // what the rule says, which parameter 2 of its bug check points at
};

constexpr CallRule CALL_RULES[] = {
    {"ExAllocatePoolWithTag", DISPATCH_LEVEL, "IrqlExAllocatePool", 0x00020004,
     "ExAllocatePoolWithTag is called at IRQL <= DISPATCH_LEVEL"},
    {"ExAllocatePoolWithTag(PagedPool)", APC_LEVEL, "IrqlExAllocatePool", 0x00020004,
     "paged pool is allocated at IRQL <= APC_LEVEL"},
    {"KeDelayExecutionThread", APC_LEVEL, "IrqlKeApcLte1", 0x0002000F,
     "KeDelayExecutionThread is called at IRQL <= APC_LEVEL"},
    {"KeSaveFloatingPointState", DISPATCH_LEVEL, "IrqlKeDispatchLte", 0x00020011,
     "KeSaveFloatingPointState is called at IRQL <= DISPATCH_LEVEL"},
    {"KeSetEvent", DISPATCH_LEVEL, "IrqlKeSetEvent", 0x00020016,
     "KeSetEvent with Wait FALSE is called at IRQL <= DISPATCH_LEVEL"},
    {"KeSetEvent(Wait)", APC_LEVEL, "IrqlKeSetEvent", 0x00020016,
     "KeSetEvent with Wait TRUE is called at IRQL <= APC_LEVEL"},
    {"ZwClose", PASSIVE_LEVEL, "IrqlZwPassive", 0x0002001F, "ZwClose is called at PASSIVE_LEVEL"},
    {"ZwCreateKey", PASSIVE_LEVEL, "IrqlZwPassive", 0x0002001F, "ZwCreateKey is called at PASSIVE_LEVEL"},
    {"ZwQueryValueKey", PASSIVE_LEVEL, "IrqlZwPassive", 0x0002001F,
     "ZwQueryValueKey is called at PASSIVE_LEVEL"},
    {"ZwSetValueKey", PASSIVE_LEVEL, "IrqlZwPassive", 0x0002001F, "ZwSetValueKey is called at PASSIVE_LEVEL"},
    {"IoOpenDeviceRegistryKey", PASSIVE_LEVEL, "IrqlIoRtlZwPassive", 0x00020023,
     "IoOpenDeviceRegistryKey is called at PASSIVE_LEVEL"},
    {"ZwCreateFile", PASSIVE_LEVEL, "IrqlIoRtlZwPassive", 0x00020023,
     "ZwCreateFile is called at PASSIVE_LEVEL"},
    {"ZwWriteFile", PASSIVE_LEVEL, "IrqlNtifsApcPassive", 0x00020024,
     "ZwWriteFile is called at PASSIVE_LEVEL"},
    // Documented levels no DDI rule covers.
    {"IoBuildSynchronousFsdRequest", APC_LEVEL, nullptr, KERNEL_API_AT_WRONG_IRQL, nullptr},
    {"IofCallDriver", DISPATCH_LEVEL, nullptr, KERNEL_API_AT_WRONG_IRQL, nullptr},
    {"KeInitializeEvent", DISPATCH_LEVEL, nullptr, KERNEL_API_AT_WRONG_IRQL, nullptr},
    {"IofCompleteRequest", DISPATCH_LEVEL, nullptr, KERNEL_API_AT_WRONG_IRQL, nullptr},
    {"KeRestoreFloatingPointState", DISPATCH_LEVEL, nullptr, KERNEL_API_AT_WRONG_IRQL, nullptr},
    {"KeSaveExtendedProcessorState", DISPATCH_LEVEL, nullptr, KERNEL_API_AT_WRONG_IRQL, nullptr},
    {"KeRestoreExtendedProcessorState", DISPATCH_LEVEL, nullptr, KERNEL_API_AT_WRONG_IRQL, nullptr},
    {"RtlInitUnicodeString", DISPATCH_LEVEL, nullptr, KERNEL_API_AT_WRONG_IRQL, nullptr},
};

struct VerifierState {
    std::mutex Mutex;
    std::vector<BugCheckReport> Seen;
    BugCheckHandler Handler;
    unsigned Captures = 0;
    std::vector<BugCheckReport> Captured;
};

VerifierState& Verifier() {
    static VerifierState* state = new VerifierState;
    return *state;
}

const char* BugCheckName(ULONG Code) {
    switch (Code) {
    case DRIVER_VERIFIER_DETECTED_VIOLATION:
        return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION:
        return "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION";
    case INVALID_FLOATING_POINT_STATE:
        return "INVALID_FLOATING_POINT_STATE";
    default:
        return "BUG_CHECK";
    }
}

} // namespace

namespace detail {

const char* LevelName(KIRQL Level) {
    switch (Level) {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    default:
        return Level >= HIGH_LEVEL ? "HIGH_LEVEL" : "a device level";
    }
}

void RaiseBugCheck(ULONG Code, const ULONG_PTR (&Parameters)[4], const std::string& Rule,
                   const std::string& What) {
    BugCheckReport report{Code, {Parameters[0], Parameters[1], Parameters[2], Parameters[3]}, Rule, ""};
    char stop[200];
    std::snprintf(stop, sizeof stop,
                  "*** STOP: 0x%08X %s (0x%" PRIxPTR ", 0x%" PRIxPTR ", 0x%" PRIxPTR ", 0x%" PRIxPTR ")",
                  unsigned(Code), BugCheckName(Code), Parameters[0], Parameters[1], Parameters[2],
                  Parameters[3]);
    report.Text = std::string(stop) + "\n    " + Rule + ": " + What;
    BugCheckHandler handler;
    {
        VerifierState& verifier = Verifier();
        std::lock_guard<std::mutex> lock(verifier.Mutex);
        verifier.Seen.push_back(report);
        if (verifier.Captures != 0) {
            verifier.Captured.push_back(report);
            return;
        }
        handler = verifier.Handler;
    }
    if (handler) {
        handler(report);
        return;
    }
    // What a bug check does to the machine.
    std::fprintf(stderr, "%s\n", report.Text.c_str());
    std::fflush(stderr);
    std::abort();
}

void VerifyIrql(const char* Routine) {
    const KIRQL level = ThreadLevel();
    for (const CallRule& row : CALL_RULES) {
        if (std::strcmp(row.Routine, Routine) != 0)
            continue;
        if (level <= row.Highest)
            return;
        const std::string what = std::string(Routine) + " called at " + LevelName(level) +
                                 "; it may run at " + LevelName(row.Highest) + " at most";
        if (row.Rule != nullptr) {
            RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION,
                          {row.Id, reinterpret_cast<ULONG_PTR>(row.Condition), 0, 0}, row.Rule,
                          what + " (the rule: " + row.Condition + ")");
        } else {
            RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, {row.Id, level, 0, 0},
                          "kernel call at a wrong IRQL", what);
        }
        return;
    }
    BugCheck((std::string("the verifier has no rule for ") + Routine).c_str());
}

void ResetVerifier() {
    VerifierState& verifier = Verifier();
    std::lock_guard<std::mutex> lock(verifier.Mutex);
    verifier.Seen.clear();
}

} // namespace detail

void RequirePassiveLevel(const char* Call) {
    const KIRQL level = ThreadLevel();
    if (level == PASSIVE_LEVEL)
        return;
    detail::RaiseBugCheck(DRIVER_VERIFIER_DETECTED_VIOLATION, {KERNEL_API_AT_WRONG_IRQL, level, 0, 0},
                          "kernel call at a wrong IRQL",
                          std::string(Call) + " waits, and was called at " + detail::LevelName(level));
}

void SetBugCheckHandler(BugCheckHandler Handler) {
    VerifierState& verifier = Verifier();
    std::lock_guard<std::mutex> lock(verifier.Mutex);
    verifier.Handler = std::move(Handler);
}

std::vector<BugCheckReport> BugChecks() {
    VerifierState& verifier = Verifier();
    std::lock_guard<std::mutex> lock(verifier.Mutex);
    return verifier.Seen;
}

BugCheckCapture::BugCheckCapture() {
    VerifierState& verifier = Verifier();
    std::lock_guard<std::mutex> lock(verifier.Mutex);
    if (verifier.Captures++ == 0)
        verifier.Captured.clear();
}

BugCheckCapture::~BugCheckCapture() {
    VerifierState& verifier = Verifier();
    std::lock_guard<std::mutex> lock(verifier.Mutex);
    --verifier.Captures;
}

std::vector<BugCheckReport> BugCheckCapture::Reports() const {
    VerifierState& verifier = Verifier();
    std::lock_guard<std::mutex> lock(verifier.Mutex);
    return verifier.Captured;
}

} // namespace host
