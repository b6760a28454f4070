// Notification and synchronisation events. The host runs the driver in one thread, so a wait on an event
// that nobody has signalled first gives the pended requests their completion; an event still unsignalled
// after that, with no time-out, would hang the machine, and is reported as the host bug it is.
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "host/kernel/kernel_internal.h"

namespace {

constexpr UCHAR EVENT_HEADER_NOTIFICATION = 0; // dispatcher header types of the two event kinds
constexpr UCHAR EVENT_HEADER_SYNCHRONIZATION = 1;

// Takes the signal when the event is signalled; a synchronisation event is reset by the wait it ends.
bool TakeSignal(PRKEVENT Event) {
    if (__atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE) == 0)
        return false;
    if (Event->Header.Type == EVENT_HEADER_SYNCHRONIZATION)
        __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_RELEASE);
    return true;
}

// The verifier's checks of a wait's level: never above DISPATCH_LEVEL, and at DISPATCH_LEVEL only with
// a zero time-out (a wait there cannot block). Parameter 2 is the address of the level, as the
// verifier passes it.
void VerifyWaitLevel(PRKEVENT Event, PLARGE_INTEGER Timeout) {
    static thread_local KIRQL level;
    level = host::ThreadLevel();
    ULONG_PTR check = 0;
    const char* what = nullptr;
    if (level > DISPATCH_LEVEL) {
        check = 0x120;
        what = "KeWaitForSingleObject called above DISPATCH_LEVEL";
    } else if (level == DISPATCH_LEVEL && Timeout == nullptr) {
        check = 0x121;
        what = "KeWaitForSingleObject called at DISPATCH_LEVEL without a time-out";
    } else if (level == DISPATCH_LEVEL && Timeout->QuadPart != 0) {
        check = 0x122;
        what = "KeWaitForSingleObject called at DISPATCH_LEVEL with a time-out other than zero";
    } else {
        return;
    }
    host::detail::RaiseBugCheck(host::DRIVER_VERIFIER_DETECTED_VIOLATION,
                                {check, reinterpret_cast<ULONG_PTR>(&level),
                                 reinterpret_cast<ULONG_PTR>(Event), reinterpret_cast<ULONG_PTR>(Timeout)},
                                "wait at a wrong IRQL", what);
}

} // namespace

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    host::detail::VerifyIrql("KeInitializeEvent");
    Event->Header.Type =
        Type == SynchronizationEvent ? EVENT_HEADER_SYNCHRONIZATION : EVENT_HEADER_NOTIFICATION;
    Event->Header.Absolute = 0;
    Event->Header.Size = static_cast<UCHAR>(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
    Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, LONG, BOOLEAN Wait) {
    host::detail::VerifyIrql(Wait ? "KeSetEvent(Wait)" : "KeSetEvent");
    return __atomic_exchange_n(&Event->Header.SignalState, 1, __ATOMIC_ACQ_REL);
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout) {
    PRKEVENT event = static_cast<PRKEVENT>(Object);
    if (event == nullptr)
        host::detail::BugCheck("KeWaitForSingleObject on a null object");
    VerifyWaitLevel(event, Timeout);
    if (TakeSignal(event))
        return STATUS_SUCCESS;
    host::CompletePendingIrps();
    if (TakeSignal(event))
        return STATUS_SUCCESS;
    if (Timeout == nullptr)
        host::detail::BugCheck(
            "KeWaitForSingleObject without a time-out on an event that nothing will signal");
    if (Timeout->QuadPart != 0)
        host::detail::PassTime(Timeout->QuadPart);
    return TakeSignal(event) ? STATUS_SUCCESS : STATUS_TIMEOUT;
}
