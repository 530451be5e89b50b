#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "infra/CMutex.h"
#include "infra/CRecursiveMutex.h"
#include "infra/CSemaphore.h"
#include "infra/MonotonicClock.h"
#include "infra/SingletonExit.h"

using namespace Velmora::Infra;

namespace {

// Increments a plain counter from four threads, entering `mutex` twice per increment;
// ThreadSanitizer and the final count catch a mutex that does not exclude.
template <typename Mutex>
int countUnder(Mutex& mutex) {
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                std::lock_guard outer(mutex);
                std::lock_guard inner(mutex);
                ++counter;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    return counter;
}

TEST(CMutexTest, OwnerLocksAgainAndOthersAreExcluded) {
    CMutex mutex;
    EXPECT_EQ(countUnder(mutex), 8000);
}

TEST(CRecursiveMutexTest, CountsDepthAndExcludes) {
    CRecursiveMutex mutex;
    EXPECT_EQ(countUnder(mutex), 8000);
    for (int depth = 1; depth <= 3; ++depth) {
        mutex.lock();
        EXPECT_EQ(mutex.depth(), depth);
    }
    EXPECT_TRUE(mutex.isOwnedByCurrentThread());
    std::thread([&] {
        EXPECT_FALSE(mutex.isOwnedByCurrentThread());
        EXPECT_EQ(mutex.depth(), 0);
    }).join();
    for (int depth = 2; depth >= 0; --depth) {
        mutex.unlock();
        EXPECT_EQ(mutex.depth(), depth);
    }
    EXPECT_FALSE(mutex.isOwnedByCurrentThread());
    std::thread([&] { std::lock_guard lock(mutex); }).join();
}

TEST(CSemaphoreTest, CountsPostsUpToTheMaximum) {
    const struct {
        int initial;
        int posts;
        int takes;
    } cases[] = {{0, 0, 0}, {2, 0, 2}, {0, 3, 3}, {1, 1, 2}, {-5, 0, 0}};
    for (const auto& c : cases) {
        CSemaphore semaphore(c.initial);
        for (int i = 0; i < c.posts; ++i) {
            EXPECT_EQ(semaphore.post(), 0);
        }
        int takes = 0;
        while (semaphore.tryPend() == 0) {
            ++takes;
        }
        EXPECT_EQ(takes, c.takes) << "initial " << c.initial << " posts " << c.posts;
    }
    CSemaphore full(INT_MAX);
    EXPECT_EQ(full.post(), -1);
    EXPECT_EQ(full.pend(), 0);
    EXPECT_EQ(full.post(), 0);
}

TEST(MonotonicClockTest, CountsFromLoadNeverGoesBackAndAgreesWithMicroseconds) {
    const uint64_t startMs = getCurrentMilliSecond();
    const uint64_t startUs = getCurrentMicroSecond();
    EXPECT_LT(startMs, 60'000u);  // this process started moments ago
    std::atomic<int> backwards{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            uint64_t last = getCurrentMilliSecond();
            for (int i = 0; i < 20000; ++i) {
                const uint64_t now = getCurrentMilliSecond();
                backwards += now < last ? 1 : 0;
                last = now;
            }
        });
    }
    for (auto& reader : readers) {
        reader.join();
    }
    EXPECT_EQ(backwards.load(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const uint64_t elapsedUs = getCurrentMicroSecond() - startUs;
    const uint64_t elapsedMs = getCurrentMilliSecond() - startMs;
    EXPECT_GE(elapsedUs, 20'000u);
    EXPECT_GE(elapsedMs, 19u);
    EXPECT_LE(elapsedMs, elapsedUs / 1000 + 2);
}

struct ExitProbe {
    ExitProbe() { ++constructed; }
    ~ExitProbe() { std::fputs("destroyed at exit\n", stderr); }
    static inline std::atomic<int> constructed{0};
};

TEST(SingletonExitDeathTest, CreatesOneObjectAndDeletesItAtExitUnlessItLivesForever) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto instanceFromThreads = [](SingletonExit::Lifetime lifetime) {
        std::atomic<ExitProbe*> seen[8] = {};
        std::vector<std::thread> threads;
        for (auto& slot : seen) {
            threads.emplace_back([&slot, lifetime] {
                slot =
                    SingletonExit::instance<ExitProbe>(lifetime, __FILE_NAME__, __func__, __LINE__);
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        for (auto& slot : seen) {
            if (slot.load() != seen[0].load()) {
                std::exit(2);
            }
        }
        std::fprintf(stderr, "constructed %d\n", ExitProbe::constructed.load());
        std::exit(0);
    };
    EXPECT_EXIT(instanceFromThreads(SingletonExit::Lifetime::kUntilExit),
                testing::ExitedWithCode(0), "^constructed 1\ndestroyed at exit\n$");
    EXPECT_EXIT(instanceFromThreads(SingletonExit::Lifetime::kForever), testing::ExitedWithCode(0),
                "^constructed 1\n$");
}

}  // namespace
