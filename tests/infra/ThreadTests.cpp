#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/resource.h>

#include <atomic>
#include <climits>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>

#include "infra/CThread.h"
#include "infra/ThreadManagerInternal.h"
#include "infra/ThreadTestSupport.h"

using namespace Velmora::Infra;
using InfraThreadTest::FunctionThread;
using InfraThreadTest::loopUntilAsked;
using InfraThreadTest::waitUntil;

namespace {

class ThreadTest : public InfraThreadTest::LogCapture {};

// Threads of this process once a first thread has run: ThreadSanitizer's runtime starts a
// helper thread of its own with the first one, which must not count as a leak.
size_t settledTaskCount() {
    std::thread([] {}).join();
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

TEST(CThreadTest, NameIsCutTo31CharactersNullIsNonamedAndTheSystemSeesIt) {
    const std::string forty = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    const struct {
        const char* name;
        std::string expected;
    } cases[] = {
        {forty.c_str(), forty.substr(0, 31)}, {nullptr, "Nonamed"}, {"Threadbase", "Threadbase"}};
    for (const auto& c : cases) {
        std::atomic<int> tid{0};
        FunctionThread thread(c.name, [&](FunctionThread& self) {
            tid = CThread::currentThreadId();
            loopUntilAsked(self);
        });
        EXPECT_EQ(thread.getThreadName(), c.expected);
        ASSERT_TRUE(thread.createThread());
        ASSERT_TRUE(waitUntil([&] { return tid.load() != 0; }));
        EXPECT_EQ(InfraThreadTest::systemThreadName(tid), c.expected.substr(0, 15));
        thread.setThreadName(forty.c_str());
        EXPECT_EQ(thread.getThreadName(), forty.substr(0, 31));
        EXPECT_EQ(InfraThreadTest::systemThreadName(tid), forty.substr(0, 15));
    }
}

TEST(CThreadTest, MapsPriorityAndPolicyToPlatformLevelAndNice) {
    using Level = CThread::PlatformPriority;
    const struct {
        int priority;
        int policy;
        Level expected;
        int nice;
    } cases[] = {
        {64, 0, Level::kNormal, 0},          {68, 0, Level::kNormal, 0},
        {1, 0, Level::kTimeCritical, -20},   {127, 0, Level::kIdle, 19},
        {126, 0, Level::kLowest, 10},        {75, 0, Level::kLowest, 10},
        {70, 0, Level::kBelowNormal, 5},     {60, 0, Level::kAboveNormal, -5},
        {59, 0, Level::kHighest, -10},       {64, 1, Level::kTimeCritical, -20},
        {127, 1, Level::kTimeCritical, -20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "priority " << c.priority << " policy " << c.policy);
        EXPECT_EQ(CThread::platformPriority(c.priority, c.policy), c.expected);
        EXPECT_EQ(CThread::niceValue(c.expected), c.nice);
    }
}

// Lowering a thread's priority needs no privilege, so this holds for every user; a tiny stack
// is raised far enough for the body's own debug lines.
TEST_F(ThreadTest, BodyAppliesNiceAndStackAndLogsEnterAndLeave) {
    std::atomic<int> tid{0};
    std::atomic<int> nice{INT_MIN};
    std::atomic<size_t> stack{0};
    FunctionThread thread(
        "Worker",
        [&](FunctionThread&) {
            nice = getpriority(PRIO_PROCESS, static_cast<id_t>(CThread::currentThreadId()));
            pthread_attr_t attributes;
            pthread_getattr_np(pthread_self(), &attributes);
            size_t size = 0;
            pthread_attr_getstacksize(&attributes, &size);
            pthread_attr_destroy(&attributes);
            stack = size;
            tid = CThread::currentThreadId();
        },
        127, 0, 1);
    ASSERT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return thread.isThreadOver(); }));
    EXPECT_EQ(nice.load(), 19);
    EXPECT_GE(stack.load(), 64u * 1024);
    const std::string id = std::to_string(tid.load());
    EXPECT_TRUE(
        logContains("ThreadBody Enter name = Worker, id = " + id + ", prior = N127, stack = "))
        << log();
    EXPECT_TRUE(logContains("ThreadBody leave name = Worker, id = " + id + " \n")) << log();
}

TEST_F(ThreadTest, RefusedRequestsReturnFalseWithTheirWarning) {
    FunctionThread looper("Looper", loopUntilAsked);
    ASSERT_TRUE(looper.createThread());
    EXPECT_FALSE(looper.createThread());
    EXPECT_TRUE(logContains("CThread::CreateThread() thread 'Looper' is still running!\n"));
    EXPECT_TRUE(looper.destroyThread());
    EXPECT_TRUE(looper.isThreadOver());
    EXPECT_FALSE(looper.destroyThread());
    EXPECT_TRUE(logContains("CThread::DestroyThread() thread 'Looper' has been destroyed!\n"));

    FunctionThread quick("Quick", [](FunctionThread&) {});
    ASSERT_TRUE(quick.createThread());
    ASSERT_TRUE(waitUntil([&] { return quick.isThreadOver(); }));
    EXPECT_FALSE(quick.destroyThread());
    EXPECT_TRUE(logContains("CThread::DestroyThread() thread 'Quick' has exited!\n")) << log();
}

TEST(CThreadTest, DestroyFromInsideReturnsAtOnceAndEndsTheLoop) {
    std::atomic<bool> result{false};
    std::atomic<bool> loopingAfter{true};
    FunctionThread thread("SelfStop", [&](FunctionThread& self) {
        result = self.destroyThread();
        loopingAfter = self.looping();
    });
    ASSERT_TRUE(thread.createThread());
    ASSERT_TRUE(waitUntil([&] { return thread.isThreadOver(); }));
    EXPECT_TRUE(result.load());
    EXPECT_FALSE(loopingAfter.load());
}

TEST(CThreadTest, ObjectDeletedFromItsOwnThreadProcReleasesEverything) {
    ThreadManagerInternal* registry = ThreadManagerInternal::instance();
    const size_t registeredBefore = registry->threadCount();
    const size_t tasksBefore = settledTaskCount();
    static std::atomic<bool> deleted{false};
    struct SelfDeleting : CThread {
        SelfDeleting() : CThread("SelfDelete") {}
        void threadProc() override {
            delete this;
            deleted = true;
        }
    };
    ASSERT_TRUE((new SelfDeleting)->createThread());
    EXPECT_TRUE(waitUntil([&] {
        return deleted.load() && registry->threadCount() == registeredBefore &&
               settledTaskCount() == tasksBefore;
    }));
}

TEST(CThreadTest, DestructorStopsALoopingThreadAndWaitsForItsEnd) {
    static std::atomic<bool> started{false};
    static std::atomic<bool> ended{false};
    struct Looper : CThread {
        Looper() : CThread("Looper") {}
        void threadProc() override {
            started = true;
            while (looping()) {
                sleep(1);
            }
            sleep(20);  // winds down after being asked
            ended = true;
        }
    };
    auto* thread = new Looper;
    ASSERT_TRUE(thread->createThread());
    ASSERT_TRUE(waitUntil([] { return started.load(); }));
    delete thread;
    EXPECT_TRUE(ended.load());
}

TEST(CThreadTest, RestartsAfterEachEndAndLeaksNoThread) {
    ThreadManagerInternal* registry = ThreadManagerInternal::instance();
    const size_t registeredBefore = registry->threadCount();
    const size_t tasksBefore = settledTaskCount();
    std::atomic<int> runs{0};
    {
        FunctionThread looping("Cycle", [&](FunctionThread& self) {
            ++runs;
            loopUntilAsked(self);
        });
        FunctionThread returning("Cycle", [&](FunctionThread&) { ++runs; });
        for (int cycle = 0; cycle < 200; ++cycle) {
            ASSERT_TRUE(looping.createThread()) << "cycle " << cycle;
            ASSERT_TRUE(looping.destroyThread()) << "cycle " << cycle;
            ASSERT_TRUE(returning.createThread()) << "cycle " << cycle;
            ASSERT_TRUE(waitUntil([&] { return returning.isThreadOver(); }));
        }
    }
    EXPECT_EQ(runs.load(), 400);
    EXPECT_EQ(registry->threadCount(), registeredBefore);
    EXPECT_EQ(settledTaskCount(), tasksBefore);
}

}  // namespace
