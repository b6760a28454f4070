// The clock behind KeDelayExecutionThread and timed waits. Real mode sleeps; virtual mode lets the time
// jump by the wait at once, so a ten-second readiness poll takes microseconds and still leaves its waits
// to be checked.
#include "platform/host/faults.h"
#include "platform/host/kernel_host.h"
#include "platform/kernel.h"
#include "platform/kernel/kernel_internal.h"

#include <chrono>
#include <mutex>
#include <thread>

namespace host {
namespace {

struct ClockState {
    std::mutex Mutex;
    ClockMode Mode = ClockMode::Real;
    std::chrono::steady_clock::time_point RealStart = std::chrono::steady_clock::now();
    int64_t Virtual100ns = 0;
    std::vector<WaitRecord> Waits;
};

ClockState& Clock() {
    static ClockState* state = new ClockState;
    return *state;
}

int64_t NowLocked(ClockState& clock) {
    if (clock.Mode == ClockMode::Virtual)
        return clock.Virtual100ns;
    auto elapsed = std::chrono::steady_clock::now() - clock.RealStart;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

} // namespace

namespace detail {

void ResetClock() {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    clock.Mode = ClockMode::Real;
    clock.RealStart = std::chrono::steady_clock::now();
    clock.Virtual100ns = 0;
    clock.Waits.clear();
}

// Lets Interval100ns (negative: relative, positive: absolute clock time) pass; returns the clock time at
// which the wait began. Shared by KeDelayExecutionThread and the timed event waits.
int64_t PassTime(int64_t Interval100ns) {
    ClockState& clock = Clock();
    int64_t start;
    int64_t until;
    {
        std::lock_guard<std::mutex> lock(clock.Mutex);
        start = NowLocked(clock);
        until = Interval100ns < 0 ? start - Interval100ns : Interval100ns;
        if (clock.Mode == ClockMode::Virtual) {
            if (until > clock.Virtual100ns)
                clock.Virtual100ns = until;
            return start;
        }
    }
    if (until > start)
        std::this_thread::sleep_for(std::chrono::nanoseconds((until - start) * 100));
    return start;
}

} // namespace detail

void ClockSetMode(ClockMode Mode) {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    if (Mode == clock.Mode)
        return;
    // A change of mode starts the clock again at zero, so that a run on the virtual clock gives the same
    // times whenever it runs; choose the mode before the run starts.
    clock.Mode = Mode;
    clock.Virtual100ns = 0;
    clock.RealStart = std::chrono::steady_clock::now();
}

ClockMode ClockGetMode() {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    return clock.Mode;
}

int64_t ClockNow100ns() {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    return NowLocked(clock);
}

int64_t ClockNowMicroseconds() {
    return ClockNow100ns() / 10;
}

void ClockAdvance(int64_t Units100ns) {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    if (clock.Mode != ClockMode::Virtual)
        detail::BugCheck("ClockAdvance on the real clock");
    if (Units100ns > 0)
        clock.Virtual100ns += Units100ns;
}

const std::vector<WaitRecord>& ClockWaits() {
    // Returned by reference for the tests, which read it from the thread that waited.
    return Clock().Waits;
}

void ClockClearWaits() {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    clock.Waits.clear();
}

} // namespace host

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    if (Interval == nullptr)
        host::detail::BugCheck("KeDelayExecutionThread without an interval");
    int64_t interval = Interval->QuadPart;
    NTSTATUS status = STATUS_SUCCESS;
    bool fail = host::ShouldFail("KeDelayExecutionThread", &status);
    int64_t start = fail ? host::ClockNow100ns() : host::detail::PassTime(interval);
    host::ClockState& clock = host::Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    clock.Waits.push_back({start, interval, WaitMode, Alertable});
    return fail ? status : STATUS_SUCCESS;
}
