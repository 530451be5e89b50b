#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "infra/CTime.h"
#include "infra/Logger.h"
#include "infra/OutputDeferral.h"
#include "support/TempDir.h"
#include "support/Wait.h"

using namespace Velmora::Infra;
using namespace std::chrono_literals;

namespace {

int filter(std::vector<const char*> args) {
    return logFilter(static_cast<int>(args.size()), args.data());
}

// Logs `perThread` lines from each of `threads` threads, each line built from two calls so
// that a continuation from another thread would show up as a broken line.
void logFromThreads(int threads, int perThread) {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, perThread] {
            for (int i = 0; i < perThread; ++i) {
                INFRA_DEBUG("worker %d line %d\n", t, i);
            }
        });
    }
    for (auto& worker : workers) {
        worker.join();
    }
}

std::string clockText(const CTime& time) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", time.hour, time.minute, time.second);
    return text;
}

// Run in a child process: exits while a deferred line still waits for the busy writer thread.
[[noreturn]] void exitWithALineQueued() {
    setenv("FRAMEGATE_DEBUG_OUTPUT", "1", 1);  // every written line is copied to stderr
    OutputDeferral::post([] { std::this_thread::sleep_for(200ms); });
    std::thread([] {
        const OutputDeferral::Scope defer;
        INFRA_ERROR("last words before exit\n");
    }).join();
    std::exit(0);
}

class LoggerThreadedTest : public testing::Test {
protected:
    void SetUp() override {
        filter({"-loglevel", "6"});
        filter({"-logpath", m_log.c_str()});
        // Standard output goes to a file too; keep it out of the test log.
        m_savedStdout = dup(STDOUT_FILENO);
        std::FILE* sink = std::freopen("/dev/null", "w", stdout);
        ASSERT_NE(sink, nullptr);
    }
    void TearDown() override {
        std::fflush(stdout);
        dup2(m_savedStdout, STDOUT_FILENO);
        close(m_savedStdout);
        filter({"-logpath", ""});
    }

    CalorviewTest::TempDir m_dir;
    std::string m_log = m_dir.file("threads.log");
    int m_savedStdout = -1;
};

}  // namespace

TEST_F(LoggerThreadedTest, ManyThreadsLeaveOnlyWholeLines) {
    filter({"-logsize", "102400"});  // large enough that nothing is truncated
    constexpr int kThreads = 8;
    constexpr int kLines = 1000;
    logFromThreads(kThreads, kLines);

    const std::string text = CalorviewTest::readFile(m_log);
    const std::regex line(
        R"(\d\d:\d\d:\d\d\|\[Unknown\] \[ver:Unknown\] debug LoggerThreadedTests\.cpp \S+ \d+ tid:\d+ worker (\d+) line (\d+))");
    std::map<int, int> nextLine;
    std::istringstream in(text);
    std::string current;
    int count = 0;
    while (std::getline(in, current)) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(current, match, line)) << current;
        const int worker = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), nextLine[worker]++) << "lines of one thread stay in order";
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST_F(LoggerThreadedTest, TruncationUnderLoadKeepsLinesWhole) {
    filter({"-logsize", "4"});  // 4 KiB: the file restarts many times
    logFromThreads(4, 500);
    const std::string text = CalorviewTest::readFile(m_log);
    ASSERT_FALSE(text.empty());
    EXPECT_LT(text.size(), 4096u + 200u) << "the byte count saw every line";
    std::istringstream in(text);
    std::string current;
    while (std::getline(in, current)) {
        EXPECT_TRUE(std::regex_search(current, std::regex(R"(^\d\d:\d\d:\d\d\|.* line \d+$)")))
            << current;
    }
    EXPECT_EQ(text.back(), '\n');
}

TEST_F(LoggerThreadedTest, DeferredLineCarriesTheTimeItWasLogged) {
    // The writer thread is held until the clock has moved past the logging call.
    auto release = std::make_shared<std::atomic<bool>>(false);
    OutputDeferral::post([release] { CalorviewTest::waitUntil([&] { return release->load(); }); });
    std::string before;
    std::string after;
    std::thread([&] {
        const OutputDeferral::Scope defer;
        before = clockText(CTime::getCurrentTime());
        INFRA_DEBUG("deferred line\n");
        after = clockText(CTime::getCurrentTime());
    }).join();
    ASSERT_TRUE(
        CalorviewTest::waitUntil([&] { return clockText(CTime::getCurrentTime()) != after; }, 2s));
    *release = true;
    ASSERT_TRUE(OutputDeferral::flush(OutputDeferral::kFlushTimeoutMs));
    const std::string text = CalorviewTest::readFile(m_log);
    std::smatch stamp;
    ASSERT_TRUE(std::regex_search(text, stamp, std::regex(R"((\d\d:\d\d:\d\d)\|.*deferred line)")))
        << text;
    EXPECT_TRUE(stamp[1] == before || stamp[1] == after) << stamp[1] << " logged at " << before;
}

TEST(OutputDeferralExit, QueuedLinesAreWrittenBeforeTheProcessEnds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exitWithALineQueued(), testing::ExitedWithCode(0), "last words before exit");
}
