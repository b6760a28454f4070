// The kernel's export table by target, MmGetSystemRoutineAddress and RtlGetEnabledExtendedFeatures.
//
// Which routine appears in which version comes from each routine's published requirements: everything the
// driver imports is in Windows XP's ntoskrnl.exe (MmGetSystemRoutineAddress since Windows 2000); the
// extended-state routines and RtlGetEnabledExtendedFeatures arrived with Windows 7 (its first service
// pack enables the AVX state, and no release before Windows 10 the AVX-512 states). Vista exports none
// of the routines here that XP lacks, so as far as this driver can tell the two differ in nothing; it is
// a target of its own so that a routine found only from Vista on has a place to go.
#include "host/kernel/system_routines.h"

#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "host/kernel/kernel_internal.h"
#include "platform/kernel.h"
#include "platform/processor.h"

#include <atomic>

namespace host {
namespace {

std::atomic<WindowsTarget> currentTarget{WindowsTarget::Ten};

template <typename Routine> void* AddressOf(Routine R) {
    return reinterpret_cast<void*>(R);
}

#define Z40K_KERNEL_EXPORT(Name, Since)                                                                      \
    KernelExport {                                                                                           \
#Name, AddressOf(&Name), WindowsTarget::Since                                                        \
    }

} // namespace

bool ParseWindowsTarget(const std::string& Name, WindowsTarget* Target) {
    static const struct {
        const char* Name;
        WindowsTarget Target;
    } names[] = {{"xp", WindowsTarget::Xp},
                 {"vista", WindowsTarget::Vista},
                 {"7", WindowsTarget::Seven},
                 {"10", WindowsTarget::Ten}};
    for (const auto& n : names) {
        if (Name == n.Name) {
            *Target = n.Target;
            return true;
        }
    }
    return false;
}

const char* WindowsTargetName(WindowsTarget Target) {
    switch (Target) {
    case WindowsTarget::Xp:
        return "Windows XP";
    case WindowsTarget::Vista:
        return "Windows Vista";
    case WindowsTarget::Seven:
        return "Windows 7";
    default:
        return "Windows 10";
    }
}

void SetWindowsTarget(WindowsTarget Target) {
    currentTarget = Target;
}

WindowsTarget CurrentWindowsTarget() {
    return currentTarget;
}

const std::vector<KernelExport>& KernelExports() {
    static const std::vector<KernelExport> exports = {
        Z40K_KERNEL_EXPORT(ExAllocatePoolWithTag, Xp),
        Z40K_KERNEL_EXPORT(ExFreePool, Xp),
        Z40K_KERNEL_EXPORT(KeDelayExecutionThread, Xp),
        Z40K_KERNEL_EXPORT(KeInitializeEvent, Xp),
        Z40K_KERNEL_EXPORT(KeSetEvent, Xp),
        Z40K_KERNEL_EXPORT(KeWaitForSingleObject, Xp),
        Z40K_KERNEL_EXPORT(IoBuildSynchronousFsdRequest, Xp),
        Z40K_KERNEL_EXPORT(IofCallDriver, Xp),
        Z40K_KERNEL_EXPORT(IofCompleteRequest, Xp),
        Z40K_KERNEL_EXPORT(RtlInitUnicodeString, Xp),
        Z40K_KERNEL_EXPORT(RtlCompareMemory, Xp),
        Z40K_KERNEL_EXPORT(KeSaveFloatingPointState, Xp),
        Z40K_KERNEL_EXPORT(KeRestoreFloatingPointState, Xp),
        Z40K_KERNEL_EXPORT(IoOpenDeviceRegistryKey, Xp),
        Z40K_KERNEL_EXPORT(ZwCreateKey, Xp),
        Z40K_KERNEL_EXPORT(ZwQueryValueKey, Xp),
        Z40K_KERNEL_EXPORT(ZwSetValueKey, Xp),
        Z40K_KERNEL_EXPORT(ZwClose, Xp),
        Z40K_KERNEL_EXPORT(ZwCreateFile, Xp),
        Z40K_KERNEL_EXPORT(ZwWriteFile, Xp),
        Z40K_KERNEL_EXPORT(MmGetSystemRoutineAddress, Xp),
        Z40K_KERNEL_EXPORT(KeSaveExtendedProcessorState, Seven),
        Z40K_KERNEL_EXPORT(KeRestoreExtendedProcessorState, Seven),
        Z40K_KERNEL_EXPORT(RtlGetEnabledExtendedFeatures, Seven),
    };
    return exports;
}

void* KernelExportOf(const std::string& Name, WindowsTarget Target) {
    for (const KernelExport& e : KernelExports()) {
        if (Name == e.Name)
            return e.Since <= Target ? e.Address : nullptr;
    }
    return nullptr;
}

namespace detail {

void ResetSystemRoutines() {
    currentTarget = WindowsTarget::Ten;
}

} // namespace detail
} // namespace host

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    host::RequirePassiveLevel("MmGetSystemRoutineAddress");
    NTSTATUS status;
    if (host::ShouldFail("MmGetSystemRoutineAddress", &status))
        return nullptr;
    std::string name;
    if (SystemRoutineName == nullptr || !host::detail::Utf8FromUnicode(SystemRoutineName, &name))
        return nullptr;
    return host::KernelExportOf(name, host::CurrentWindowsTarget());
}

ULONG64 NTAPI RtlGetEnabledExtendedFeatures(ULONG64 FeatureMask) {
    // Windows 7 and 8 know the x87, SSE and AVX states and nothing later.
    const ULONG64 known = host::CurrentWindowsTarget() >= host::WindowsTarget::Ten
                              ? ~ULONG64(0)
                              : XSTATE_MASK_LEGACY | XSTATE_MASK_AVX;
    // The processor's own states (XCR0, as the host's processor reads), those of them the system knows.
    return FeatureMask & known & ReadXcr0();
}
