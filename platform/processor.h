// What the processor says of itself: cpuid, and XCR0 (xgetbv 0), the register states the system has the
// processor save. The driver asks the processor, not the system, which instruction sets it has, so these
// are instructions, not kernel calls: in the kernel image they are the instructions themselves; in a
// build that runs hosted on another system they are routines of the host, which answers as the processor
// it stands for.
#pragma once

#include "platform/nt_types.h"

struct CPUID_REGISTERS {
    ULONG Eax, Ebx, Ecx, Edx;
};

// Feature bits of the leaves the driver reads.
constexpr ULONG CPUID1_EDX_SSE2 = 1u << 26;
constexpr ULONG CPUID1_ECX_SSSE3 = 1u << 9;
constexpr ULONG CPUID1_ECX_OSXSAVE = 1u << 27;
constexpr ULONG CPUID1_ECX_AVX = 1u << 28;
constexpr ULONG CPUID7_EBX_AVX2 = 1u << 5;
constexpr ULONG CPUID7_EBX_AVX512F = 1u << 16;
constexpr ULONG CPUID7_EBX_AVX512BW = 1u << 30;
constexpr ULONG CPUID7_EBX_AVX512VL = 1u << 31;
constexpr ULONG CPUID7_ECX_AVX512VBMI = 1u << 1;

#if defined(_WIN32)

// Leaf Leaf, sub-leaf SubLeaf. A leaf above the highest one leaf 0 names answers with another leaf's
// registers, so callers read leaf 0 first.
inline VOID ReadCpuid(ULONG Leaf, ULONG SubLeaf, CPUID_REGISTERS* Registers) {
    __asm__ volatile("cpuid"
                     : "=a"(Registers->Eax), "=b"(Registers->Ebx), "=c"(Registers->Ecx), "=d"(Registers->Edx)
                     : "a"(Leaf), "c"(SubLeaf));
}

// Only where cpuid leaf 1 reports OSXSAVE: xgetbv is undefined otherwise.
inline ULONG64 ReadXcr0() {
    ULONG low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (ULONG64(high) << 32) | low;
}

#else

Z40K_EXTERN_C_BEGIN
VOID ReadCpuid(ULONG Leaf, ULONG SubLeaf, CPUID_REGISTERS* Registers);
ULONG64 ReadXcr0();
Z40K_EXTERN_C_END

#endif
