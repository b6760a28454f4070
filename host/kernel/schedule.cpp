// The scheduled clock: the host's threads run one at a time, in an order drawn from a seed. A thread
// holds the processor until it reaches a scheduling point; there the scheduler gives the processor to
// the highest-priority thread that can run (PCT's rule), which may be the same one. A thread that waits
// on the clock can run again once the clock was notified after it began to wait (it then looks at its
// condition and may wait again) or once the virtual time reaches its wake-up. When no thread can run,
// time moves on to the earliest wake-up, as on the virtual clock.
#include "host/kernel/kernel_host.h"
#include "host/kernel/kernel_internal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>

namespace host {
namespace detail {

struct ScheduledThreadRecord {
    enum class State { Runnable, Waiting, Done };
    uint64_t Id = 0;
    uint64_t Priority = 0;
    State Now = State::Runnable;
    uint64_t WaitGeneration = 0; // the notifications seen when it began to wait
    int64_t WakeUp100ns = CLOCK_FOREVER;
    std::condition_variable Turn;
};

namespace {

using Record = ScheduledThreadRecord;

// Only a thread waiting on something a thread outside the run does can find nothing to run; it gives the
// outside thread this long before the run counts as stuck for ever.
constexpr auto OUTSIDE_PATIENCE = std::chrono::seconds(30);

struct Scheduler {
    std::mutex Mutex;
    std::condition_variable Changed; // a notification, for a run where no thread can go on
    bool Active = false;
    ScheduleOptions Options;
    uint64_t Random = 0;
    std::vector<uint64_t> ChangePoints; // steps, in order
    size_t NextChange = 0;
    uint64_t Generation = 0; // notifications so far
    Record* Running = nullptr;
    std::vector<std::unique_ptr<Record>> Threads;
    std::vector<std::unique_ptr<Record>> Outside; // threads of an earlier run still alive
    ScheduleSummary Summary;
};

Scheduler& S() {
    static Scheduler* scheduler = new Scheduler;
    return *scheduler;
}

std::atomic<bool> scheduleOn{false};
thread_local Record* self = nullptr;
thread_local unsigned holding = 0; // host mutexes held, and predicates being evaluated

// splitmix64: a small generator with a full period, good enough to draw priorities and steps.
uint64_t Draw(Scheduler& s) {
    uint64_t z = (s.Random += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

void Mix(Scheduler& s, uint64_t Value) {
    s.Summary.Trace = (s.Summary.Trace ^ (Value + 1)) * 0x100000001B3ull;
}

// Initial priorities lie above every priority a change point gives (1 to Depth - 1); the thread number
// in the low bits keeps them distinct.
Record* AddThread(Scheduler& s) {
    s.Threads.push_back(std::make_unique<Record>());
    Record* record = s.Threads.back().get();
    record->Id = s.Summary.Threads++;
    record->Priority = (uint64_t(s.Options.Depth) << 48) + ((Draw(s) >> 24) << 8) + (record->Id & 0xFF);
    return record;
}

bool CanRun(const Scheduler& s, const Record& t, int64_t Now) {
    if (t.Now == Record::State::Done)
        return false;
    return t.Now == Record::State::Runnable || t.WaitGeneration != s.Generation || Now >= t.WakeUp100ns;
}

Record* Pick(Scheduler& s, int64_t Now) {
    Record* best = nullptr;
    for (const std::unique_ptr<Record>& t : s.Threads) {
        if (CanRun(s, *t, Now) && (best == nullptr || t->Priority > best->Priority))
            best = t.get();
    }
    return best;
}

// The earliest wake-up of a waiting thread of the run, or of one outside it waiting on the clock.
int64_t EarliestWakeUp(const Scheduler& s) {
    int64_t earliest = ClockEarliestWakeUp();
    for (const std::unique_ptr<Record>& t : s.Threads) {
        if (t->Now == Record::State::Waiting)
            earliest = std::min(earliest, t->WakeUp100ns);
    }
    return earliest;
}

// The thread to run next: time moves on when nobody can run; a thread outside the run is given the
// time to notify. Null once the run has ended.
Record* Next(Scheduler& s, std::unique_lock<std::mutex>& Lock) {
    for (;;) {
        if (!s.Active)
            return nullptr;
        if (Record* next = Pick(s, ClockVirtualNow()))
            return next;
        const int64_t wakeUp = EarliestWakeUp(s);
        if (wakeUp != CLOCK_FOREVER) {
            ClockAdvanceTo(wakeUp);
            continue;
        }
        const uint64_t generation = s.Generation;
        if (!s.Changed.wait_for(Lock, OUTSIDE_PATIENCE,
                                [&] { return s.Generation != generation || !s.Active; })) {
            Lock.unlock();
            BugCheck("every host thread waits and nothing is left to wake any of them");
        }
    }
}

// Whether a thread other than Me could run now: only then is a point a choice. Points where no other
// thread could go on are not counted, so that a change point always falls where it changes something
// (a change at such a point would act at the next choice all the same).
bool OtherCanRun(const Scheduler& s, const Record* Me) {
    const int64_t now = ClockVirtualNow();
    for (const std::unique_ptr<Record>& t : s.Threads) {
        if (t.get() != Me && CanRun(s, *t, now))
            return true;
    }
    return false;
}

// A step of the running thread where another could run: counted, mixed into the trace, and at a change
// point the thread's priority drops below every other's.
void Step(Scheduler& s, Record* Me) {
    if (!OtherCanRun(s, Me))
        return;
    ++s.Summary.Steps;
    Mix(s, Me->Id);
    if (s.NextChange < s.ChangePoints.size() && s.Summary.Steps == s.ChangePoints[s.NextChange])
        Me->Priority = ++s.NextChange;
}

// Gives the processor to whoever runs next and waits for it to come back (or the run to end).
void GiveWay(Scheduler& s, std::unique_lock<std::mutex>& Lock, Record* Me) {
    Record* next = Next(s, Lock);
    if (next == nullptr || next == Me) {
        Me->Now = Me->Now == Record::State::Done ? Me->Now : Record::State::Runnable;
        return;
    }
    ++s.Summary.Switches;
    Mix(s, next->Id << 32);
    next->Now = Record::State::Runnable;
    s.Running = next;
    next->Turn.notify_one();
    if (Me->Now == Record::State::Done)
        return;
    Me->Turn.wait(Lock, [&] { return s.Running == Me || !s.Active; });
    Me->Now = Record::State::Runnable;
}

bool InRun(const Scheduler& s) {
    return s.Active && self != nullptr && s.Running == self;
}

} // namespace

bool ScheduledThread() {
    if (!scheduleOn.load(std::memory_order_relaxed) || self == nullptr)
        return false;
    Scheduler& s = S();
    std::lock_guard<std::mutex> lock(s.Mutex);
    return InRun(s);
}

ScheduledThreadRecord* ScheduleNewThread() {
    if (!ScheduledThread())
        return nullptr;
    Scheduler& s = S();
    std::lock_guard<std::mutex> lock(s.Mutex);
    return AddThread(s);
}

void ScheduleAttach(ScheduledThreadRecord* Record) {
    if (Record == nullptr)
        return;
    Scheduler& s = S();
    std::unique_lock<std::mutex> lock(s.Mutex);
    self = Record;
    Record->Turn.wait(lock, [&] { return s.Running == Record || !s.Active; });
}

void ScheduleExit() {
    if (self == nullptr)
        return;
    Scheduler& s = S();
    std::unique_lock<std::mutex> lock(s.Mutex);
    Record* me = self;
    self = nullptr;
    me->Now = Record::State::Done;
    ++s.Generation;
    if (s.Active && s.Running == me)
        GiveWay(s, lock, me);
}

WaitOutcome ScheduledWait(const std::function<bool()>& Ready, int64_t Until100ns) {
    Scheduler& s = S();
    for (;;) {
        if (Ready) {
            ++holding; // a predicate looks at state under its locks and never gives way
            const bool ready = Ready();
            --holding;
            if (ready)
                return WaitOutcome::Ready;
        }
        if (ClockVirtualNow() >= Until100ns)
            return WaitOutcome::TimedOut;
        std::unique_lock<std::mutex> lock(s.Mutex);
        if (!InRun(s))
            return WaitOutcome::Unscheduled;
        self->Now = Record::State::Waiting;
        self->WaitGeneration = s.Generation;
        self->WakeUp100ns = Until100ns;
        Step(s, self);
        GiveWay(s, lock, self);
    }
}

void ScheduleNotify() {
    if (!scheduleOn.load(std::memory_order_relaxed))
        return;
    Scheduler& s = S();
    {
        std::lock_guard<std::mutex> lock(s.Mutex);
        ++s.Generation;
    }
    s.Changed.notify_all();
}

bool ScheduleOn() {
    return scheduleOn.load(std::memory_order_relaxed);
}

void HoldLock() {
    ++holding;
}

unsigned HostLocksHeld() {
    return holding;
}

void ReleaseLock() {
    --holding;
}

} // namespace detail

void ScheduleStart(const ScheduleOptions& Options) {
    if (ClockGetMode() != ClockMode::Virtual)
        detail::BugCheck("a scheduled run needs the virtual clock");
    if (ClockCountedThreads() != 1)
        detail::BugCheck("a scheduled run starts with the starting thread the only one on the clock");
    detail::Scheduler& s = detail::S();
    std::lock_guard<std::mutex> lock(s.Mutex);
    if (s.Active)
        detail::BugCheck("a scheduled run is already on");
    // Records of threads that ended go; a thread of an earlier run that still lives keeps its own, outside
    // the run.
    for (std::unique_ptr<detail::Record>& t : s.Threads) {
        if (t->Now != detail::Record::State::Done)
            s.Outside.push_back(std::move(t));
    }
    s.Threads.clear();
    s.Outside.erase(std::remove_if(s.Outside.begin(), s.Outside.end(),
                                   [](const std::unique_ptr<detail::Record>& t) {
                                       return t->Now == detail::Record::State::Done;
                                   }),
                    s.Outside.end());
    s.Options = Options;
    s.Options.Depth = std::max(1u, Options.Depth);
    s.Options.Steps = std::max<uint64_t>(1, Options.Steps);
    s.Random = Options.Seed;
    s.Summary = ScheduleSummary();
    s.ChangePoints.clear();
    for (unsigned i = 1; i < s.Options.Depth; ++i)
        s.ChangePoints.push_back(1 + detail::Draw(s) % s.Options.Steps);
    std::sort(s.ChangePoints.begin(), s.ChangePoints.end());
    s.NextChange = 0;
    s.Generation = 0;
    detail::self = detail::AddThread(s);
    s.Running = detail::self;
    s.Active = true;
    detail::scheduleOn.store(true, std::memory_order_relaxed);
}

ScheduleSummary ScheduleStop() {
    detail::Scheduler& s = detail::S();
    ScheduleSummary summary;
    {
        std::lock_guard<std::mutex> lock(s.Mutex);
        s.Active = false;
        detail::scheduleOn.store(false, std::memory_order_relaxed);
        summary = s.Summary;
        for (const std::unique_ptr<detail::Record>& t : s.Threads)
            t->Turn.notify_all();
        s.Running = nullptr;
    }
    s.Changed.notify_all();
    detail::self = nullptr;
    return summary;
}

bool ScheduleActive() {
    return detail::ScheduleOn();
}

ScheduleSummary ScheduleProgress() {
    detail::Scheduler& s = detail::S();
    std::lock_guard<std::mutex> lock(s.Mutex);
    return s.Summary;
}

void SchedulePoint() {
    if (!detail::scheduleOn.load(std::memory_order_relaxed) || detail::self == nullptr ||
        detail::holding != 0)
        return;
    detail::Scheduler& s = detail::S();
    std::unique_lock<std::mutex> lock(s.Mutex);
    if (!detail::InRun(s))
        return;
    detail::Step(s, detail::self);
    detail::GiveWay(s, lock, detail::self);
}

// ---- mutexes --------------------------------------------------------------------------------------------

void Mutex::lock() {
    SchedulePoint();
    mutex_.lock();
    detail::HoldLock();
}

bool Mutex::try_lock() {
    if (!mutex_.try_lock())
        return false;
    detail::HoldLock();
    return true;
}

void Mutex::unlock() {
    detail::ReleaseLock();
    mutex_.unlock();
}

void RecursiveMutex::lock() {
    SchedulePoint();
    mutex_.lock();
    detail::HoldLock();
}

void RecursiveMutex::unlock() {
    detail::ReleaseLock();
    mutex_.unlock();
}

} // namespace host

// The driver's shared accesses (driver/relaxed.h).
extern "C" void Z40kSharedAccess() {
    host::SchedulePoint();
}
