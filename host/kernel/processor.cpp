// The processor stand-in: cpuid and XCR0 as the driver reads them, answered from the real processor with
// the features of an older one taken away. A loaded z40k.sys executes cpuid itself; in the 32-bit host on
// Linux the same answers reach it through cpuid faulting (ARCH_SET_CPUID): with it on, every cpuid of a
// thread raises SIGSEGV, and the handler here answers it and steps over it.
#include "host/kernel/kernel_host.h"
#include "host/kernel/kernel_internal.h"
#include "platform/processor.h"

#include <atomic>
#include <cpuid.h>

#if defined(__i386__) && defined(__linux__)
#include <csignal>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>
#define Z40K_CPUID_TRAP 1
#endif

namespace host {
namespace {

std::atomic<ProcessorLevel> currentLevel{ProcessorLevel::Real};

// What a level lacks next to the real processor: bits that read as clear.
struct HiddenFeatures {
    ULONG Leaf1Ecx, Leaf1Edx, Leaf7Ebx, Leaf7Ecx;
    ULONG64 Xcr0;
};

HiddenFeatures HiddenBy(ProcessorLevel Level) {
    HiddenFeatures hidden{};
    if (Level < ProcessorLevel::Real) {
        // AVX-512 F, DQ, IFMA, PF, ER, CD, BW, VL; VBMI, VBMI2, VNNI, BITALG, VPOPCNTDQ; its three states
        hidden.Leaf7Ebx |= 0xDC230000u;
        hidden.Leaf7Ecx |= 0x00005842u;
        hidden.Xcr0 |= XSTATE_MASK_AVX512;
    }
    if (Level < ProcessorLevel::Avx2) {
        hidden.Leaf7Ebx |= CPUID7_EBX_AVX2;
        hidden.Leaf1Ecx |= CPUID1_ECX_AVX | (1u << 12) | (1u << 29); // AVX, FMA, F16C
        hidden.Xcr0 |= XSTATE_MASK_AVX;
    }
    if (Level < ProcessorLevel::Ssse3)
        hidden.Leaf1Ecx |= CPUID1_ECX_SSSE3 | (1u << 19) | (1u << 20) | (1u << 23); // and SSE4.1, 4.2, POPCNT
    if (Level < ProcessorLevel::Sse2) {
        hidden.Leaf1Edx |= CPUID1_EDX_SSE2;
        hidden.Leaf1Ecx |= 1u; // SSE3
    }
    return hidden;
}

// No locks and no library calls: the trap handler answers through this too.
void Answer(ULONG Leaf, ULONG SubLeaf, CPUID_REGISTERS* Registers) {
    unsigned a, b, c, d;
    __cpuid_count(Leaf, SubLeaf, a, b, c, d);
    const HiddenFeatures hidden = HiddenBy(currentLevel.load(std::memory_order_relaxed));
    if (Leaf == 1) {
        c &= ~hidden.Leaf1Ecx;
        d &= ~hidden.Leaf1Edx;
    } else if (Leaf == 7 && SubLeaf == 0) {
        b &= ~hidden.Leaf7Ebx;
        c &= ~hidden.Leaf7Ecx;
    }
    *Registers = {a, b, c, d};
}

#if defined(Z40K_CPUID_TRAP)
constexpr int ARCH_SET_CPUID = 0x1012;
struct sigaction previousSegv;
std::atomic<bool> handlerInstalled{false};

bool SetCpuidFaulting(bool On) {
    return syscall(SYS_arch_prctl, ARCH_SET_CPUID, On ? 0 : 1) == 0;
}

// A cpuid that faulted is answered as the level's processor would; any other fault goes on to the
// handler before this one, or to the default action by faulting again.
void OnSegv(int Signal, siginfo_t* Info, void* Context) {
    greg_t* r = static_cast<ucontext_t*>(Context)->uc_mcontext.gregs;
    // cpuid faulting raises a general protection fault (SI_KERNEL); only then is the instruction pointer
    // known to point at readable code.
    const unsigned char* ip = reinterpret_cast<const unsigned char*>(r[REG_EIP]);
    if (Info->si_code == SI_KERNEL && ip[0] == 0x0F && ip[1] == 0xA2) {
        SetCpuidFaulting(false);
        CPUID_REGISTERS answer;
        Answer(ULONG(r[REG_EAX]), ULONG(r[REG_ECX]), &answer);
        SetCpuidFaulting(true);
        r[REG_EAX] = greg_t(answer.Eax);
        r[REG_EBX] = greg_t(answer.Ebx);
        r[REG_ECX] = greg_t(answer.Ecx);
        r[REG_EDX] = greg_t(answer.Edx);
        r[REG_EIP] += 2;
        return;
    }
    if ((previousSegv.sa_flags & SA_SIGINFO) && previousSegv.sa_sigaction != nullptr) {
        previousSegv.sa_sigaction(Signal, Info, Context);
    } else if (previousSegv.sa_handler != SIG_DFL && previousSegv.sa_handler != SIG_IGN) {
        previousSegv.sa_handler(Signal);
    } else {
        sigaction(SIGSEGV, &previousSegv, nullptr);
    }
}

bool CpuidFaultingAvailable() {
    // Turning faulting off succeeds exactly where the system and the processor support it.
    static const bool available = SetCpuidFaulting(false);
    return available;
}

void TrapCpuid(bool On) {
    if (!CpuidFaultingAvailable())
        return;
    if (On && !handlerInstalled.exchange(true)) {
        struct sigaction action = {};
        action.sa_sigaction = OnSegv;
        action.sa_flags = SA_SIGINFO;
        sigemptyset(&action.sa_mask);
        sigaction(SIGSEGV, &action, &previousSegv);
    }
    SetCpuidFaulting(On);
}
#else
bool CpuidFaultingAvailable() {
    return false;
}
void TrapCpuid(bool) {}
#endif

} // namespace

void SetProcessorLevel(ProcessorLevel Level) {
    currentLevel = Level;
    // The real processor needs no trap; threads that still have it get the real answers.
    TrapCpuid(Level != ProcessorLevel::Real);
}

ProcessorLevel CurrentProcessorLevel() {
    return currentLevel;
}

bool ProcessorTrapsCpuid() {
    return CpuidFaultingAvailable();
}

namespace detail {

void ResetProcessor() {
    if (currentLevel != ProcessorLevel::Real)
        SetProcessorLevel(ProcessorLevel::Real);
}

} // namespace detail
} // namespace host

VOID ReadCpuid(ULONG Leaf, ULONG SubLeaf, CPUID_REGISTERS* Registers) {
    host::Answer(Leaf, SubLeaf, Registers);
}

ULONG64 ReadXcr0() {
    CPUID_REGISTERS leaf1;
    host::Answer(1, 0, &leaf1);
    if (!(leaf1.Ecx & CPUID1_ECX_OSXSAVE))
        return XSTATE_MASK_LEGACY;
    unsigned low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return ((ULONG64(high) << 32) | low) & ~host::HiddenBy(host::CurrentProcessorLevel()).Xcr0;
}
