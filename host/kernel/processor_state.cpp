// Saving and restoring the floating-point and extended processor state. User-mode code on the host may
// use the FPU freely, so nothing is saved for real; what matters is what the kernel checks when a state
// comes back: that the save area holds a state saved and not yet restored, by this thread, at this
// level, and that it is the innermost of the thread's saves. A restore that breaks one of these stops
// the machine with INVALID_FLOATING_POINT_STATE (0xE7), parameter 1 saying which: 0 not a valid saved
// state (never saved, restored already, or not the innermost), 1 another level, 2 another thread. Saves
// nest per thread, as the processor state they stand for is each thread's own; a failed save can be
// simulated.
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "host/kernel/kernel_internal.h"

#include <cstring>
#include <map>
#include <mutex>
#include <pthread.h>
#include <vector>

namespace host {
namespace {

struct SavedState {
    ULONG_PTR Thread;
    KIRQL Level;
};

struct ProcessorStateData {
    std::mutex Mutex;
    ProcessorStateCounts Counts{}; // all but Depth, which is the number of saves in Saved
    std::map<const void*, SavedState> Saved;
    // Each thread's save areas in use, innermost last.
    std::map<ULONG_PTR, std::vector<const void*>> Nesting;
};

ProcessorStateData& State() {
    static ProcessorStateData* state = new ProcessorStateData;
    return *state;
}

ULONG_PTR CurrentThread() {
    return static_cast<ULONG_PTR>(pthread_self());
}

void PushSave(ProcessorStateData& state, const void* Area) {
    state.Saved[Area] = {CurrentThread(), ThreadLevel()};
    state.Nesting[CurrentThread()].push_back(Area);
}

// The check a restore of Area fails, with its parameters 2 and 3; 0 as the check when it passes.
struct RestoreCheck {
    ULONG_PTR Check, Second, Third;
    const char* What;
};

RestoreCheck CheckRestore(ProcessorStateData& state, const void* Area) {
    auto saved = state.Saved.find(Area);
    if (saved == state.Saved.end())
        return {0, 0, 0, "restores a save area that holds no saved state (never saved, or restored already)"};
    if (saved->second.Thread != CurrentThread())
        return {2, saved->second.Thread, CurrentThread(), "restores a state another thread saved"};
    if (saved->second.Level != ThreadLevel())
        return {1, saved->second.Level, ThreadLevel(), "restores a state saved at another level"};
    if (state.Nesting[CurrentThread()].back() != Area)
        return {0, 0, 0, "restores a state while a state saved after it is still in force"};
    return {~ULONG_PTR{0}, 0, 0, nullptr};
}

// Restores Area, or reports the check it fails and leaves the saves as they were. The one failure that
// still takes the state back is the wrong level: the area is the thread's innermost save.
void PopSave(ProcessorStateData& state, std::unique_lock<std::mutex>& lock, const void* Area,
             const char* Routine) {
    const RestoreCheck check = CheckRestore(state, Area);
    if (check.What == nullptr || check.Check == 1) {
        state.Saved.erase(Area);
        std::vector<const void*>& nesting = state.Nesting[CurrentThread()];
        nesting.pop_back();
        if (nesting.empty())
            state.Nesting.erase(CurrentThread());
    }
    if (check.What == nullptr)
        return;
    lock.unlock();
    detail::RaiseBugCheck(INVALID_FLOATING_POINT_STATE, {check.Check, check.Second, check.Third, 0},
                          "processor state restored out of its rules",
                          std::string(Routine) + " " + check.What);
}

} // namespace

ProcessorStateCounts ProcessorState() {
    ProcessorStateData& state = State();
    std::lock_guard<std::mutex> lock(state.Mutex);
    ProcessorStateCounts counts = state.Counts;
    counts.Depth = static_cast<int>(state.Saved.size());
    return counts;
}

namespace detail {

void ResetProcessorState() {
    ProcessorStateData& state = State();
    std::lock_guard<std::mutex> lock(state.Mutex);
    state.Counts = ProcessorStateCounts{};
    state.Saved.clear();
    state.Nesting.clear();
}

} // namespace detail
} // namespace host

NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave) {
    host::detail::VerifyIrql("KeSaveFloatingPointState");
    NTSTATUS status;
    if (host::ShouldFail("KeSaveFloatingPointState", &status))
        return status;
    host::ProcessorStateData& state = host::State();
    std::lock_guard<std::mutex> lock(state.Mutex);
    std::memset(FloatSave, 0, sizeof *FloatSave);
    FloatSave->ControlWord = 0x27F; // the control word the kernel gives a fresh FPU context
    host::PushSave(state, FloatSave);
    ++state.Counts.FloatSaves;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave) {
    host::detail::VerifyIrql("KeRestoreFloatingPointState");
    host::ProcessorStateData& state = host::State();
    std::unique_lock<std::mutex> lock(state.Mutex);
    ++state.Counts.FloatRestores;
    host::PopSave(state, lock, FloatSave, "KeRestoreFloatingPointState");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave) {
    host::detail::VerifyIrql("KeSaveExtendedProcessorState");
    NTSTATUS status;
    if (host::ShouldFail("KeSaveExtendedProcessorState", &status))
        return status;
    host::ProcessorStateData& state = host::State();
    std::lock_guard<std::mutex> lock(state.Mutex);
    std::memset(XStateSave, 0, sizeof *XStateSave);
    host::PushSave(state, XStateSave);
    ++state.Counts.ExtendedSaves;
    state.Counts.LastExtendedMask = Mask;
    return STATUS_SUCCESS;
}

VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave) {
    host::detail::VerifyIrql("KeRestoreExtendedProcessorState");
    host::ProcessorStateData& state = host::State();
    std::unique_lock<std::mutex> lock(state.Mutex);
    ++state.Counts.ExtendedRestores;
    host::PopSave(state, lock, XStateSave, "KeRestoreExtendedProcessorState");
}
