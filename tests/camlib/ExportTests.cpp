#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "framegate/SDK_USB.h"
#include "support/ScenarioFile.h"
#include "support/Wait.h"

using namespace std::chrono_literals;
using CalorviewTest::scenarioJson;
using CalorviewTest::TempDir;
using CalorviewTest::useVirtualCameras;
using CalorviewTest::waitUntil;
using CalorviewTest::writeFile;

namespace {

// What the callbacks saw; the callbacks run on the library's streaming thread.
struct Seen {
    std::atomic<int> frames{0};
    std::atomic<int> width{0};
    std::atomic<int> height{0};
    std::atomic<int> length{0};
    std::atomic<int> format{0};
    std::atomic<bool> calledWhenForbidden{false};
    std::atomic<bool> forbidden{false};
};
Seen g_first;
Seen g_second;

int record(Seen& seen, int width, int height, int length, int format) {
    if (seen.forbidden.load()) {
        seen.calledWhenForbidden = true;
    }
    seen.width = width;
    seen.height = height;
    seen.length = length;
    seen.format = format;
    ++seen.frames;
    return 0;
}
int firstCallback(int w, int h, const char*, int length, int format) {
    return record(g_first, w, h, length, format);
}
int secondCallback(int w, int h, const char*, int length, int format) {
    return record(g_second, w, h, length, format);
}

// Each test opens virtual cameras of its own; the library log goes to a QZLog folder in a
// temporary working directory, as in the application folder.
class ExportTest : public testing::Test {
protected:
    void SetUp() override {
        for (Seen* seen : {&g_first, &g_second}) {
            seen->frames = 0;
            seen->forbidden = false;
            seen->calledWhenForbidden = false;
        }
        m_oldDir = std::filesystem::current_path();
        std::filesystem::create_directory(m_dir.path() / "QZLog");
        std::filesystem::current_path(m_dir.path());
        writeFile(m_scenario, scenarioJson("Test Thermal", 640, 480, 100));
        useVirtualCameras({m_scenario});
    }
    void TearDown() override { std::filesystem::current_path(m_oldDir); }

    // The thermal camera's index, found the way the client finds it.
    int thermalIndex() {
        int index = 0;
        char name[320] = {};
        EXPECT_TRUE(GetUsbDeviceNum(&index, name));
        return index;
    }

    // Everything the library logged into QZLog so far.
    std::string logText() const {
        std::string text;
        for (const auto& file : std::filesystem::directory_iterator(m_dir.path() / "QZLog")) {
            text += CalorviewTest::readFile(file.path().string());
        }
        return text;
    }

    TempDir m_dir;
    std::string m_scenario = m_dir.file("camera.json");
    std::filesystem::path m_oldDir;
};

// Set by crossingCallback, the callback of one camera that calls the exports for another.
std::atomic<int> g_crossIndex{-1};
std::atomic<int> g_crossings{0};
int crossingCallback(int, int, const char*, int, int) {
    RegisterUSBStreamCallBack(g_crossIndex, secondCallback);
    ++g_crossings;
    return 0;
}

// Logs a line on the streaming thread for every frame.
int loggingCallback(int, int, const char*, int, int) {
    SetLogTrace("frame\n");
    ++g_first.frames;
    return 0;
}

// Run in a child process: frames keep coming while standard output is a full pipe that nobody
// reads and another thread is stuck writing a log line to it. Exits 0 when they do.
[[noreturn]] void streamWithStandardOutputBlocked(int index) {
    if (InitUSBCam(index, 480, 640, 0, 0) != 0 ||
        RegisterUSBStreamCallBack(index, loggingCallback) != 2) {
        std::_Exit(2);
    }
    int pipeFds[2];
    if (pipe(pipeFds) != 0 || dup2(pipeFds[1], STDOUT_FILENO) < 0) {
        std::_Exit(3);
    }
    std::thread([] {
        for (;;) {
            SetLogTrace("filling a pipe that nobody reads\n");
        }
    }).detach();
    std::this_thread::sleep_for(500ms);  // the pipe is full and the filler stuck in a line
    const int before = g_first.frames;
    // 20 frames are 0.2 s of the camera; a blocked stream never gets them, a machine busy with
    // other tests may take a few seconds.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (g_first.frames - before < 20 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    // _Exit: an orderly exit would flush standard output and wait on the pipe for ever.
    std::_Exit(g_first.frames - before >= 20 ? 0 : 1);
}

// Run in a child process: a camera closed by a static object's destructor while the process
// exits, after the library's own exit-time clean-up could have run.
void closeFromAStaticDestructor(int index) {
    struct CloseAtExit {
        int index;
        ~CloseAtExit() {
            if (UinitUSBCam(index) != 0) {
                std::_Exit(4);
            }
            g_first.forbidden = true;
            std::this_thread::sleep_for(50ms);
            if (g_first.calledWhenForbidden) {
                std::_Exit(5);
            }
        }
    };
    static CloseAtExit closer{index};  // constructed before the library's timer manager
    if (InitUSBCam(index, 480, 640, 0, 0) != 0 ||
        RegisterUSBStreamCallBack(index, firstCallback) != 2 ||
        !waitUntil([] { return g_first.frames > 0; })) {
        std::_Exit(2);
    }
    std::exit(0);
}

}  // namespace

TEST_F(ExportTest, CallingOrderAndReturnCodes) {
    const int index = thermalIndex();
    EXPECT_EQ(RegisterUSBStreamCallBack(index, firstCallback), -1) << "not open yet";
    EXPECT_EQ(UinitUSBCam(index), -1);
    ASSERT_EQ(InitUSBCam(index, 480, 640, 0, 0), 0);
    EXPECT_EQ(RegisterUSBStreamCallBack(index, firstCallback), 2);
    EXPECT_TRUE(waitUntil([] { return g_first.frames > 0; }));
    EXPECT_EQ(InitUSBCam(index, 480, 640, 0, 0), -1) << "already open";
    const int before = g_first.frames;
    EXPECT_TRUE(waitUntil([&] { return g_first.frames > before + 3; }))
        << "the first open keeps streaming after a refused second init";
    EXPECT_EQ(UinitUSBCam(index), 0);
    EXPECT_EQ(UinitUSBCam(index), -1);
    for (const int unknown : {-1, 57}) {
        EXPECT_EQ(InitUSBCam(unknown, 480, 640, 0, 0), -1);
        EXPECT_EQ(RegisterUSBStreamCallBack(unknown, firstCallback), -1);
        EXPECT_EQ(UinitUSBCam(unknown), -1);
    }
}

TEST_F(ExportTest, ConnectedSizeIsReportedAndOrientationSwapsIt) {
    struct Case {
        int orientation;
        int width;
        int height;
    };
    for (const Case c :
         {Case{0, 640, 480}, Case{1, 480, 640}, Case{2, 480, 640}, Case{3, 640, 480}}) {
        const int index = thermalIndex();
        g_first.frames = 0;
        ASSERT_EQ(InitUSBCam(index, 480, 640, 1, c.orientation), 0);
        ASSERT_EQ(RegisterUSBStreamCallBack(index, firstCallback), 2);
        ASSERT_TRUE(waitUntil([] { return g_first.frames > 0; }));
        EXPECT_EQ(UinitUSBCam(index), 0);
        EXPECT_EQ(g_first.width, c.width) << "orientation " << c.orientation;
        EXPECT_EQ(g_first.height, c.height);
        EXPECT_EQ(g_first.length, 640 * 480 * 2);
        EXPECT_EQ(g_first.format, 19);
    }
}

TEST_F(ExportTest, ReplacingTheCallbackStopsTheOldOneAtOnce) {
    const int index = thermalIndex();
    ASSERT_EQ(InitUSBCam(index, 480, 640, 0, 0), 0);
    ASSERT_EQ(RegisterUSBStreamCallBack(index, firstCallback), 2);
    ASSERT_TRUE(waitUntil([] { return g_first.frames > 0; }));
    ASSERT_EQ(RegisterUSBStreamCallBack(index, secondCallback), 2);
    g_first.forbidden = true;
    ASSERT_TRUE(waitUntil([] { return g_second.frames > 5; }));
    EXPECT_FALSE(g_first.calledWhenForbidden);

    ASSERT_EQ(RegisterUSBStreamCallBack(index, nullptr), 2) << "a null callback is accepted";
    g_second.forbidden = true;
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(g_second.calledWhenForbidden);
    EXPECT_EQ(UinitUSBCam(index), 0);
}

TEST_F(ExportTest, UninitThenInitAgainNeedsANewRegistration) {
    const int index = thermalIndex();
    ASSERT_EQ(InitUSBCam(index, 480, 640, 0, 0), 0);
    ASSERT_EQ(RegisterUSBStreamCallBack(index, firstCallback), 2);
    ASSERT_TRUE(waitUntil([] { return g_first.frames > 0; }));
    ASSERT_EQ(UinitUSBCam(index), 0);
    g_first.forbidden = true;
    ASSERT_EQ(InitUSBCam(index, 480, 640, 0, 0), 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(g_first.calledWhenForbidden) << "no callback until registered again";
    ASSERT_EQ(RegisterUSBStreamCallBack(index, secondCallback), 2);
    EXPECT_TRUE(waitUntil([] { return g_second.frames > 0; }));
    EXPECT_EQ(UinitUSBCam(index), 0);
}

TEST_F(ExportTest, ConcurrentReplaceAndUninitWhileFramesFlow) {
    writeFile(m_scenario, scenarioJson("Fast", 64, 48, 1000));
    const int index = thermalIndex();
    for (int round = 0; round < 20; ++round) {
        g_first.forbidden = false;
        g_second.forbidden = false;
        ASSERT_EQ(InitUSBCam(index, 480, 640, 0, 0), 0);
        for (int i = 0; i < 10; ++i) {
            Seen& next = i % 2 == 0 ? g_first : g_second;
            Seen& previous = i % 2 == 0 ? g_second : g_first;
            next.forbidden = false;
            ASSERT_EQ(RegisterUSBStreamCallBack(index, i % 2 == 0 ? firstCallback : secondCallback),
                      2);
            previous.forbidden = true;
            std::this_thread::sleep_for(1ms);
        }
        ASSERT_EQ(UinitUSBCam(index), 0);
        g_first.forbidden = true;
        g_second.forbidden = true;
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_FALSE(g_first.calledWhenForbidden);
    EXPECT_FALSE(g_second.calledWhenForbidden);
}

TEST_F(ExportTest, ThermalCameraLookupAndHotPlug) {
    const std::string second = m_dir.file("second.json");
    writeFile(second, scenarioJson("Second Thermal", 64, 48, 25));
    useVirtualCameras({m_scenario, second});
    int index = 0;
    char name[320] = {};
    ASSERT_TRUE(GetUsbDeviceNum(&index, name));
    EXPECT_STREQ(name, "Test Thermal") << "the first thermal camera in enumeration order";
    const int firstIndex = index;

    std::filesystem::remove(m_scenario);
    index = 0;
    ASSERT_TRUE(GetUsbDeviceNum(&index, name));
    EXPECT_EQ(index, firstIndex) << "the second camera moved up";
    EXPECT_STREQ(name, "Second Thermal");

    std::filesystem::remove(second);
    index = 0;
    EXPECT_FALSE(GetUsbDeviceNum(&index, name));
    EXPECT_EQ(index, firstIndex) << "index is the number of devices examined";

    writeFile(m_scenario, scenarioJson("Test Thermal", 64, 48, 25));
    index = 0;
    EXPECT_TRUE(GetUsbDeviceNum(&index, name));
    EXPECT_EQ(index, firstIndex);
    EXPECT_FALSE(GetUsbDeviceNum(nullptr, name));
}

TEST_F(ExportTest, UninitReturnsQuicklyAfterTheCameraVanished) {
    const int index = thermalIndex();
    ASSERT_EQ(InitUSBCam(index, 480, 640, 0, 0), 0);
    ASSERT_EQ(RegisterUSBStreamCallBack(index, firstCallback), 2);
    ASSERT_TRUE(waitUntil([] { return g_first.frames > 0; }));
    std::filesystem::remove(m_scenario);  // unplugged
    std::this_thread::sleep_for(500ms);
    const int settled = g_first.frames;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(g_first.frames, settled) << "streaming stops once the camera is gone";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(UinitUSBCam(index), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(ExportTest, FailedInitLeavesNothingBehind) {
    std::filesystem::remove(m_scenario);
    writeFile(m_scenario, "{ this is not json");
    const int index = thermalIndex();  // a bad file still plugs in a camera with defaults
    std::filesystem::remove(m_scenario);
    EXPECT_EQ(InitUSBCam(index, 480, 640, 0, 0), -1);
    EXPECT_EQ(RegisterUSBStreamCallBack(index, firstCallback), -1) << "not registered";
    writeFile(m_scenario, scenarioJson("Back", 64, 48, 100));
    EXPECT_EQ(InitUSBCam(index, 480, 640, 0, 0), 0) << "the index can be opened afterwards";
    EXPECT_EQ(UinitUSBCam(index), 0);
}

TEST_F(ExportTest, LogFileNameAndSetLogTrace) {
    const int index = thermalIndex();
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(InitUSBCam(index, 480, 640, 0, 0), 0);
    const std::time_t after = std::time(nullptr);
    EXPECT_TRUE(SetLogTrace("100% of 50%s\n"));
    EXPECT_EQ(UinitUSBCam(index), 0);

    auto nameAt = [](std::time_t t) {
        std::tm tm{};
        localtime_r(&t, &tm);
        char hour[3];
        std::snprintf(hour, sizeof hour, "%-2d", tm.tm_hour);
        char name[64];
        std::snprintf(name, sizeof name, "%04d%02d%02d%s%02dsdk_usb.log", tm.tm_year + 1900,
                      tm.tm_mon + 1, tm.tm_mday, hour, tm.tm_min);
        return std::string(name);
    };
    std::string log;
    for (const std::time_t t : {before, after}) {
        if (std::filesystem::exists(m_dir.path() / "QZLog" / nameAt(t))) {
            log = (m_dir.path() / "QZLog" / nameAt(t)).string();
        }
    }
    ASSERT_FALSE(log.empty()) << "expected QZLog/" << nameAt(before);
    const std::string text = CalorviewTest::readFile(log);
    EXPECT_THAT(text, testing::HasSubstr("trace SDK_USB SetLogTrace "));
    EXPECT_THAT(text, testing::HasSubstr(" 100% of 50%s\n"));
    EXPECT_THAT(text, testing::HasSubstr("nCamID :" + std::to_string(index) +
                                         "\n,witdh:480\n,height:640\n"));
}

TEST_F(ExportTest, RefusedStreamStartFailsTheOpenAndNamesTheReason) {
    const struct {
        const char* refusal;
        const char* logged;
    } cases[] = {{"busy", "the camera is busy"}, {"no-bandwidth", "not enough USB bandwidth"}};
    for (const auto& c : cases) {
        writeFile(m_scenario, scenarioJson("Refusing", 64, 48, 100,
                                           "\"start_error\": \"" + std::string(c.refusal) + "\""));
        const int index = thermalIndex();
        EXPECT_EQ(InitUSBCam(index, 480, 640, 0, 0), -1) << c.refusal;
        EXPECT_EQ(UinitUSBCam(index), -1) << c.refusal << ": nothing registered";
        EXPECT_THAT(logText(), testing::HasSubstr(c.logged)) << c.refusal;
    }
}

TEST_F(ExportTest, AStreamStartThatNeverAnswersFailsInTimeAndKeepsTheDeviceReserved) {
    writeFile(m_scenario, scenarioJson("Stuck", 64, 48, 100, "\"start_hangs\": true"));
    const int index = thermalIndex();
    std::atomic<int> result{1};
    std::thread opener([&] { result = InitUSBCam(index, 480, 640, 0, 0); });
    const bool returned = waitUntil([&] { return result != 1; }, 8s);
    EXPECT_TRUE(returned) << "InitUSBCam must give up on the stuck start after 5 s";
    if (returned) {
        EXPECT_EQ(result, -1);
        EXPECT_THAT(logText(), testing::HasSubstr("did not start within 5000 ms"));
        EXPECT_EQ(InitUSBCam(index, 480, 640, 0, 0), -1) << "the stuck start holds the device";
        EXPECT_THAT(logText(), testing::HasSubstr("still reserved by a stream start"));
    }
    std::filesystem::remove(m_scenario);  // unplugging makes the stuck start return
    opener.join();
    ASSERT_TRUE(waitUntil(
        [&] { return logText().find("after the open had given up") != std::string::npos; }));
    writeFile(m_scenario, scenarioJson("Back", 64, 48, 100));
    EXPECT_TRUE(waitUntil([&] { return InitUSBCam(thermalIndex(), 480, 640, 0, 0) == 0; }, 2s))
        << "the device is free again once the start returned";
    EXPECT_EQ(UinitUSBCam(index), 0);
}

TEST_F(ExportTest, AnIndexOpensOnlyTheDeviceListedThere) {
    const int index = thermalIndex();
    const std::string plugged = m_dir.file("plugged.json");
    writeFile(plugged, scenarioJson("Plugged In Meanwhile", 64, 48, 100));
    useVirtualCameras({plugged, m_scenario});  // it takes the listed camera's position
    EXPECT_EQ(InitUSBCam(index, 480, 640, 0, 0), -1);
    EXPECT_THAT(logText(), testing::HasSubstr("changed since it was listed"));
    ASSERT_EQ(thermalIndex(), index) << "listed afresh, the new camera is found there";
    EXPECT_EQ(InitUSBCam(index, 480, 640, 0, 0), 0);
    EXPECT_EQ(UinitUSBCam(index), 0);
}

TEST_F(ExportTest, ACallbackMayCallTheExportsForAnotherCamera) {
    const std::string other = m_dir.file("other.json");
    writeFile(other, scenarioJson("Other", 64, 48, 100));
    useVirtualCameras({m_scenario, other});
    const int first = thermalIndex();
    const int second = first + 1;
    ASSERT_EQ(InitUSBCam(first, 480, 640, 0, 0), 0);
    ASSERT_EQ(InitUSBCam(second, 480, 640, 0, 0), 0);
    g_crossIndex = second;
    ASSERT_EQ(RegisterUSBStreamCallBack(first, crossingCallback), 2);
    ASSERT_TRUE(waitUntil([] { return g_crossings >= 3; }));
    // Closing the first camera waits for its delivery, which is inside an export for the second.
    std::atomic<bool> closed{false};
    std::thread([&] {
        EXPECT_EQ(UinitUSBCam(first), 0);
        closed = true;
    }).detach();
    if (!waitUntil([&] { return closed.load(); }, 5s)) {
        ADD_FAILURE() << "closing one camera deadlocked against its callback's export call";
        std::_Exit(1);
    }
    EXPECT_EQ(UinitUSBCam(second), 0);
}

TEST_F(ExportTest, FramesKeepFlowingWhileStandardOutputIsBlocked) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int index = thermalIndex();
    EXPECT_EXIT(streamWithStandardOutputBlocked(index), testing::ExitedWithCode(0), "");
}

TEST_F(ExportTest, ACameraClosedWhileTheProcessExits) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int index = thermalIndex();
    EXPECT_EXIT(closeFromAStaticDestructor(index), testing::ExitedWithCode(0), "");
}

TEST(ExportSymbols, OnlyTheApiIsVisible) {
    std::unique_ptr<FILE, int (*)(FILE*)> nm(
        popen("nm -D --defined-only " FRAMEGATE_LIBRARY_PATH " | awk '{print $3}' | c++filt", "r"),
        pclose);
    ASSERT_NE(nm, nullptr);
    std::set<std::string> functions;
    char line[512];
    while (std::fgets(line, sizeof line, nm.get()) != nullptr) {
        std::string symbol(line);
        symbol.erase(symbol.find_last_not_of("\n") + 1);
        if (symbol.rfind("USBCameraDevice::", 0) == 0) {
            continue;
        }
        functions.insert(symbol);
    }
    EXPECT_EQ(functions,
              (std::set<std::string>{"GetUsbDeviceNum", "InitUSBCam", "RegisterUSBStreamCallBack",
                                     "SetLogTrace", "UinitUSBCam"}));
}
