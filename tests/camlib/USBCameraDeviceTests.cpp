#include "framegate/USBCameraDevice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "capture/DeviceEnumerator.h"
#include "support/ScenarioFile.h"
#include "support/Wait.h"

using namespace std::chrono_literals;
using testing::HasSubstr;

namespace {

class Listener : public IUSBCameraDeviceListerner {
public:
    int OnVideoData(int, int, const char*) override { return ++frames; }
    int OnNotify(int, int) override { return 0; }
    std::atomic<int> frames{0};
};

class USBCameraDeviceTest : public testing::Test {
protected:
    void SetUp() override {
        CalorviewTest::writeFile(m_scenario, CalorviewTest::scenarioJson("Cls", 64, 48, 200));
        CalorviewTest::useVirtualCameras({m_scenario});
        m_index = static_cast<int>(Framegate::DeviceEnumerator::enumerate().size()) - 1;
        // An open checks its index against the lookup's last listing: list this test's devices.
        int index = 0;
        char name[64];
        USBCameraDevice::GetUsbDeviceNum(index, name);
        setenv("FRAMEGATE_DEBUG_OUTPUT", "1", 1);
    }
    void TearDown() override { unsetenv("FRAMEGATE_DEBUG_OUTPUT"); }

    CalorviewTest::TempDir m_dir;
    std::string m_scenario = m_dir.file("camera.json");
    int m_index = 0;
};

}  // namespace

TEST_F(USBCameraDeviceTest, EmptyObjectDoesNothingAndReportsSuccess) {
    USBCameraDevice device;
    Listener listener;
    device.SetMirrorConvert(false);
    EXPECT_EQ(device.OpenCamera(m_index, 480, 640, 0, 0, nullptr), 0) << "no camera object yet";
    EXPECT_EQ(device.SetListener(&listener), 0);
    EXPECT_EQ(device.CloseCamera(), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(device.UnInit(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "UnInit of nothing writes nothing";
}

TEST_F(USBCameraDeviceTest, LifecycleAndRepeatedInitAndUnInit) {
    USBCameraDevice device;
    Listener listener;
    ASSERT_EQ(device.Init(), 0);
    ASSERT_EQ(device.OpenCamera(m_index, 480, 640, 0, 0, nullptr), 0);
    device.SetListener(&listener);
    EXPECT_TRUE(CalorviewTest::waitUntil([&] { return listener.frames >= 3; }));
    EXPECT_EQ(device.Init(), 0) << "keeps the open camera object";
    const int before = listener.frames;
    std::this_thread::sleep_for(50ms);
    EXPECT_GT(listener.frames, before) << "still streaming after the second Init";
    EXPECT_EQ(device.CloseCamera(), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(device.UnInit(), 0);
    EXPECT_THAT(testing::internal::GetCapturedStderr(),
                HasSubstr("WARMING---USB Camera delete---USBCameraDevice::UnInit() \n"));
    testing::internal::CaptureStderr();
    EXPECT_EQ(device.UnInit(), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(USBCameraDeviceTest, ReopeningWhileStreamingAndDestroyingWithoutUnInitAreSafe) {
    Listener listener;
    {
        USBCameraDevice device;
        ASSERT_EQ(device.Init(), 0);
        for (int round = 0; round < 10; ++round) {
            // The stream being replaced must be gone before the new worker starts one.
            ASSERT_EQ(device.OpenCamera(m_index, 480, 640, 0, 0, nullptr), 0) << round;
            device.SetListener(&listener);
            const int before = listener.frames;
            ASSERT_TRUE(CalorviewTest::waitUntil([&] { return listener.frames > before; }))
                << round;
        }
    }  // destroyed while streaming into the listener, without CloseCamera or UnInit
    const int settled = listener.frames;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(listener.frames, settled) << "no delivery after the destructor returned";
}

TEST_F(USBCameraDeviceTest, FailedOpenReportsMinusOne) {
    USBCameraDevice device;
    ASSERT_EQ(device.Init(), 0);
    EXPECT_EQ(device.OpenCamera(m_index + 1, 480, 640, 0, 0, nullptr), -1);
    EXPECT_EQ(device.UnInit(), 0);
}

TEST_F(USBCameraDeviceTest, StaticLookup) {
    int index = 0;
    char name[32] = {};
    EXPECT_TRUE(USBCameraDevice::GetUsbDeviceNum(index, name));
    EXPECT_EQ(index, m_index);
    EXPECT_STREQ(name, "Cls");
}
