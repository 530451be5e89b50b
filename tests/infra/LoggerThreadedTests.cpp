#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "infra/Logger.h"
#include "support/TempDir.h"

using namespace Velmora::Infra;

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
