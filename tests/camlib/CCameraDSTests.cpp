#include "CCameraDS.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "capture/DeviceEnumerator.h"
#include "framegate/IUSBCameraDeviceListerner.h"
#include "infra/Logger.h"
#include "infra/OutputDeferral.h"
#include "support/ScenarioFile.h"
#include "support/Wait.h"

using namespace std::chrono_literals;
using CalorviewTest::scenarioJson;
using CalorviewTest::TempDir;
using CalorviewTest::useVirtualCameras;
using CalorviewTest::waitUntil;
using CalorviewTest::writeFile;

namespace {

class CountingListener : public IUSBCameraDeviceListerner {
public:
    int OnVideoData(int width, int height, const char*) override {
        lastWidth = width;
        lastHeight = height;
        ++frames;
        return 0;
    }
    int OnNotify(int, int) override { return 0; }

    std::atomic<int> frames{0};
    std::atomic<int> lastWidth{0};
    std::atomic<int> lastHeight{0};
};

// Logs from the streaming thread, where log output is deferred to the writer thread.
class LoggingListener : public CountingListener {
public:
    int OnVideoData(int width, int height, const char* data) override {
        INFRA_ERROR("frame %d delivered\n", frames.load());
        return CountingListener::OnVideoData(width, height, data);
    }
};

class CCameraDSTest : public testing::Test {
protected:
    void SetUp() override {
        writeFile(m_scenario, scenarioJson("Core Thermal", 320, 240, 100));
        useVirtualCameras({m_scenario});
        m_index = static_cast<int>(Framegate::DeviceEnumerator::enumerate().size()) - 1;
        // An open checks its index against the lookup's last listing: list this test's devices.
        int index = 0;
        char name[64];
        CCameraDS::CameraName(name, &index);
    }

    TempDir m_dir;
    std::string m_scenario = m_dir.file("camera.json");
    int m_index = 0;
};

}  // namespace

TEST_F(CCameraDSTest, FailedOpensEndTheirWorker) {
    struct Case {
        const char* what;
        int index;
    };
    for (const Case c : {Case{"beyond the device count", m_index + 1}, Case{"negative", -1}}) {
        CCameraDS camera;
        EXPECT_FALSE(camera.OpenCameraAndNoDisplay(c.index, 480, 640)) << c.what;
        EXPECT_TRUE(camera.isThreadOver()) << c.what << ": the worker must not wait forever";
    }
    CCameraDS camera;
    std::filesystem::remove(m_scenario);  // listed a moment ago, gone when the stream opens
    EXPECT_FALSE(camera.OpenCameraAndNoDisplay(m_index, 480, 640));
    EXPECT_TRUE(camera.isThreadOver());
}

TEST_F(CCameraDSTest, OpensAtTheDeviceSizeAndDeliversUnderTheListener) {
    CCameraDS camera;
    CountingListener listener;
    ASSERT_TRUE(camera.OpenCamera(nullptr, m_index, 0, 0, 480, 640));
    camera.SetListener(&listener);
    ASSERT_TRUE(waitUntil([&] { return listener.frames > 2; }));
    EXPECT_EQ(listener.lastWidth, 320);
    EXPECT_EQ(listener.lastHeight, 240);
    camera.CloseCamera();
    const int closedAt = listener.frames;
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(listener.frames, closedAt) << "nothing is delivered after CloseCamera";
    ASSERT_TRUE(camera.OpenCamera(nullptr, m_index, 0, 2, 480, 640)) << "reopens after close";
    camera.SetListener(&listener);
    ASSERT_TRUE(waitUntil([&] { return listener.frames > closedAt + 2; }));
    EXPECT_EQ(listener.lastWidth, 240) << "orientation 2 passes height first";
}

TEST_F(CCameraDSTest, ShortAndEmptySamplesAreNeverDelivered) {
    // A stalled camera sends nothing itself: every delivery below is the test's own.
    writeFile(m_scenario, scenarioJson("Stalled", 320, 240, 100,
                                       R"("timeline": [{"at_ms": 0, "stall": true}])"));
    CCameraDS camera;
    CountingListener listener;
    ASSERT_TRUE(camera.OpenCameraAndNoDisplay(m_index, 480, 640));
    camera.SetListener(&listener);
    std::vector<unsigned char> sample(320 * 240 * 2);
    camera.OnData(sample.data(), static_cast<long>(sample.size()) - 1);
    camera.OnData(sample.data(), 0);
    camera.OnData(sample.data(), -5);
    camera.OnData(nullptr, static_cast<long>(sample.size()));
    EXPECT_EQ(listener.frames, 0);
    EXPECT_EQ(camera.DroppedSamples(), 1) << "only the short sample counts as dropped";
    camera.OnData(sample.data(), static_cast<long>(sample.size()));
    EXPECT_EQ(listener.frames, 1);
    camera.CloseCamera();
}

TEST_F(CCameraDSTest, SecondWindowedOpenBuildsNothing) {
    int window = 0;
    CCameraDS first;
    CountingListener listener;
    ASSERT_TRUE(first.OpenCamera(&window, m_index, 1, 0, 480, 640));
    first.SetListener(&listener);
    ASSERT_TRUE(waitUntil([&] { return listener.frames > 0; })) << "the first one streams";
    CCameraDS second;
    CountingListener idle;
    EXPECT_TRUE(second.OpenCamera(&window, m_index + 5, 1, 0, 480, 640) == false)
        << "an index beyond the count still fails";
    EXPECT_TRUE(second.OpenCamera(&window, m_index, 1, 0, 480, 640));
    second.SetListener(&idle);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(idle.frames, 0);
    second.CloseCamera();
    first.CloseCamera();
}

TEST_F(CCameraDSTest, WindowedOpenBuildsAgainOnceTheBuilderFailedOrClosed) {
    int window = 0;
    {
        // Two cameras listed, then their order changes: the first windowed open fails to build.
        const std::string other = m_dir.file("other.json");
        writeFile(other, scenarioJson("Other Thermal", 320, 240, 100));
        useVirtualCameras({m_scenario, other});
        int index = 0;
        char name[64];
        ASSERT_TRUE(CCameraDS::CameraName(name, &index));
        useVirtualCameras({other, m_scenario});
        CCameraDS failed;
        EXPECT_FALSE(failed.OpenCamera(&window, index, 1, 0, 480, 640));
        useVirtualCameras({m_scenario});
        ASSERT_TRUE(CCameraDS::CameraName(name, &index));
        ASSERT_EQ(index, m_index);
    }
    for (int round = 0; round < 2; ++round) {
        CCameraDS camera;
        CountingListener listener;
        ASSERT_TRUE(camera.OpenCamera(&window, m_index, 1, 0, 480, 640)) << round;
        camera.SetListener(&listener);
        EXPECT_TRUE(waitUntil([&] { return listener.frames > 0; }))
            << "round " << round << ": a windowed open after a failed or closed one streams";
        camera.CloseCamera();
    }
}

TEST_F(CCameraDSTest, CameraNameFindsTheFirstThermalCamera) {
    const std::string other = m_dir.file("other.json");
    writeFile(other, scenarioJson("Other Thermal", 64, 48, 25));
    useVirtualCameras({m_scenario, other});
    char name[32] = {};
    int index = 0;
    ASSERT_TRUE(CCameraDS::CameraName(name, &index));
    EXPECT_EQ(index, m_index);
    EXPECT_STREQ(name, "Core Thermal");
    EXPECT_EQ(CCameraDS::CameraCount(), m_index + 2);
}

TEST_F(CCameraDSTest, LongUtf8NamesAreCutAtACharacterBoundary) {
    // 20 two-byte characters: 40 bytes, of which 31 fit; the cut must not split a character.
    std::string name;
    for (int i = 0; i < 20; ++i) {
        name += "\xC3\xA9";
    }
    writeFile(m_scenario, scenarioJson(name, 64, 48, 25));
    char out[32];
    std::memset(out, 'x', sizeof out);
    int index = 0;
    ASSERT_TRUE(CCameraDS::CameraName(out, &index));
    EXPECT_EQ(std::string(out), name.substr(0, 30));
}

TEST_F(CCameraDSTest, ClosingWritesTheLinesItsStreamDeferred) {
    const std::string log = m_dir.file("close.log");
    const char* const logPath[] = {"-logpath", log.c_str()};
    const char* const logSize[] = {"-logsize", "1024"};  // 0 would keep only the last line
    ASSERT_EQ(Velmora::Infra::logFilter(2, logPath), 0);
    ASSERT_EQ(Velmora::Infra::logFilter(2, logSize), 0);
    // The writer thread is held until a while after the close has begun.
    auto release = std::make_shared<std::atomic<bool>>(false);
    Velmora::Infra::OutputDeferral::post([release] { waitUntil([&] { return release->load(); }); });
    CCameraDS camera;
    LoggingListener listener;
    ASSERT_TRUE(camera.OpenCameraAndNoDisplay(m_index, 480, 640));
    camera.SetListener(&listener);
    ASSERT_TRUE(waitUntil([&] { return listener.frames > 0; }));
    std::thread releaser([release] {
        std::this_thread::sleep_for(200ms);
        *release = true;
    });
    camera.CloseCamera();
    EXPECT_NE(CalorviewTest::readFile(log).find("frame 0 delivered"), std::string::npos);
    releaser.join();
    const char* const noPath[] = {"-logpath", ""};
    Velmora::Infra::logFilter(2, noPath);
}
