// The kernel's exports as each Windows the driver targets has them: which routines there are, from which
// version on, and the lookup by name a driver makes at run time (MmGetSystemRoutineAddress). The PE
// loader binds an image's kernel imports from the same table, so a routine hidden from a target is
// missing to both.
#pragma once

#include "platform/nt_types.h"

#include <string>
#include <vector>

namespace host {

// The systems the host can act as, oldest first. The newest is the default: every routine the host has,
// and every register state the processor saves enabled.
enum class WindowsTarget { Xp, Vista, Seven, Ten };

// "xp", "vista", "7", "10"; false for anything else.
bool ParseWindowsTarget(const std::string& Name, WindowsTarget* Target);
const char* WindowsTargetName(WindowsTarget Target); // "Windows XP", ...

// The system MmGetSystemRoutineAddress and RtlGetEnabledExtendedFeatures act as (ResetKernel: Ten).
void SetWindowsTarget(WindowsTarget Target);
WindowsTarget CurrentWindowsTarget();

// One routine ntoskrnl.exe exports, and the first of the targets that exports it.
struct KernelExport {
    const char* Name;
    void* Address;
    WindowsTarget Since;
};
// Every kernel routine the host implements.
const std::vector<KernelExport>& KernelExports();
// The routine Name as Target exports it; null when Target has none of that name.
void* KernelExportOf(const std::string& Name, WindowsTarget Target);

} // namespace host
