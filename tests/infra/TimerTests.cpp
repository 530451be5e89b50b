#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "infra/CThread.h"
#include "infra/CTimer.h"
#include "infra/MonotonicClock.h"
#include "infra/ThreadTestSupport.h"

using namespace Velmora::Infra;
using InfraThreadTest::waitUntil;

namespace {

// Firing times (monotonic milliseconds) and parameters of a timer's callbacks.
class FiringLog {
public:
    CTimer::TimerProc proc(uint32_t sleepMs = 0) {
        return [this, sleepMs](unsigned long param) {
            {
                std::lock_guard lock(m_mutex);
                m_times.push_back(getCurrentMilliSecond());
                m_params.push_back(param);
            }
            CThread::sleep(sleepMs);
        };
    }
    size_t count() {
        std::lock_guard lock(m_mutex);
        return m_times.size();
    }
    std::vector<uint64_t> times() {
        std::lock_guard lock(m_mutex);
        return m_times;
    }
    unsigned long param(size_t index) {
        std::lock_guard lock(m_mutex);
        return m_params.at(index);
    }

private:
    std::mutex m_mutex;
    std::vector<uint64_t> m_times;
    std::vector<unsigned long> m_params;
};

bool hasManagerThread() {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        if (InfraThreadTest::systemThreadName(std::stoi(entry.path().filename())) ==
            "TimerManager") {
            return true;
        }
    }
    return false;
}

class TimerLogTest : public InfraThreadTest::LogCapture {};

// Framegate's only use: a timer named "TestCB", constructed and destroyed, never started.
TEST_F(TimerLogTest, FirstTimerStartsTheManagerAndAnUnstartedOneGoesQuietly) {
    if (hasManagerThread()) {
        GTEST_SKIP() << "ctest runs each test alone; here an earlier test made the manager";
    }
    CTimer first("TestCB");
    EXPECT_TRUE(waitUntil(hasManagerThread));
    EXPECT_TRUE(logContains("CTimerManager::CTimerManager()>>>>>>>>>\n"));
    EXPECT_TRUE(waitUntil([&] { return logContains("name = TimerManager, id = "); }));
    EXPECT_TRUE(logContains(", prior = N1, stack = "));

    const size_t logged = log().size();
    {
        CTimer timer("TestCB");
        EXPECT_FALSE(timer.isStarted());
        EXPECT_FALSE(timer.stopAndWait());
    }
    const std::string added = log().substr(logged);
    EXPECT_EQ(added.find("TestCB"), std::string::npos) << added;
}

TEST(CTimerTest, OneShotsFireOnceNotBeforeTheirDelay) {
    constexpr int kTimers = 24;
    std::vector<std::unique_ptr<CTimer>> timers;
    std::vector<std::unique_ptr<FiringLog>> logs;
    std::vector<uint64_t> due;
    for (int i = 0; i < kTimers; ++i) {
        timers.push_back(std::make_unique<CTimer>(("Once" + std::to_string(i)).c_str()));
        logs.push_back(std::make_unique<FiringLog>());
        // Started twice: the second start must replace the first in the list, not add to it.
        ASSERT_TRUE(timers[i]->start(logs[i]->proc(), 200, 0));
        const uint32_t delay = static_cast<uint32_t>((i * 7) % 60);
        due.push_back(getCurrentMilliSecond() + delay);
        ASSERT_TRUE(timers[i]->start(logs[i]->proc(5), delay, 0, static_cast<unsigned long>(i)));
    }
    for (int i = 0; i < kTimers; ++i) {
        ASSERT_TRUE(waitUntil([&] { return timers[i]->runTimeMicroSecond() >= 5000; }));
        EXPECT_FALSE(timers[i]->isStarted());
    }
    CThread::sleep(250);  // past the replaced first start
    for (int i = 0; i < kTimers; ++i) {
        ASSERT_EQ(logs[i]->count(), 1u) << "timer " << i;
        EXPECT_GE(logs[i]->times()[0], due[i]) << "timer " << i;
        EXPECT_EQ(logs[i]->param(0), static_cast<unsigned long>(i));
    }
}

TEST(CTimerTest, PeriodicFiresOnItsPeriodGridUntilStopped) {
    FiringLog firings;
    CTimer timer("Periodic");
    constexpr uint32_t kDelay = 15;
    constexpr uint32_t kPeriod = 20;
    const uint64_t started = getCurrentMilliSecond();
    ASSERT_TRUE(timer.start(firings.proc(), kDelay, kPeriod));
    ASSERT_TRUE(waitUntil([&] { return firings.count() >= 8; }));
    EXPECT_TRUE(timer.stopAndWait());
    const std::vector<uint64_t> times = firings.times();
    // Never early: the n-th firing comes after the n-th grid point (a late one may skip points,
    // never add any).
    for (size_t n = 0; n < times.size(); ++n) {
        // At the grid point itself is on time: both clocks count whole milliseconds.
        EXPECT_GE(times[n], started + kDelay + n * kPeriod) << "firing " << n;
    }
    CThread::sleep(3 * kPeriod);
    EXPECT_EQ(firings.count(), times.size());
}

TEST(CTimerTest, PeriodicSkipsAFiringWhileItsCallbackRuns) {
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> calls{0};
    CTimer timer("Slow");
    ASSERT_TRUE(timer.start(
        [&](unsigned long) {
            overlaps += ++inside > 1 ? 1 : 0;
            ++calls;
            CThread::sleep(45);
            --inside;
        },
        0, 10));
    CThread::sleep(300);
    timer.stopAndWait();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_GE(calls.load(), 2);
    EXPECT_LE(calls.load(), 300 / 45 + 1);
}

TEST(CTimerTest, StopWithCallNowFiresOnlyAStoppedOneShot) {
    FiringLog oneShot;
    FiringLog periodic;
    CTimer timer("CallNow");
    CTimer periodicTimer("CallNowPeriodic");
    EXPECT_FALSE(timer.stop(true));  // never started: nothing to fire
    ASSERT_TRUE(timer.start(oneShot.proc(), 60'000, 0, 5));
    ASSERT_TRUE(periodicTimer.start(periodic.proc(), 60'000, 60'000));
    EXPECT_TRUE(timer.stop(true));
    EXPECT_TRUE(periodicTimer.stop(true));
    EXPECT_FALSE(timer.isStarted());
    ASSERT_TRUE(waitUntil([&] { return oneShot.count() == 1; }));
    EXPECT_EQ(oneShot.param(0), 5u);
    ASSERT_TRUE(timer.start(oneShot.proc(), 60'000, 0));
    EXPECT_TRUE(timer.stop(false));
    CThread::sleep(50);
    EXPECT_EQ(oneShot.count(), 1u);
    EXPECT_EQ(periodic.count(), 0u);
}

TEST(CTimerTest, StopAndWaitWaitsForTheRunningCallback) {
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    CTimer timer("Waited");
    ASSERT_TRUE(timer.start(
        [&](unsigned long) {
            entered = true;
            CThread::sleep(100);
            finished = true;
        },
        0, 0));
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
    EXPECT_FALSE(timer.stopAndWait());  // a fired one-shot is no longer started
    EXPECT_TRUE(finished.load());
}

TEST(CTimerTest, TimerDestroyedInsideItsCallbackIsNotTouchedAfterwards) {
    std::atomic<bool> destroyed{false};
    auto* timer = new CTimer("SelfDestroy");
    ASSERT_TRUE(timer->start(
        [&](unsigned long) {
            delete timer;
            destroyed = true;
        },
        0, 10));
    ASSERT_TRUE(waitUntil([&] { return destroyed.load(); }));
    FiringLog after;  // the pooled thread still serves other timers
    CTimer next("After");
    ASSERT_TRUE(next.start(after.proc(), 0, 0));
    EXPECT_TRUE(waitUntil([&] { return after.count() == 1; }));
}

TEST(CTimerTest, PooledThreadTakesTheTimerNameAndIsReused) {
    struct Seen {
        std::atomic<int> tid{0};
        std::string name;
    } first, second;
    const auto recorder = [](Seen& seen) {
        return [&seen](unsigned long) {
            seen.name = InfraThreadTest::systemThreadName(CThread::currentThreadId());
            seen.tid = CThread::currentThreadId();
            CThread::sleep(2);
        };
    };
    CTimer alpha("AlphaTimer");
    ASSERT_TRUE(alpha.start(recorder(first), 0, 0));
    // The run time is booked as the thread goes back to the pool.
    ASSERT_TRUE(waitUntil([&] { return alpha.runTimeMicroSecond() > 0; }));
    EXPECT_EQ(InfraThreadTest::systemThreadName(first.tid), "[Pooled]");
    CTimer beta("BetaTimer");
    ASSERT_TRUE(beta.start(recorder(second), 0, 0));
    ASSERT_TRUE(waitUntil([&] { return beta.runTimeMicroSecond() > 0; }));
    EXPECT_EQ(first.name, "AlphaTimer");
    EXPECT_EQ(second.name, "BetaTimer");
    EXPECT_EQ(second.tid.load(), first.tid.load());
}

}  // namespace
