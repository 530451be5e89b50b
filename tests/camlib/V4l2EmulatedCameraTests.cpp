// The V4L2 back-end through the real system calls (open, ioctl, mmap, poll) and the real sysfs
// walk, against the camera umockdev emulates.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/FrameSink.h"
#include "capture/v4l2/V4l2Capture.h"
#include "capture/v4l2/V4l2Enumerator.h"
#include "framegate/FrameMetadata.h"
#include "support/EmulatedV4l2Camera.h"
#include "support/ScenarioFile.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;
using Fault = EmulatedV4l2Camera::FrameFault;
using Framegate::OpenResult;

namespace {

constexpr int kWidth = 480;
constexpr int kHeight = 640;

// Counts what reaches it and checks each frame's size and header words.
class CountingSink : public Framegate::FrameSink {
public:
    void OnData(const unsigned char* data, long length) override {
        std::lock_guard lock(m_mutex);
        ++m_frames;
        m_badFrames += length != kWidth * kHeight * 2;
        // The demo scenario's capture-time word is the computer's clock: never zero.
        m_badFrames += Framegate::readBigEndian(data) == 0;
        // The scene's noise differs in every frame: a repeat is a buffer read from the wrong
        // place or before it was filled.
        const std::vector<unsigned char> sample(data + 64, data + 128);
        m_badFrames += sample == m_previous;
        m_previous = sample;
        m_changed.notify_all();
    }
    void OnDroppedSample() override {
        std::lock_guard lock(m_mutex);
        ++m_dropped;
    }
    bool waitForFrames(int count, std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return m_frames >= count; });
    }
    int frames() const {
        std::lock_guard lock(m_mutex);
        return m_frames;
    }
    int dropped() const {
        std::lock_guard lock(m_mutex);
        return m_dropped;
    }
    int badFrames() const {
        std::lock_guard lock(m_mutex);
        return m_badFrames;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_frames = 0;
    int m_dropped = 0;
    int m_badFrames = 0;
    std::vector<unsigned char> m_previous;
};

// The camera's setup with the changes `edit` makes.
EmulatedV4l2Camera::Setup setupWith(const std::function<void(EmulatedV4l2Camera::Setup&)>& edit) {
    EmulatedV4l2Camera::Setup setup;
    edit(setup);
    return setup;
}

// Opens and starts `capture` into `sink` and waits for its first `frames` frames.
void startStreaming(Framegate::V4l2Capture& capture, CountingSink& sink, int frames) {
    ASSERT_EQ(capture.open(kWidth, kHeight), OpenResult::kOk);
    ASSERT_TRUE(capture.start(sink));
    ASSERT_TRUE(sink.waitForFrames(frames));
}

class EmulatedV4l2Test : public testing::Test {
protected:
    void SetUp() override {
        const std::string reason = EmulatedV4l2Camera::Unavailable();
        if (!reason.empty()) {
            GTEST_SKIP() << reason;
        }
    }
};

}  // namespace

// The camera's video node is listed with its name and USB path; its metadata node is not; a
// second camera is listed after it.
TEST_F(EmulatedV4l2Test, ListsEachCameraByItsVideoNode) {
    for (const bool webcam : {false, true}) {
        EmulatedV4l2Camera camera(setupWith([&](auto& s) { s.webcam = webcam; }));
        const auto devices = Framegate::V4l2Enumerator().devices();
        ASSERT_EQ(devices.size(), webcam ? 2u : 1u);
        EXPECT_EQ(devices[0].friendlyName, "Thermal Camera");
        EXPECT_EQ(devices[0].devicePath, "usb#vid_1d6b&pid_0102#1-1#/dev/video0");
        EXPECT_EQ(devices[0].locator, "/dev/video0");
        if (webcam) {
            EXPECT_EQ(devices[1].friendlyName, "USB Webcam");
            EXPECT_EQ(devices[1].devicePath, "usb#vid_046d&pid_0825#1-2#/dev/video2");
        }
        camera.unplug();
        EXPECT_EQ(Framegate::V4l2Enumerator().devices().size(), webcam ? 1u : 0u);
    }
}

TEST_F(EmulatedV4l2Test, ADriverRefusingYuyvIsRefusedAndAnotherSizeIsTaken) {
    {
        EmulatedV4l2Camera camera(setupWith([](auto& s) { s.grantedFormat = V4L2_PIX_FMT_MJPEG; }));
        Framegate::V4l2Capture capture("/dev/video0");
        EXPECT_EQ(capture.open(kWidth, kHeight), OpenResult::kFormatRejected);
    }
    EmulatedV4l2Camera camera(setupWith([](auto& s) {
        s.grantedWidth = 240;
        s.grantedHeight = 320;
    }));
    Framegate::V4l2Capture capture("/dev/video0");
    ASSERT_EQ(capture.open(kWidth, kHeight), OpenResult::kOk);
    EXPECT_EQ(capture.width(), 240);
    EXPECT_EQ(capture.height(), 320);
}

// Each row streams for a while through the real mmap and poll: the frames that arrive, those
// dropped, and whether the stream is still running.
TEST_F(EmulatedV4l2Test, StreamingKeepsItsPaceAndCountsWhatTheDriverLoses) {
    struct Row {
        const char* name;
        std::function<Fault(uint64_t)> fault;
        int minFrames;  // within the second after the first frame
        int dropped;    // -1: at least minDropped
        bool ends;      // the stream ends by itself
    };
    const Row rows[] = {
        {"clean", nullptr, 20, 0, false},
        {"short frames", [](uint64_t n) { return n % 5 == 4 ? Fault::kShort : Fault::kNone; }, 15,
         -1, false},
        {"sequence gaps",
         [](uint64_t n) { return n > 0 && n % 10 == 0 ? Fault::kLost : Fault::kNone; }, 20, -1,
         false},
        {"transient EIO",
         [](uint64_t n) { return n >= 3 && n < 6 ? Fault::kIoError : Fault::kNone; }, 15, 3, false},
        {"ten EIO in a row", [](uint64_t n) { return n >= 3 ? Fault::kIoError : Fault::kNone; }, 3,
         10, true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EmulatedV4l2Camera camera(setupWith([&](auto& s) { s.fault = row.fault; }));
        Framegate::V4l2Capture capture("/dev/video0");
        CountingSink sink;
        ASSERT_NO_FATAL_FAILURE(startStreaming(capture, sink, 1));
        std::this_thread::sleep_for(1s);
        EXPECT_GE(sink.frames(), row.minFrames);
        EXPECT_EQ(sink.badFrames(), 0);
        if (row.dropped >= 0) {
            EXPECT_EQ(sink.dropped(), row.dropped);
        } else {
            EXPECT_GE(sink.dropped(), 2);
        }
        const uint64_t delivered = camera.framesDelivered();
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(camera.framesDelivered() > delivered, !row.ends);
        capture.stop();
    }
}

// A camera whose stream stops sending keeps the stream waiting without spinning; one that is
// unplugged is gone for the next open too.
TEST_F(EmulatedV4l2Test, AStalledStreamWaitsAndAnUnpluggedCameraIsGone) {
    CalorviewTest::TempDir dir;
    const std::string scenario = dir.file("stalls.json");
    CalorviewTest::writeFile(
        scenario, CalorviewTest::scenarioJson("Thermal Camera", kWidth, kHeight, 25,
                                              "\"timeline\": [{\"at_ms\": 400, \"stall\": true}]"));
    EmulatedV4l2Camera camera(setupWith([&](auto& s) { s.scenario = scenario; }));
    Framegate::V4l2Capture capture("/dev/video0");
    CountingSink sink;
    ASSERT_NO_FATAL_FAILURE(startStreaming(capture, sink, 5));
    std::this_thread::sleep_for(500ms);
    const int frames = sink.frames();
    const std::clock_t cpuBefore = std::clock();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(sink.frames(), frames);
    EXPECT_EQ(sink.dropped(), 0);
    // Waiting, not asking the device again and again.
    EXPECT_LT(std::clock() - cpuBefore, CLOCKS_PER_SEC / 5);
    camera.unplug();
    capture.stop();
    EXPECT_EQ(capture.open(kWidth, kHeight), OpenResult::kNoStreamConfig);
}
