// The connection rules and the stream callback against the real library and virtual cameras.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "client/video/FrameTestSupport.h"
#include "framegate/SDK_USB.h"
#include "support/ScenarioFile.h"
#include "support/TempDir.h"
#include "support/Wait.h"
#include "video/DeviceConnectionManager.h"
#include "video/StreamCallback.h"

using namespace std::chrono_literals;
using CalorviewTest::rawFrame;
using CalorviewTest::waitUntil;

namespace {

std::atomic<int> g_frames{0};
std::atomic<int> g_alarms{0};
std::atomic<void*> g_user{nullptr};
// What the consumers last received; read only where the test thread itself calls OnStreamFrame.
struct Last {
    int bShowRect = -1;
    std::string fileTime, displayTime;
    std::vector<int> time;
    std::vector<unsigned char> picture;
    uint32_t alarmWord = 0;
    int tempType = -1, present = -1;
} g_last;

void frameConsumer(const unsigned char* picture, int width, int height, void* user, int bShowRect,
                   const char* fileTime, int year, int month, int day, int hour, int minute,
                   int second) {
    g_last.picture.assign(picture, picture + static_cast<size_t>(width) * height * 2);
    g_user = user;
    g_last.bShowRect = bShowRect;
    g_last.fileTime = fileTime;
    g_last.time = {year, month, day, hour, minute, second};
    ++g_frames;
}
void alarmConsumer(const void* word, const char* fileTime, const char* displayTime, int tempType,
                   int present) {
    g_last.alarmWord = Framegate::readLittleEndian(static_cast<const uint8_t*>(word));
    g_last.fileTime = fileTime;
    g_last.displayTime = displayTime;
    g_last.tempType = tempType;
    g_last.present = present;
    ++g_alarms;
}
void otherAlarmConsumer(const void*, const char*, const char*, int, int) {}

// Two streaming cameras and a stalled one (connected, but it sends nothing), run from a
// temporary working directory with the library's QZLog folder, as in the application folder.
class ConnectionTest : public testing::Test {
protected:
    void SetUp() override {
        m_oldDir = std::filesystem::current_path();
        std::filesystem::create_directory(m_dir.path() / "QZLog");
        std::filesystem::current_path(m_dir.path());
        const std::string files[] = {m_dir.file("a.json"), m_dir.file("b.json"),
                                     m_dir.file("stalled.json")};
        CalorviewTest::writeFile(files[0], CalorviewTest::scenarioJson("A", 480, 640, 100));
        CalorviewTest::writeFile(files[1], CalorviewTest::scenarioJson("B", 480, 640, 100));
        CalorviewTest::writeFile(
            files[2],
            CalorviewTest::scenarioJson("S", 480, 640, 100, R"("timeline": [{"stall": true}])"));
        CalorviewTest::useVirtualCameras({files[0], files[1], files[2]});
        int index = 0;  // the virtual cameras follow whatever V4L2 devices this machine has
        char name[320] = {};
        ASSERT_TRUE(GetUsbDeviceNum(&index, name));
        m_first = index;
        g_frames = 0;
        g_alarms = 0;
        g_last = Last{};
    }
    void TearDown() override {
        manager->DisconnectDev();
        manager->UnregisterFrameConsumer();
        std::filesystem::current_path(m_oldDir);
    }
    // True when nothing more arrives in a while (100 frames a second would).
    static bool staysQuiet(const std::atomic<int>& counter) {
        const int before = counter;
        std::this_thread::sleep_for(150ms);
        return counter == before;
    }
    // A camera the manager closed can be opened again directly.
    static bool isClosedInLibrary(int index) {
        if (InitUSBCam(index, 480, 640, 0, 0) != 0) {
            return false;
        }
        UinitUSBCam(index);
        return true;
    }
    static int deliver(const std::vector<char>& frame, int width, int height) {
        return OnStreamFrame(width, height, frame.data(), static_cast<int>(frame.size()), 19);
    }

    DeviceConnectionManager* const manager = DeviceConnectionManager::instance();
    CalorviewTest::TempDir m_dir;
    std::filesystem::path m_oldDir;
    int m_first = -1;
    int m_user = 0;
};

TEST_F(ConnectionTest, ConnectRulesInOrder) {
    EXPECT_FALSE(manager->ConnectToDev(-1));
    EXPECT_FALSE(manager->IsConnected());

    EXPECT_TRUE(manager->ConnectToDev(m_first));
    manager->RegisterFrameConsumer(frameConsumer, &m_user);
    ASSERT_TRUE(waitUntil([] { return g_frames > 0; }));
    EXPECT_FALSE(manager->ConnectToDev(m_first)) << "same index: false, nothing reopened";
    EXPECT_TRUE(manager->IsConnected());
    const int before = g_frames;
    EXPECT_TRUE(waitUntil([&] { return g_frames > before + 3; })) << "still streaming";

    EXPECT_TRUE(manager->ConnectToDev(m_first + 1));
    EXPECT_TRUE(isClosedInLibrary(m_first)) << "the old camera was closed first";
    EXPECT_TRUE(staysQuiet(g_frames)) << "the new camera has no stream callback yet";

    EXPECT_FALSE(manager->ConnectToDev(57)) << "an index that cannot be opened";
    EXPECT_FALSE(manager->IsConnected());
    EXPECT_TRUE(isClosedInLibrary(m_first + 1));
}

TEST_F(ConnectionTest, ConsumersTakeEffectOnlyWhileConnectedAndStopWithTheCamera) {
    manager->RegisterFrameConsumer(frameConsumer, &m_user);
    EXPECT_TRUE(manager->RegisterAlarmConsumer(alarmConsumer, nullptr));
    EXPECT_FALSE(manager->IsAlarmConsumerRegistered()) << "ignored while disconnected";
    ASSERT_TRUE(manager->ConnectToDev(m_first));
    EXPECT_TRUE(staysQuiet(g_frames)) << "stored only, not registered with the library";

    manager->RegisterFrameConsumer(frameConsumer, &m_user);
    manager->RegisterAlarmConsumer(alarmConsumer, nullptr);
    manager->RegisterAlarmConsumer(otherAlarmConsumer, nullptr);
    EXPECT_EQ(manager->AlarmConsumerOf(), &alarmConsumer) << "a second registration is ignored";
    ASSERT_TRUE(waitUntil([] { return g_frames > 0 && g_alarms > 0; }));
    EXPECT_EQ(g_user.load(), &m_user);
    manager->ReleaseAlarmConsumer();
    const int alarms = g_alarms;
    EXPECT_TRUE(waitUntil([&] { return g_alarms > alarms; })) << "release changes nothing";

    EXPECT_TRUE(manager->DisconnectDev());
    EXPECT_FALSE(manager->IsAlarmConsumerRegistered());
    EXPECT_EQ(manager->FrameConsumerOf(), &frameConsumer) << "the frame consumer stays";
    const int frames = g_frames;
    EXPECT_TRUE(staysQuiet(g_frames)) << "no delivery once DisconnectDev returned";
    EXPECT_EQ(g_frames, frames);

    ASSERT_TRUE(manager->ConnectToDev(m_first));
    EXPECT_TRUE(staysQuiet(g_frames)) << "the library forgot the callback with the camera";
    manager->RegisterAlarmConsumer(alarmConsumer, nullptr);
    UinitUSBCam(m_first);  // behind the manager's back: the registration will be refused
    manager->RegisterFrameConsumer(frameConsumer, &m_user);
    EXPECT_FALSE(manager->IsConnected()) << "a refused registration closes the camera";
    EXPECT_TRUE(manager->IsAlarmConsumerRegistered()) << "but keeps the alarm consumer";

    ASSERT_TRUE(manager->ConnectToDev(m_first));
    EXPECT_TRUE(manager->UnregisterFrameConsumer());
    EXPECT_FALSE(manager->IsConnected()) << "unregistering ends the connection";
    EXPECT_EQ(manager->FrameConsumerOf(), nullptr);
}

TEST_F(ConnectionTest, StreamCallbackDecodesForBothConsumers) {
    manager->RegisterFrameConsumer(frameConsumer, &m_user);
    const std::vector<char> alarm =
        rawFrame(4, 6, 0x50C80000u | (13u << 12) | (45u << 6) | 10u, 0x4800012Cu);
    EXPECT_EQ(deliver(alarm, 4, 6), 0);
    ASSERT_EQ(g_frames, 1);
    EXPECT_EQ(g_alarms, 0) << "bit 30 without an alarm consumer: frame consumer only";
    EXPECT_EQ(g_user.load(), &m_user);
    EXPECT_EQ(g_last.bShowRect, 0);
    EXPECT_EQ(g_last.time, std::vector<int>({20, 3, 4, 13, 45, 10})) << "year: the raw field";
    EXPECT_EQ(g_last.picture[1], static_cast<unsigned char>(alarm[4])) << "UYVY, neighbours";

    ASSERT_TRUE(manager->ConnectToDev(m_first + 2));  // stalled: only the test's frames arrive
    manager->RegisterAlarmConsumer(alarmConsumer, nullptr);
    deliver(alarm, 4, 6);
    ASSERT_EQ(g_alarms, 1);
    EXPECT_EQ(g_last.present, 1);
    EXPECT_EQ(g_last.tempType, 1);
    EXPECT_EQ(g_last.alarmWord, 0x12Cu);
    EXPECT_EQ(g_last.fileTime, "20200304_134510");
    EXPECT_EQ(g_last.displayTime, "2020-03-04 13:45:10");

    deliver(rawFrame(4, 6, 0, 0x20000000u), 4, 6);
    ASSERT_EQ(g_alarms, 2) << "frames without an alarm reach the alarm consumer too";
    EXPECT_EQ(g_last.present, 0);
    EXPECT_EQ(g_last.alarmWord, 0u);
    EXPECT_EQ(g_last.bShowRect, 1);
}

TEST_F(ConnectionTest, StreamCallbackDropsMalformedFramesAndCountsThem) {
    manager->RegisterFrameConsumer(frameConsumer, &m_user);
    const std::vector<char> frame = rawFrame(4, 6, 0, 0);
    const struct {
        int width, height, length;
        const char* data;
    } cases[] = {{4, 6, 0, frame.data()},  {4, 6, -1, frame.data()}, {4, 6, 44, frame.data()},
                 {4, 7, 48, frame.data()}, {2, 2, 8, frame.data()},  {4, 6, 48, nullptr}};
    const uint64_t before = DroppedStreamFrames();
    for (const auto& c : cases) {
        EXPECT_EQ(OnStreamFrame(c.width, c.height, c.data, c.length, 19), -1);
    }
    EXPECT_EQ(g_frames, 0);
    EXPECT_EQ(DroppedStreamFrames() - before, std::size(cases));
}

}  // namespace
