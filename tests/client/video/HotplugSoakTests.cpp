// A hot-plug soak: a virtual camera is plugged in and pulled out cycle after cycle, opened
// through the client's connection manager or through the plain exports while frames flow. It
// catches what only shows after many cycles: a thread or descriptor left behind, a callback after
// the close returned, and under AddressSanitizer a use after free or (at exit) a leak.
//
// CALORVIEW_SOAK_CYCLES sets the number of cycles; `make soak` asks for 1000.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "framegate/SDK_USB.h"
#include "support/ScenarioFile.h"
#include "support/TempDir.h"
#include "support/Wait.h"
#include "video/DeviceConnectionManager.h"

using namespace std::chrono_literals;
using CalorviewTest::waitUntil;

namespace {

// Under ThreadSanitizer a cycle takes about twice as long; half the cycles keep its run as short
// as the AddressSanitizer one and still pass through every way of ending a cycle many times.
#if defined(__SANITIZE_THREAD__)
constexpr int kDefaultCycles = 100;
#else
constexpr int kDefaultCycles = 200;
#endif
constexpr int kFramesPerCycle = 3;
// Small and fast, so that a cycle costs milliseconds and its frames arrive 5 ms apart.
const std::string kScenario = CalorviewTest::scenarioJson("Soak Camera", 64, 48, 200);

std::atomic<int> g_frames{0};
std::atomic<bool> g_closed{true};  // set once the current cycle's close has returned
std::atomic<int> g_lateCalls{0};

void noteFrame() {
    if (g_closed.load()) {
        ++g_lateCalls;
    }
    ++g_frames;
}
void frameConsumer(const unsigned char*, int, int, void*, int, const char*, int, int, int, int, int,
                   int) {
    noteFrame();
}
int streamCallback(int, int, const char*, int, int) {
    noteFrame();
    return 0;
}

enum class Path { kConnectionManager, kExports };
enum class Order {
    kDisconnectThenUnplug,
    // At once, after a delay that lands the close anywhere in the stream's 50 ms file check.
    kUnplugThenDisconnect,
    // The stream ends on its own, as the client's stream check notices, and then it closes.
    kUnplugUntilSilentThenDisconnect,
};
struct Way {
    Path path;
    Order order;
};
constexpr Way kWays[] = {
    {Path::kConnectionManager, Order::kDisconnectThenUnplug},
    {Path::kExports, Order::kUnplugThenDisconnect},
    {Path::kConnectionManager, Order::kUnplugUntilSilentThenDisconnect},
    {Path::kExports, Order::kDisconnectThenUnplug},
    {Path::kConnectionManager, Order::kUnplugThenDisconnect},
    {Path::kExports, Order::kUnplugUntilSilentThenDisconnect},
};
constexpr int kWayCount = static_cast<int>(std::size(kWays));

int cyclesToRun() {
    const char* value = std::getenv("CALORVIEW_SOAK_CYCLES");
    const int cycles = value != nullptr ? std::atoi(value) : 0;
    return cycles > 0 ? cycles : kDefaultCycles;
}

int threadCount() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) {
            return std::stoi(line.substr(8));
        }
    }
    return -1;
}

// For the failure message: which threads there are.
std::string threadNames() {
    std::string names;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        std::string name;
        std::getline(std::ifstream(task.path() / "comm"), name);
        names += " " + name;
    }
    return names;
}

int openDescriptors() {
    const std::filesystem::directory_iterator entries("/proc/self/fd");
    return static_cast<int>(std::distance(begin(entries), end(entries)));
}

// True once no frame arrived for 30 ms, six frame periods.
bool waitForSilence() {
    return waitUntil(
        [] {
            const int before = g_frames;
            std::this_thread::sleep_for(30ms);
            return g_frames == before;
        },
        3s);
}

// Runs from a temporary working directory with the library's QZLog folder, as in the
// application folder.
class HotplugSoak : public testing::Test {
protected:
    void SetUp() override {
        m_oldDir = std::filesystem::current_path();
        std::filesystem::create_directory(m_dir.path() / "QZLog");
        std::filesystem::current_path(m_dir.path());
        CalorviewTest::useVirtualCameras({m_scenario});
    }
    void TearDown() override {
        m_manager->DisconnectDev();
        m_manager->UnregisterFrameConsumer();
        std::filesystem::current_path(m_oldDir);
    }

    // Plug in, find, open, receive a few frames, unplug and close, in the order `way` says.
    void runCycle(int cycle, Way way) {
        CalorviewTest::writeFile(m_scenario, kScenario);
        int index = 0;
        char name[320] = {};
        ASSERT_TRUE(GetUsbDeviceNum(&index, name)) << "not listed after plugging in";
        g_frames = 0;
        // No callback may come before the registration: until then, any call is a late one of
        // the last cycle.
        if (way.path == Path::kConnectionManager) {
            ASSERT_TRUE(m_manager->ConnectToDev(index));
            g_closed = false;
            m_manager->RegisterFrameConsumer(frameConsumer, nullptr);
            ASSERT_TRUE(m_manager->IsConnected());
        } else {
            ASSERT_EQ(InitUSBCam(index, 480, 640, 0, 0), 0);
            g_closed = false;
            ASSERT_EQ(RegisterUSBStreamCallBack(index, streamCallback), 2);
        }
        ASSERT_TRUE(waitUntil([] { return g_frames >= kFramesPerCycle; })) << "no frames";

        if (way.order != Order::kDisconnectThenUnplug) {
            std::filesystem::remove(m_scenario);
        }
        if (way.order == Order::kUnplugThenDisconnect) {
            std::this_thread::sleep_for(std::chrono::milliseconds(cycle % 60));
        } else if (way.order == Order::kUnplugUntilSilentThenDisconnect) {
            ASSERT_TRUE(waitForSilence()) << "frames go on after the unplug";
            int examined = 0;
            EXPECT_FALSE(GetUsbDeviceNum(&examined, name)) << "still listed after the unplug";
        }
        if (way.path == Path::kConnectionManager) {
            m_manager->DisconnectDev();
            EXPECT_FALSE(m_manager->IsConnected());
        } else {
            EXPECT_EQ(UinitUSBCam(index), 0);
        }
        g_closed = true;
        std::filesystem::remove(m_scenario);
    }

    DeviceConnectionManager* const m_manager = DeviceConnectionManager::instance();
    CalorviewTest::TempDir m_dir;
    std::string m_scenario = m_dir.file("camera.json");
    std::filesystem::path m_oldDir;
};

TEST_F(HotplugSoak, PlugStreamUnplugCyclesLeaveNothingBehind) {
    const int cycles = cyclesToRun();
    const auto start = std::chrono::steady_clock::now();
    int threads = 0;
    int descriptors = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        runCycle(cycle, kWays[cycle % kWayCount]);
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_EQ(g_lateCalls, 0) << "a callback ran after the close returned";
        // The first round through every way settles what the process keeps once made: the
        // library log file, its timer thread, the log writer thread.
        if (cycle + 1 == kWayCount) {
            threads = threadCount();
            descriptors = openDescriptors();
        } else if (cycle >= kWayCount) {
            // A stream thread whose body has returned may take a moment to leave the process.
            waitUntil([&] { return threadCount() <= threads && openDescriptors() <= descriptors; },
                      std::chrono::seconds(1));
            ASSERT_LE(threadCount(), threads) << "threads left behind:" << threadNames();
            ASSERT_LE(openDescriptors(), descriptors) << "descriptors left behind";
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d cycles in %.1f s; %d threads, %d descriptors throughout\n", cycles, seconds,
                threads, descriptors);
}

}  // namespace
