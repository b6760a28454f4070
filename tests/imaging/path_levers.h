// The system and processor the host acts as so that the driver takes a given kernel path: only the
// platform's own levers, no setting of the driver's. Windows XP has no extended-state routines, so its
// best is SSSE3; a processor without SSSE3 leaves SSE2, one without SSE2 the scalar kernels; Windows 7
// enables the AVX state and not AVX-512's (AVX2); Windows 10 enables both (AVX-512). A failed save of
// the state also gives the scalar kernels, span by span (InjectFault("KeSaveFloatingPointState")).
// Shared by the tests and the benchmarks.
#pragma once

#include "host/kernel/kernel_host.h"
#include "host/kernel/system_routines.h"
#include "imaging/vector_paths.h"

namespace path_levers {

struct Levers {
    host::WindowsTarget Target;
    host::ProcessorLevel Level;
};

inline Levers LeversOf(ImagingPath Path) {
    switch (Path) {
    case IMAGING_PATH_SCALAR:
        return {host::WindowsTarget::Xp, host::ProcessorLevel::NoSse2};
    case IMAGING_PATH_SSE2:
        return {host::WindowsTarget::Xp, host::ProcessorLevel::Sse2};
    case IMAGING_PATH_SSSE3:
        return {host::WindowsTarget::Xp, host::ProcessorLevel::Real};
    case IMAGING_PATH_AVX2:
        return {host::WindowsTarget::Seven, host::ProcessorLevel::Real};
    default:
        return {host::WindowsTarget::Ten, host::ProcessorLevel::Real};
    }
}

// From now on the host is the system and processor of Path; a driver takes it from its next load (or
// FindExtendedStateRoutines, which DriverEntry calls) on. A loaded image sees the processor's level only
// where the host traps its cpuid (ImageSeesLevers).
inline void ActAsSystemOf(ImagingPath Path) {
    const Levers levers = LeversOf(Path);
    host::SetWindowsTarget(levers.Target);
    host::SetProcessorLevel(levers.Level);
}

// Whether a loaded z40k.sys takes Path under its levers on this host: the target reaches it always, the
// processor's level only through the cpuid trap.
inline bool ImageSeesLevers(ImagingPath Path) {
    return LeversOf(Path).Level == host::ProcessorLevel::Real || host::ProcessorTrapsCpuid();
}

inline const char* PathName(ImagingPath Path) {
    switch (Path) {
    case IMAGING_PATH_SCALAR:
        return "Scalar";
    case IMAGING_PATH_SSE2:
        return "Sse2";
    case IMAGING_PATH_SSSE3:
        return "Ssse3";
    case IMAGING_PATH_AVX2:
        return "Avx2";
    default:
        return "Avx512";
    }
}

} // namespace path_levers
