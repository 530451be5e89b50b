// Costs of the thread, timer and lock primitives of Velmora::Infra.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "infra/CRecursiveMutex.h"
#include "infra/CSemaphore.h"
#include "infra/CThread.h"
#include "infra/CTimer.h"
#include "infra/MonotonicClock.h"

using namespace Velmora::Infra;

namespace {

// A thread whose body returns at once; its destructor waits for the body before the object
// goes, and the base destructor joins it.
class ReturningThread : public CThread {
public:
    ReturningThread() : CThread("BenchReturn") {}
    ~ReturningThread() override {
        while (!isThreadOver()) {
            std::this_thread::yield();
        }
    }
    void threadProc() override {}
};

// A thread that runs until destroyThread asks it to end.
class LoopingThread : public CThread {
public:
    LoopingThread() : CThread("BenchLoop") {}
    ~LoopingThread() override {
        if (looping()) {
            destroyThread();
        }
    }
    void threadProc() override {
        while (looping()) {
            std::this_thread::yield();
        }
    }
};

void BM_CreateThreadWithReturningBody(benchmark::State& state) {
    for (auto _ : state) {
        ReturningThread thread;
        benchmark::DoNotOptimize(thread.createThread());
    }
}
BENCHMARK(BM_CreateThreadWithReturningBody)->Unit(benchmark::kMicrosecond);

void BM_CreateAndDestroyLoopingThread(benchmark::State& state) {
    LoopingThread thread;
    for (auto _ : state) {
        benchmark::DoNotOptimize(thread.createThread());
        benchmark::DoNotOptimize(thread.destroyThread());
    }
}
BENCHMARK(BM_CreateAndDestroyLoopingThread)->Unit(benchmark::kMicrosecond);

void BM_RecursiveMutexLockUnlock(benchmark::State& state) {
    CRecursiveMutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
BENCHMARK(BM_RecursiveMutexLockUnlock);

void BM_SemaphorePostPend(benchmark::State& state) {
    CSemaphore semaphore(0);
    for (auto _ : state) {
        semaphore.post();
        semaphore.pend();
    }
}
BENCHMARK(BM_SemaphorePostPend);

// How late a 10 ms periodic timer fires over 1000 periods. Each firing is measured against the
// latest point of the timer's grid before it; grid points that passed without a firing count as
// skipped. The manager sleeps 10 ms per tick and fires only timers due strictly before the tick,
// so a tick that ends up a little longer than the period lets a grid point pass unfired.
void BM_TimerFiringLateness(benchmark::State& state) {
    constexpr uint64_t kPeriodMs = 10;
    constexpr size_t kFirings = 1000;
    for (auto _ : state) {
        std::mutex mutex;
        std::vector<uint64_t> firedUs;
        firedUs.reserve(kFirings);
        CTimer timer("BenchJitter");
        const uint64_t firstDueUs = (getCurrentMilliSecond() + kPeriodMs) * 1000;
        timer.start(
            [&](unsigned long) {
                std::lock_guard lock(mutex);
                if (firedUs.size() < kFirings) {
                    firedUs.push_back(getCurrentMicroSecond());
                }
            },
            kPeriodMs, kPeriodMs);
        while (true) {
            CThread::sleep(50);
            std::lock_guard lock(mutex);
            if (firedUs.size() >= kFirings) {
                break;
            }
        }
        timer.stopAndWait();

        std::vector<double> latenessMs;
        uint64_t lastGridIndex = 0;
        for (const uint64_t us : firedUs) {
            const uint64_t sinceFirstDue = us > firstDueUs ? us - firstDueUs : 0;
            lastGridIndex = sinceFirstDue / (kPeriodMs * 1000);
            latenessMs.push_back(
                static_cast<double>(sinceFirstDue - lastGridIndex * kPeriodMs * 1000) / 1000.0);
        }
        std::sort(latenessMs.begin(), latenessMs.end());
        state.counters["mean_late_ms"] =
            std::accumulate(latenessMs.begin(), latenessMs.end(), 0.0) /
            static_cast<double>(kFirings);
        state.counters["p99_late_ms"] = latenessMs[kFirings * 99 / 100];
        state.counters["max_late_ms"] = latenessMs.back();
        state.counters["skipped"] = static_cast<double>(lastGridIndex + 1 - kFirings);
        state.counters["mean_interval_ms"] = static_cast<double>(firedUs.back() - firedUs.front()) /
                                             1000.0 / static_cast<double>(kFirings - 1);
    }
}
BENCHMARK(BM_TimerFiringLateness)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
