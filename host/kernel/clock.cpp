// The clock behind KeDelayExecutionThread, timed waits and every host thread's waits. Real mode sleeps.
// Virtual mode is a discrete-event clock: every host thread that takes part is counted, and time jumps
// to the earliest pending wake-up only once every counted thread waits on the clock. Work between
// waits, however long it really takes, costs no virtual time, so a run gives the same times and the
// same order of events however loaded the machine is.
#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"
#include "host/kernel/kernel_internal.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

namespace host {
namespace {

// A thread in a wait on the virtual clock. It sleeps on a variable of its own, so that a notification
// wakes only the waiters whose condition now holds: the condition is looked at by the notifier, under the
// clock's lock, as the waiter itself would look at it.
struct Waiter {
    Waiter(const std::function<bool()>* R, int64_t U, bool C) : Ready(R), Until(U), Counted(C) {}
    const std::function<bool()>* Ready; // null: a wait for time alone
    int64_t Until;
    bool Counted;
    bool Woken = false;
    std::condition_variable Wake;
};

struct ClockState {
    std::mutex Mutex;
    std::condition_variable Changed;
    ClockMode Mode = ClockMode::Real;
    std::chrono::steady_clock::time_point RealStart = std::chrono::steady_clock::now();
    int64_t Virtual100ns = 0;
    std::vector<WaitRecord> Waits;
    // Threads counted by the virtual clock (those started through StartClockThread or announced by
    // ClockExpectThread, plus the thread that reset the kernel), and how many of them wait now.
    unsigned Counted = 0;
    unsigned Blocked = 0;
    unsigned Waiting = 0; // every thread in a clock wait, counted or not
    uint64_t Epoch = 1;   // a reset forgets the threads counted before it
    std::multiset<int64_t> WakeUps;
    std::vector<Waiter*> Waiters; // on the virtual clock
};

ClockState& Clock() {
    static ClockState* state = new ClockState;
    return *state;
}

thread_local uint64_t countedInEpoch = 0;

bool CountedThread(const ClockState& clock) {
    return countedInEpoch == clock.Epoch;
}

int64_t NowLocked(ClockState& clock) {
    if (clock.Mode == ClockMode::Virtual)
        return clock.Virtual100ns;
    auto elapsed = std::chrono::steady_clock::now() - clock.RealStart;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

void WakeAllLocked(ClockState& clock) {
    clock.Blocked = 0;
    for (Waiter* waiter : clock.Waiters) {
        waiter->Woken = true;
        waiter->Wake.notify_one();
    }
    clock.Changed.notify_all();
}

void WakeLocked(ClockState& clock, Waiter* W) {
    W->Woken = true;
    if (W->Counted && clock.Blocked != 0)
        --clock.Blocked;
    W->Wake.notify_one();
}

// Wakes the waiters whose condition holds or whose time has come: what waking all of them would come to,
// without the switches to those that would only wait again.
void WakeReadyLocked(ClockState& clock) {
    const int64_t now = clock.Virtual100ns;
    for (Waiter* waiter : clock.Waiters) {
        if (!waiter->Woken && (waiter->Until <= now || (waiter->Ready != nullptr && (*waiter->Ready)())))
            WakeLocked(clock, waiter);
    }
}

// A thread that holds a host mutex may hold one a condition takes, or be midway through what a condition
// looks at; in a scheduled run a condition's mutex is a scheduling point. Then every waiter looks again
// itself.
void WakeReadyOrAllLocked(ClockState& clock) {
    if (clock.Mode == ClockMode::Virtual && detail::HostLocksHeld() == 0 && !detail::ScheduleOn())
        WakeReadyLocked(clock);
    else
        WakeAllLocked(clock);
}

// Every counted thread waits: time moves on to the earliest wake-up. With none pending, nothing can
// ever run again; the real kernel would hang, the host says so.
void AdvanceIfAllWaitLocked(ClockState& clock) {
    if (clock.Mode != ClockMode::Virtual || clock.Waiting == 0 || clock.Blocked < clock.Counted)
        return;
    if (clock.WakeUps.empty())
        detail::BugCheck("every host thread waits and nothing is left to wake any of them");
    const int64_t next = *clock.WakeUps.begin();
    if (next > clock.Virtual100ns)
        clock.Virtual100ns = next;
    WakeReadyOrAllLocked(clock);
}

bool WaitLocked(ClockState& clock, std::unique_lock<std::mutex>& lock, const std::function<bool()>& Ready,
                int64_t Until) {
    const bool counted = CountedThread(clock);
    for (;;) {
        if (Ready && Ready())
            return true;
        if (NowLocked(clock) >= Until)
            return false;
        if (clock.Mode == ClockMode::Real) {
            ++clock.Waiting;
            if (Until == CLOCK_FOREVER)
                clock.Changed.wait(lock);
            else
                clock.Changed.wait_until(lock, clock.RealStart + std::chrono::nanoseconds(Until * 100));
            --clock.Waiting;
            continue;
        }
        auto wakeUp = Until == CLOCK_FOREVER ? clock.WakeUps.end() : clock.WakeUps.insert(Until);
        const uint64_t epoch = clock.Epoch;
        Waiter waiter(Ready ? &Ready : nullptr, Until, counted);
        clock.Waiters.push_back(&waiter);
        ++clock.Waiting;
        if (counted)
            ++clock.Blocked;
        AdvanceIfAllWaitLocked(clock);
        while (!waiter.Woken && clock.Epoch == epoch)
            waiter.Wake.wait(lock);
        clock.Waiters.erase(std::find(clock.Waiters.begin(), clock.Waiters.end(), &waiter));
        --clock.Waiting;
        if (wakeUp != clock.WakeUps.end() && clock.Epoch == epoch)
            clock.WakeUps.erase(wakeUp);
    }
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
    // The thread that resets is the one thread the clock counts from now on.
    ++clock.Epoch;
    clock.WakeUps.clear();
    clock.Counted = 1;
    countedInEpoch = clock.Epoch;
    WakeAllLocked(clock);
}

int64_t PassTime(int64_t Interval100ns) {
    ClockState& clock = Clock();
    std::unique_lock<std::mutex> lock(clock.Mutex);
    const int64_t start = NowLocked(clock);
    const int64_t until = Interval100ns < 0 ? start - Interval100ns : Interval100ns;
    if (ScheduledThread()) {
        lock.unlock();
        if (ScheduledWait(nullptr, until) != WaitOutcome::Unscheduled)
            return start;
        lock.lock();
    }
    WaitLocked(clock, lock, nullptr, until);
    return start;
}

int64_t ClockVirtualNow() {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    return NowLocked(clock);
}

void ClockAdvanceTo(int64_t Time100ns) {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    if (Time100ns > clock.Virtual100ns)
        clock.Virtual100ns = Time100ns;
    WakeAllLocked(clock);
}

int64_t ClockEarliestWakeUp() {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    return clock.WakeUps.empty() ? CLOCK_FOREVER : *clock.WakeUps.begin();
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
    WakeAllLocked(clock);
}

ClockMode ClockGetMode() {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    return clock.Mode;
}

int64_t ClockNow100ns() {
    SchedulePoint();
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
    if (Units100ns > 0) {
        clock.Virtual100ns += Units100ns;
        WakeAllLocked(clock);
    }
}

bool ClockWait(const std::function<bool()>& Ready, int64_t Until100ns) {
    if (detail::ScheduledThread()) {
        const detail::WaitOutcome outcome = detail::ScheduledWait(Ready, Until100ns);
        if (outcome != detail::WaitOutcome::Unscheduled)
            return outcome == detail::WaitOutcome::Ready;
    }
    ClockState& clock = Clock();
    std::unique_lock<std::mutex> lock(clock.Mutex);
    return WaitLocked(clock, lock, Ready, Until100ns);
}

void ClockNotify() {
    {
        ClockState& clock = Clock();
        std::lock_guard<std::mutex> lock(clock.Mutex);
        WakeReadyOrAllLocked(clock);
    }
    // A thread of a scheduled run that waits may look again; who runs now is the scheduler's choice.
    detail::ScheduleNotify();
    SchedulePoint();
}

void ClockExpectThread() {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    ++clock.Counted;
}

void ClockEnterThread() {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    countedInEpoch = clock.Epoch;
}

void ClockLeaveThread() {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    if (!CountedThread(clock))
        return;
    countedInEpoch = 0;
    --clock.Counted;
    // The threads left may all be waiting already.
    AdvanceIfAllWaitLocked(clock);
}

unsigned ClockCountedThreads() {
    ClockState& clock = Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    return clock.Counted;
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

// ---- threads ----------------------------------------------------------------------------------------------

struct ClockThread::Shared {
    bool Done = false;
};

ClockThread::ClockThread() = default;

ClockThread::~ClockThread() {
    Join();
}

void ClockThread::Start(KIRQL Level, std::function<void()> Body) {
    Join();
    shared_ = std::make_shared<Shared>();
    std::shared_ptr<Shared> shared = shared_;
    // Counted before it exists, so that time cannot move on between the start and the thread's first
    // wait.
    ClockExpectThread();
    detail::ScheduledThreadRecord* scheduled = detail::ScheduleNewThread();
    thread_ = std::thread([shared, Level, scheduled, Body = std::move(Body)]() {
        detail::ScheduleAttach(scheduled);
        ClockEnterThread();
        SetThreadLevel(Level);
        Body();
        SetThreadLevel(PASSIVE_LEVEL);
        {
            ClockState& clock = Clock();
            std::lock_guard<std::mutex> lock(clock.Mutex);
            shared->Done = true;
            WakeAllLocked(clock);
        }
        ClockLeaveThread();
        detail::ScheduleExit(); // which also tells the run's waiters to look again
    });
    // The new thread may be the one to run now.
    SchedulePoint();
}

void ClockThread::Join() {
    if (!thread_.joinable())
        return;
    // Waiting for the thread is a clock wait, so that time may pass for it while it finishes.
    std::shared_ptr<Shared> shared = shared_;
    ClockWait([&shared]() { return shared->Done; });
    thread_.join();
    shared_.reset();
}

bool ClockThread::Running() const {
    return thread_.joinable();
}

} // namespace host

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    if (Interval == nullptr)
        host::detail::BugCheck("KeDelayExecutionThread without an interval");
    host::detail::VerifyIrql("KeDelayExecutionThread");
    int64_t interval = Interval->QuadPart;
    NTSTATUS status = STATUS_SUCCESS;
    bool fail = host::ShouldFail("KeDelayExecutionThread", &status);
    int64_t start = fail ? host::ClockNow100ns() : host::detail::PassTime(interval);
    host::ClockState& clock = host::Clock();
    std::lock_guard<std::mutex> lock(clock.Mutex);
    clock.Waits.push_back({start, interval, WaitMode, Alertable});
    return fail ? status : STATUS_SUCCESS;
}
