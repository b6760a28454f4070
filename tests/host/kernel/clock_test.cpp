#include "host/kernel/faults.h"
#include "host/kernel/kernel_host.h"
#include "platform/kernel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

class Clock : public ::testing::Test {
  protected:
    void SetUp() override { host::ResetKernel(); }
    void TearDown() override { host::ResetKernel(); }

    static NTSTATUS Delay(int64_t interval) {
        LARGE_INTEGER value;
        value.QuadPart = interval;
        return KeDelayExecutionThread(KernelMode, FALSE, &value);
    }
};

TEST_F(Clock, VirtualRelativeWaitsAdvanceAtOnceAndAreRecorded) {
    host::ClockSetMode(host::ClockMode::Virtual);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(Delay(-10000000), STATUS_SUCCESS); // ten one-second waits
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(host::ClockNow100ns(), 100000000);
    EXPECT_EQ(host::ClockNowMicroseconds(), 10000000);
    const auto& waits = host::ClockWaits();
    ASSERT_EQ(waits.size(), 10u);
    EXPECT_EQ(waits[3].Start100ns, 30000000);
    EXPECT_EQ(waits[3].Interval100ns, -10000000);
    EXPECT_EQ(waits[3].Mode, KernelMode);
    EXPECT_EQ(waits[3].Alertable, FALSE);
}

TEST_F(Clock, PositiveIntervalIsAnAbsoluteTime) {
    host::ClockSetMode(host::ClockMode::Virtual);
    host::ClockAdvance(500);
    EXPECT_EQ(Delay(2000), STATUS_SUCCESS);
    EXPECT_EQ(host::ClockNow100ns(), 2000);
    EXPECT_EQ(Delay(1000), STATUS_SUCCESS); // already past: no time passes
    EXPECT_EQ(host::ClockNow100ns(), 2000);
    ASSERT_EQ(host::ClockWaits().size(), 2u);
    EXPECT_EQ(host::ClockWaits()[0].Start100ns, 500);
    EXPECT_EQ(host::ClockWaits()[0].Interval100ns, 2000);
}

TEST_F(Clock, RealModeSleeps) {
    host::ClockSetMode(host::ClockMode::Real);
    int64_t before = host::ClockNow100ns();
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Delay(-200000), STATUS_SUCCESS); // 20 ms
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    EXPECT_GE(host::ClockNow100ns() - before, 200000);
    EXPECT_EQ(host::ClockWaits().size(), 1u);
}

TEST_F(Clock, InjectedFailureReturnsItsStatusWithoutWaiting) {
    host::ClockSetMode(host::ClockMode::Virtual);
    host::InjectFault("KeDelayExecutionThread", {1, 1, STATUS_UNSUCCESSFUL});
    EXPECT_EQ(Delay(-10000000), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(host::ClockNow100ns(), 0);
    EXPECT_EQ(Delay(-10000000), STATUS_SUCCESS);
    EXPECT_EQ(host::ClockNow100ns(), 10000000);
    EXPECT_EQ(host::ClockWaits().size(), 2u);
}

TEST_F(Clock, ChangingTheModeRestartsAtZeroAndSettingItAgainDoesNot) {
    host::ClockSetMode(host::ClockMode::Virtual);
    host::ClockAdvance(50000000); // 5 s
    host::ClockSetMode(host::ClockMode::Virtual);
    EXPECT_EQ(host::ClockNow100ns(), 50000000);
    host::ClockSetMode(host::ClockMode::Real);
    EXPECT_LT(host::ClockNow100ns(), 50000000);
    host::ClockSetMode(host::ClockMode::Virtual);
    EXPECT_EQ(host::ClockNow100ns(), 0);
}

TEST_F(Clock, ResetGoesBackToRealTimeZeroWithoutWaits) {
    host::ClockSetMode(host::ClockMode::Virtual);
    Delay(-10000000);
    host::ResetKernel();
    EXPECT_EQ(host::ClockGetMode(), host::ClockMode::Real);
    EXPECT_TRUE(host::ClockWaits().empty());
    EXPECT_LT(host::ClockNow100ns(), 10000000);
}

// Time moves only when every counted thread waits, to the earliest wake-up: each thread wakes at exactly
// its own times however the machine schedules them, and joining a thread lets time pass for it.
TEST_F(Clock, VirtualTimeWaitsForEveryCountedThread) {
    host::ClockSetMode(host::ClockMode::Virtual);
    std::vector<int64_t> woke[2];
    host::ClockThread threads[2];
    for (int t = 0; t < 2; ++t) {
        threads[t].Start(PASSIVE_LEVEL, [t, &woke]() {
            for (int i = 0; i < 3; ++i) {
                Delay(-(t + 1) * 1000);
                woke[t].push_back(host::ClockNow100ns());
            }
        });
    }
    EXPECT_EQ(host::ClockCountedThreads(), 3u);
    Delay(-2500);
    EXPECT_EQ(host::ClockNow100ns(), 2500);
    threads[0].Join();
    threads[1].Join();
    EXPECT_EQ(woke[0], (std::vector<int64_t>{1000, 2000, 3000}));
    EXPECT_EQ(woke[1], (std::vector<int64_t>{2000, 4000, 6000}));
    EXPECT_EQ(host::ClockNow100ns(), 6000);
    EXPECT_EQ(host::ClockCountedThreads(), 1u);
}

// A notification wakes the waiters whose condition holds, and only those: one whose condition never
// holds wakes when its time is up, and time moves on only once the woken one waits again. The notifier
// looks at a condition that takes a host mutex.
TEST_F(Clock, ANotificationWakesTheWaitersWhoseConditionHolds) {
    host::ClockSetMode(host::ClockMode::Virtual);
    host::Mutex mutex;
    bool first = false, second = false;
    int64_t firstWoke = -1, secondWoke = -1;
    host::ClockThread threads[2];
    threads[0].Start(PASSIVE_LEVEL, [&] {
        host::ClockWait([&] {
            std::lock_guard<host::Mutex> lock(mutex);
            return first;
        });
        firstWoke = host::ClockNow100ns();
    });
    threads[1].Start(PASSIVE_LEVEL, [&] {
        host::ClockWait([&] { return second; }, 5000);
        secondWoke = host::ClockNow100ns();
    });
    Delay(-1000);
    {
        std::lock_guard<host::Mutex> lock(mutex);
        first = true;
    }
    host::ClockNotify();
    threads[0].Join();
    EXPECT_EQ(firstWoke, 1000);
    threads[1].Join(); // its condition never held: it wakes when its time is up
    EXPECT_EQ(secondWoke, 5000);
    EXPECT_EQ(host::ClockNow100ns(), 5000);
}

// A thread started at dispatch level runs there: its wait breaks the verifier's rule for it, the same
// wait at passive level does not.
TEST_F(Clock, AThreadsLevelIsWhatTheVerifierSees) {
    host::ClockSetMode(host::ClockMode::Virtual);
    host::BugCheckCapture capture;
    host::ClockThread dpc;
    dpc.Start(DISPATCH_LEVEL, []() { Delay(-10); });
    dpc.Join();
    Delay(-10);
    ASSERT_EQ(capture.Reports().size(), 1u);
    EXPECT_EQ(capture.Reports()[0].Rule, "IrqlKeApcLte1");
}

} // namespace
