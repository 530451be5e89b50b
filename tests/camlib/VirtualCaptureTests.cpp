#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "capture/FrameSink.h"
#include "capture/virtual/VirtualCapture.h"
#include "framegate/FrameMetadata.h"

namespace Framegate {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Frame {
    Clock::time_point arrival;
    std::vector<uint8_t> bytes;
    uint32_t flags() const { return readLittleEndian(bytes.data() + bytes.size() - 4); }
};

// Keeps a copy of every frame and counts calls that come after the owner said stop returned.
class RecordingSink : public FrameSink {
public:
    // A sink that takes `busyFirstCall` inside its first delivery, like a slow consumer.
    explicit RecordingSink(milliseconds busyFirstCall = milliseconds(0))
        : m_busyFirstCall(busyFirstCall) {}

    void OnData(const unsigned char* data, long length) override {
        callsAfterStop += stopReturned ? 1 : 0;
        std::unique_lock lock(m_mutex);
        m_frames.push_back(Frame{Clock::now(), std::vector<uint8_t>(data, data + length)});
        const bool first = m_frames.size() == 1;
        lock.unlock();
        m_changed.notify_all();
        std::this_thread::sleep_for(first ? m_busyFirstCall : milliseconds(0));
    }
    void OnDroppedSample() override { ++dropped; }

    // Waits until `done` holds for the frames so far; false after two seconds.
    bool waitUntil(const std::function<bool(const std::vector<Frame>&)>& done) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(2), [&] { return done(m_frames); });
    }
    bool waitForFrames(size_t count) {
        return waitUntil([count](const std::vector<Frame>& f) { return f.size() >= count; });
    }
    std::vector<Frame> frames() const {
        std::lock_guard lock(m_mutex);
        return m_frames;
    }

    std::atomic<bool> stopReturned{false};
    std::atomic<int> callsAfterStop{0};
    std::atomic<int> dropped{0};

private:
    const milliseconds m_busyFirstCall;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Frame> m_frames;
};

class VirtualCaptureTest : public testing::Test {
protected:
    void SetUp() override {
        m_path = testing::TempDir() + "capture_" + std::to_string(::getpid()) + "_" +
                 testing::UnitTest::GetInstance()->current_test_info()->name() + ".json";
    }
    void TearDown() override { std::filesystem::remove(m_path); }
    // A small, fast camera with the given timeline.
    void writeTimeline(const std::string& steps, int fps = 100) const {
        std::ofstream(m_path) << R"({"width": 16, "height": 6, "fps": )" << fps
                              << R"(, "timeline": [)" << steps << "]}";
    }

    std::string m_path;
};

TEST_F(VirtualCaptureTest, GrantsTheScenarioSizeAndCarriesTheMetadataWords) {
    writeTimeline(R"({"at_ms": 0, "time": "0x11223344", "flags": "0x40000155"})");
    RecordingSink sink;
    VirtualCapture capture(m_path);
    ASSERT_EQ(capture.open(480, 640), OpenResult::kOk);
    EXPECT_EQ(capture.width(), 16);
    EXPECT_EQ(capture.height(), 6);
    EXPECT_EQ(capture.lastError(), 0);
    ASSERT_TRUE(capture.start(sink));
    ASSERT_TRUE(sink.waitForFrames(3));
    capture.stop();
    for (const Frame& frame : sink.frames()) {
        ASSERT_EQ(frame.bytes.size(), 16u * 6 * 2);
        // Capture time big-endian in front, flags little-endian at the end.
        EXPECT_EQ(std::vector<uint8_t>(frame.bytes.begin(), frame.bytes.begin() + 4),
                  (std::vector<uint8_t>{0x11, 0x22, 0x33, 0x44}));
        EXPECT_EQ(std::vector<uint8_t>(frame.bytes.end() - 4, frame.bytes.end()),
                  (std::vector<uint8_t>{0x55, 0x01, 0x00, 0x40}));
        EXPECT_EQ(frame.bytes[5], 128);  // the picture in between is YUY2
    }
}

TEST_F(VirtualCaptureTest, DemoDeliversFullSizeFramesStampedWithLocalTime) {
    RecordingSink sink;
    VirtualCapture capture(VirtualScenario::kDemoLocator);
    ASSERT_EQ(capture.open(320, 240), OpenResult::kOk);
    EXPECT_EQ(capture.width(), 480);
    EXPECT_EQ(capture.height(), 640);
    ASSERT_TRUE(capture.start(sink));
    ASSERT_TRUE(sink.waitForFrames(2));
    capture.stop();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    const Frame frame = sink.frames().front();
    ASSERT_EQ(frame.bytes.size(), 480u * 640 * 2);
    const CaptureClock clock = unpackCaptureTime(readBigEndian(frame.bytes.data()));
    EXPECT_EQ(clock.year, local.tm_year + 1900);
    EXPECT_EQ(clock.month, local.tm_mon + 1);
    EXPECT_EQ(frame.flags(), 0u);  // the demo starts quiet
}

// While stalled nothing arrives, then the stream resumes on its own time grid.
TEST_F(VirtualCaptureTest, StallSendsNoFrames) {
    writeTimeline(R"({"at_ms": 0, "flags": 1}, {"at_ms": 100, "stall": true},
                     {"at_ms": 400, "stall": false, "flags": 2})");
    RecordingSink sink;
    VirtualCapture capture(m_path);
    ASSERT_EQ(capture.open(0, 0), OpenResult::kOk);
    ASSERT_TRUE(capture.start(sink));
    ASSERT_TRUE(sink.waitUntil(
        [](const std::vector<Frame>& f) { return !f.empty() && f.back().flags() == 2; }));
    capture.stop();
    const std::vector<Frame> frames = sink.frames();
    const auto resumed =
        std::find_if(frames.begin(), frames.end(), [](const Frame& f) { return f.flags() == 2; });
    ASSERT_NE(resumed, frames.begin());
    // 300 ms of silence; the margin covers a busy machine delaying the last frame before it.
    EXPECT_GE(resumed->arrival - (resumed - 1)->arrival, milliseconds(200));
    // The 30 stalled deadlines are silence, not dropped samples.
    EXPECT_LT(sink.dropped, 30);
}

// A sink that holds a delivery for several periods gets the newest frame next, with the
// skipped ones reported as dropped, instead of a burst of stale frames.
TEST_F(VirtualCaptureTest, FallingBehindDropsFramesInsteadOfBursting) {
    writeTimeline(R"({"at_ms": 0})");
    RecordingSink sink(milliseconds(80));
    VirtualCapture capture(m_path);
    ASSERT_EQ(capture.open(0, 0), OpenResult::kOk);
    ASSERT_TRUE(capture.start(sink));
    ASSERT_TRUE(sink.waitForFrames(6));
    capture.stop();
    EXPECT_GE(sink.dropped, 7);  // deadlines 10 to 70 ms passed during the first delivery
    const std::vector<Frame> frames = sink.frames();
    const auto burst = std::count_if(frames.begin() + 1, frames.end(), [&](const Frame& f) {
        return f.arrival - frames[1].arrival < milliseconds(5);
    });
    EXPECT_LE(burst, 2);
}

TEST_F(VirtualCaptureTest, DeletingTheFileEndsStreaming) {
    writeTimeline(R"({"at_ms": 0})");
    RecordingSink sink;
    RecordingSink again;
    VirtualCapture capture(m_path);
    ASSERT_EQ(capture.open(0, 0), OpenResult::kOk);
    ASSERT_TRUE(capture.start(sink));
    ASSERT_TRUE(sink.waitForFrames(3));
    std::filesystem::remove(m_path);
    const Clock::time_point unplugged = Clock::now();
    // The file is checked every 50 ms; the bound leaves room for a loaded machine (sanitizers,
    // parallel tests) while a camera that ignored the deletion would still be sending.
    std::this_thread::sleep_for(milliseconds(800));
    const Clock::time_point lastArrival = sink.frames().back().arrival;
    EXPECT_LE(lastArrival - unplugged, milliseconds(400));
    const Clock::time_point stopping = Clock::now();
    capture.stop();
    EXPECT_LT(Clock::now() - stopping, milliseconds(500));
    EXPECT_EQ(sink.frames().back().arrival, lastArrival);

    // Gone: it cannot be opened; plugged in again, it streams again.
    EXPECT_EQ(capture.open(0, 0), OpenResult::kNoStreamConfig);
    EXPECT_EQ(capture.lastError(), ENOENT);
    writeTimeline(R"({"at_ms": 0, "flags": 7})");
    ASSERT_EQ(capture.open(0, 0), OpenResult::kOk);
    ASSERT_TRUE(capture.start(again));
    ASSERT_TRUE(again.waitForFrames(2));
    EXPECT_EQ(again.frames().front().flags(), 7u);
}

TEST_F(VirtualCaptureTest, StartNeedsAnOpenAndRunsOnce) {
    VirtualCapture missing(m_path);
    EXPECT_EQ(missing.open(480, 640), OpenResult::kNoStreamConfig);
    EXPECT_EQ(missing.lastError(), ENOENT);
    RecordingSink sink;
    EXPECT_FALSE(missing.start(sink));
    missing.stop();  // without start: nothing to do

    writeTimeline(R"({"at_ms": 0})");
    VirtualCapture capture(m_path);
    ASSERT_EQ(capture.open(0, 0), OpenResult::kOk);
    ASSERT_TRUE(capture.start(sink));
    EXPECT_FALSE(capture.start(sink));
    EXPECT_EQ(capture.open(0, 0), OpenResult::kNoStreamConfig);  // not while streaming
    EXPECT_EQ(capture.lastError(), EBUSY);
    capture.stop();
    capture.stop();
    // Stopped, the same camera starts again.
    const size_t before = sink.frames().size();
    ASSERT_TRUE(capture.start(sink));
    EXPECT_TRUE(sink.waitForFrames(before + 2));
}

// stop(), or destroying the camera, returns promptly whatever the thread waits for, and after
// it no delivery is running or starts (the sanitizer builds watch the hand-over).
TEST_F(VirtualCaptureTest, NoDeliveryAfterStopReturns) {
    const std::pair<int, const char*> cases[] = {
        {240, R"({"at_ms": 0})"},                 // mid-stream at a high rate
        {1, R"({"at_ms": 0})"},                   // between two frames a second apart
        {100, R"({"at_ms": 0, "stall": true})"},  // stalled
    };
    for (const auto& [fps, steps] : cases) {
        writeTimeline(steps, fps);
        for (int round = 0; round < 4; ++round) {
            RecordingSink sink;
            std::optional<VirtualCapture> capture(std::in_place, m_path);
            ASSERT_EQ(capture->open(0, 0), OpenResult::kOk);
            ASSERT_TRUE(capture->start(sink));
            std::this_thread::sleep_for(milliseconds(round * 7));
            const Clock::time_point stopping = Clock::now();
            if (round % 2 == 0) {
                capture->stop();
            } else {
                capture.reset();
            }
            sink.stopReturned = true;
            EXPECT_LT(Clock::now() - stopping, milliseconds(500)) << fps;
            std::this_thread::sleep_for(milliseconds(15));
            EXPECT_EQ(sink.callsAfterStop, 0) << fps;
        }
    }
}

}  // namespace
}  // namespace Framegate
