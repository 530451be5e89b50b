// Helpers shared by the thread, timer and sync tests.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "infra/CThread.h"
#include "infra/Logger.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace InfraThreadTest {

using CalorviewTest::waitUntil;

// The name the kernel shows for thread `tid`.
inline std::string systemThreadName(int tid) {
    std::string name = CalorviewTest::readFile("/proc/self/task/" + std::to_string(tid) + "/comm");
    return name.substr(0, name.find('\n'));
}

// A CThread running a function. Its destructor waits for the body, so the function object
// outlives every use by the thread.
class FunctionThread : public Velmora::Infra::CThread {
public:
    using Body = std::function<void(FunctionThread& self)>;

    FunctionThread(const char* name, Body body, int priority = kPriorityDefault, int policy = 0,
                   int stackSize = 0)
        : CThread(name, priority, policy, stackSize), m_body(std::move(body)) {}
    ~FunctionThread() override {
        if (looping()) {
            destroyThread();
        }
        while (!isThreadOver()) {
            sleep(1);
        }
    }
    void threadProc() override { m_body(*this); }

private:
    Body m_body;
};

// Body of a thread that runs until asked to stop.
inline void loopUntilAsked(FunctionThread& self) {
    while (self.looping()) {
        Velmora::Infra::CThread::sleep(1);
    }
}

// Sends every log line, debug included, to a file the test can read; standard output is muted.
class LogCapture : public testing::Test {
protected:
    void SetUp() override {
        filter({"-loglevel", "6"});
        filter({"-logsize", "1024"});
        filter({"-logpath", m_path.c_str()});
        m_savedStdout = dup(STDOUT_FILENO);
        ASSERT_NE(std::freopen("/dev/null", "w", stdout), nullptr);
    }
    void TearDown() override {
        filter({"-logpath", ""});
        filter({"-loglevel", "3"});
        std::fflush(stdout);
        dup2(m_savedStdout, STDOUT_FILENO);
        close(m_savedStdout);
    }

    std::string log() const { return CalorviewTest::readFile(m_path); }
    bool logContains(const std::string& text) const {
        return log().find(text) != std::string::npos;
    }

private:
    static void filter(std::vector<const char*> args) {
        Velmora::Infra::logFilter(static_cast<int>(args.size()), args.data());
    }

    CalorviewTest::TempDir m_dir;
    std::string m_path = m_dir.file("infra.log");
    int m_savedStdout = -1;
};

}  // namespace InfraThreadTest
