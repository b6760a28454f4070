// Saving and restoring the floating-point and extended processor state. User-mode code on the host may
// use the FPU freely, so nothing is saved for real; what matters is that every save that succeeded is
// restored, in reverse order, with the same save area, and that a failed save can be simulated. Saves nest
// per thread, as the processor state they stand for is each thread's own.
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "host/kernel/kernel_internal.h"

#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace host {
namespace {

struct ProcessorStateData {
    std::mutex Mutex;
    ProcessorStateCounts Counts{}; // all but Depth, which is the number of saves in Saved
    // Each thread's save areas in use, innermost last.
    std::map<std::thread::id, std::vector<const void*>> Saved;
};

ProcessorStateData& State() {
    static ProcessorStateData* state = new ProcessorStateData;
    return *state;
}

// Checks that Area is the innermost save; records the unbalanced restore otherwise.
void PopSave(ProcessorStateData& state, const void* Area, const char* Routine) {
    std::vector<const void*>& saved = state.Saved[std::this_thread::get_id()];
    if (!saved.empty() && saved.back() == Area) {
        saved.pop_back();
        if (saved.empty())
            state.Saved.erase(std::this_thread::get_id());
        return;
    }
    ++state.Counts.UnbalancedRestores;
    std::fprintf(stderr, "kernel stand-in: %s of a save area that is not the innermost saved state\n",
                 Routine);
}

} // namespace

ProcessorStateCounts ProcessorState() {
    ProcessorStateData& state = State();
    std::lock_guard<std::mutex> lock(state.Mutex);
    ProcessorStateCounts counts = state.Counts;
    counts.Depth = 0;
    for (const auto& thread : state.Saved)
        counts.Depth += static_cast<int>(thread.second.size());
    return counts;
}

namespace detail {

void ResetProcessorState() {
    ProcessorStateData& state = State();
    std::lock_guard<std::mutex> lock(state.Mutex);
    state.Counts = ProcessorStateCounts{};
    state.Saved.clear();
}

} // namespace detail
} // namespace host

NTSTATUS NTAPI KeSaveFloatingPointState(PKFLOATING_SAVE FloatSave) {
    NTSTATUS status;
    if (host::ShouldFail("KeSaveFloatingPointState", &status))
        return status;
    host::ProcessorStateData& state = host::State();
    std::lock_guard<std::mutex> lock(state.Mutex);
    std::memset(FloatSave, 0, sizeof *FloatSave);
    FloatSave->ControlWord = 0x27F; // the control word the kernel gives a fresh FPU context
    state.Saved[std::this_thread::get_id()].push_back(FloatSave);
    ++state.Counts.FloatSaves;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeRestoreFloatingPointState(PKFLOATING_SAVE FloatSave) {
    host::ProcessorStateData& state = host::State();
    std::lock_guard<std::mutex> lock(state.Mutex);
    ++state.Counts.FloatRestores;
    host::PopSave(state, FloatSave, "KeRestoreFloatingPointState");
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeSaveExtendedProcessorState(ULONG64 Mask, PXSTATE_SAVE XStateSave) {
    NTSTATUS status;
    if (host::ShouldFail("KeSaveExtendedProcessorState", &status))
        return status;
    host::ProcessorStateData& state = host::State();
    std::lock_guard<std::mutex> lock(state.Mutex);
    std::memset(XStateSave, 0, sizeof *XStateSave);
    state.Saved[std::this_thread::get_id()].push_back(XStateSave);
    ++state.Counts.ExtendedSaves;
    state.Counts.LastExtendedMask = Mask;
    return STATUS_SUCCESS;
}

VOID NTAPI KeRestoreExtendedProcessorState(PXSTATE_SAVE XStateSave) {
    host::ProcessorStateData& state = host::State();
    std::lock_guard<std::mutex> lock(state.Mutex);
    ++state.Counts.ExtendedRestores;
    host::PopSave(state, XStateSave, "KeRestoreExtendedProcessorState");
}
