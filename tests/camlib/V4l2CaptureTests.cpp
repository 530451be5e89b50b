#include "capture/v4l2/V4l2Capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "camlib/FakeV4l2Api.h"
#include "capture/FrameSink.h"

using namespace std::chrono_literals;
using CalorviewTest::FakeV4l2Api;
using Framegate::FrameSink;
using Framegate::OpenResult;
using Framegate::V4l2Capture;

namespace {

constexpr const char* kNode = "/dev/video0";
constexpr int kWidth = 480;
constexpr int kHeight = 640;
constexpr __u32 kFrameBytes = kWidth * kHeight * 2;

// Records what reaches it: per good sample its length and first and last byte, and the order
// of good ('D') and dropped ('X') samples.
class RecordingSink : public FrameSink {
public:
    struct Sample {
        long length;
        unsigned char first;
        unsigned char last;
    };

    void OnData(const unsigned char* data, long length) override {
        std::lock_guard lock(m_mutex);
        m_samples.push_back({length, data[0], data[length - 1]});
        m_lastBytes.assign(data, data + length);
        m_order.push_back('D');
        m_changed.notify_all();
    }
    void OnDroppedSample() override {
        std::lock_guard lock(m_mutex);
        m_order.push_back('X');
        m_changed.notify_all();
    }

    // True once `count` samples, good or dropped, have arrived.
    bool waitFor(std::size_t count) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, 5s, [&] { return m_order.size() >= count; });
    }
    std::vector<unsigned char> lastBytes() const {
        std::lock_guard lock(m_mutex);
        return m_lastBytes;
    }
    std::vector<Sample> samples() const {
        std::lock_guard lock(m_mutex);
        return m_samples;
    }
    std::string order() const {
        std::lock_guard lock(m_mutex);
        return m_order;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Sample> m_samples;
    std::vector<unsigned char> m_lastBytes;
    std::string m_order;
};

FakeV4l2Api::Frame goodFrame(int fill) {
    return FakeV4l2Api::Frame(kFrameBytes, 0, fill);
}

TEST(V4l2CaptureOpenTest, EachFailureHasItsResultAndReleasesEverything) {
    const struct {
        const char* what;
        bool present;
        std::function<void(FakeV4l2Api::Device&)> device;
        OpenResult result;
        int error;
    } cases[] = {
        {"no such node", false, nullptr, OpenResult::kNoStreamConfig, ENOENT},
        {"open refused", true, [](auto& d) { d.openError = EACCES; }, OpenResult::kNoStreamConfig,
         EACCES},
        {"metadata node", true, [](auto& d) { d.deviceCaps = V4L2_CAP_META_CAPTURE; },
         OpenResult::kNoStreamConfig, 0},
        {"format unreadable", true,
         [](auto& d) {
             d.ioctlErrors = {{VIDIOC_G_FMT, EIO}};
         },
         OpenResult::kFormatUnreadable, EIO},
        {"format refused", true,
         [](auto& d) {
             d.ioctlErrors = {{VIDIOC_S_FMT, EBUSY}};
         },
         OpenResult::kFormatRejected, EBUSY},
        {"no YUYV granted", true, [](auto& d) { d.grantedPixelFormat = V4L2_PIX_FMT_MJPEG; },
         OpenResult::kFormatRejected, 0},
        {"lines longer than two packed lines", true,
         [](auto& d) { d.grantedBytesPerLine = kWidth * 4 + 2; }, OpenResult::kFormatRejected, 0},
        {"interlaced only", true, [](auto& d) { d.grantedField = V4L2_FIELD_INTERLACED; },
         OpenResult::kFormatRejected, 0},
        {"stream start refused later, open fine", true,
         [](auto& d) {
             d.ioctlErrors = {{VIDIOC_STREAMON, ENOSPC}};
         },
         OpenResult::kOk, 0},
        {"no buffers", true,
         [](auto& d) {
             d.ioctlErrors = {{VIDIOC_REQBUFS, ENOMEM}};
         },
         OpenResult::kNotConnected, ENOMEM},
        {"zero buffers granted", true, [](auto& d) { d.grantedBuffers = 0; },
         OpenResult::kNotConnected, 0},
        {"buffer not queued", true,
         [](auto& d) {
             d.ioctlErrors = {{VIDIOC_QBUF, EINVAL}};
         },
         OpenResult::kNotConnected, EINVAL},
    };
    for (const auto& c : cases) {
        FakeV4l2Api api;
        if (c.present) {
            api.addDevice(kNode, c.device);
        }
        V4l2Capture capture(kNode, api);

        EXPECT_EQ(capture.open(kWidth, kHeight), c.result) << c.what;
        EXPECT_EQ(capture.lastError(), c.error) << c.what;
        if (c.result == OpenResult::kOk) {
            // The only open that succeeds here is refused at the stream start: the reason
            // reaches the caller and nothing stays set up.
            RecordingSink sink;
            EXPECT_FALSE(capture.start(sink)) << c.what;
            EXPECT_EQ(capture.lastError(), ENOSPC) << c.what;
        } else {
            capture.stop();  // safe after a failed open
        }
        EXPECT_EQ(api.openHandles(), 0) << c.what;
        EXPECT_EQ(api.mappedBuffers(), 0) << c.what;
    }
}

TEST(V4l2CaptureOpenTest, AsksForYuyvAt25FpsAndTakesTheGrantedSize) {
    FakeV4l2Api api;
    api.addDevice(kNode, [](auto& d) {
        d.grantedWidth = 320;
        d.grantedHeight = 240;
        d.grantedBuffers = 2;
    });
    V4l2Capture capture(kNode, api);

    ASSERT_EQ(capture.open(kWidth, kHeight), OpenResult::kOk);

    const v4l2_pix_format asked = api.requestedFormat(kNode);
    EXPECT_EQ(asked.pixelformat, V4L2_PIX_FMT_YUYV);
    EXPECT_EQ(asked.width, static_cast<__u32>(kWidth));
    EXPECT_EQ(asked.height, static_cast<__u32>(kHeight));
    const v4l2_fract interval = api.requestedFrameInterval(kNode);
    EXPECT_EQ(interval.numerator, 1u);
    EXPECT_EQ(interval.denominator, 25u);
    EXPECT_EQ(capture.width(), 320);
    EXPECT_EQ(capture.height(), 240);
    EXPECT_EQ(api.mappedBuffers(), 2);

    // Delivered frames have the granted size, not the requested one.
    RecordingSink sink;
    ASSERT_TRUE(capture.start(sink));
    api.pushFrame(kNode, FakeV4l2Api::Frame(320 * 240 * 2, 0, 7));
    ASSERT_TRUE(sink.waitFor(1));
    EXPECT_EQ(sink.samples().at(0).length, 320 * 240 * 2);
}

TEST(V4l2CaptureOpenTest, RefusedFrameRateIsNotFatalAndStopWithoutStartReleases) {
    FakeV4l2Api api;
    api.addDevice(kNode, [](auto& d) { d.ioctlErrors = {{VIDIOC_S_PARM, ENOTTY}}; });
    V4l2Capture capture(kNode, api);
    capture.stop();  // not even opened
    EXPECT_EQ(capture.open(kWidth, kHeight), OpenResult::kOk);
    EXPECT_EQ(capture.lastError(), 0);

    capture.stop();
    EXPECT_EQ(api.openHandles(), 0);
    EXPECT_EQ(api.mappedBuffers(), 0);
}

class V4l2CaptureStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_api.addDevice(kNode);
        ASSERT_EQ(m_capture.open(kWidth, kHeight), OpenResult::kOk);
        ASSERT_TRUE(m_capture.start(m_sink));
    }

    FakeV4l2Api m_api;
    V4l2Capture m_capture{kNode, m_api};
    RecordingSink m_sink;
};

TEST_F(V4l2CaptureStreamTest, DeliversWholeFramesFromEveryBufferInTurn) {
    // More frames than buffers: only buffers queued back after delivery can carry the rest.
    constexpr int kFrames = 3 * V4l2Capture::kBufferCount;
    for (int i = 0; i < kFrames; ++i) {
        // A driver may count padding in bytesused; exactly one frame is handed on.
        m_api.pushFrame(kNode, FakeV4l2Api::Frame(kFrameBytes + (i % 2) * 128, 0, i));
    }

    ASSERT_TRUE(m_sink.waitFor(kFrames));
    const auto samples = m_sink.samples();
    ASSERT_EQ(samples.size(), static_cast<std::size_t>(kFrames));
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(samples[i].length, static_cast<long>(kFrameBytes)) << i;
        EXPECT_EQ(samples[i].first, i) << i;
        EXPECT_EQ(samples[i].last, i) << i;
    }
}

TEST(V4l2CapturePaddingTest, PaddedLinesArePackedAndAnInterruptedOpenIsRetried) {
    for (const __u32 lineBytes : {kWidth * 2u, kWidth * 2u + 64u}) {
        FakeV4l2Api api;
        api.addDevice(kNode, [&](auto& d) {
            d.grantedBytesPerLine = lineBytes;
            d.openInterrupts = 2;
        });
        V4l2Capture capture(kNode, api);
        ASSERT_EQ(capture.open(kWidth, kHeight), OpenResult::kOk) << lineBytes;
        EXPECT_EQ(api.requestedFormat(kNode).field, static_cast<__u32>(V4L2_FIELD_NONE));
        RecordingSink sink;
        ASSERT_TRUE(capture.start(sink));
        // A padded frame's last line ends without padding: bytesused may stop there.
        api.pushFrame(kNode, FakeV4l2Api::Frame(lineBytes * (kHeight - 1) + kWidth * 2, 0,
                                                FakeV4l2Api::Frame::kLineNumbers));
        ASSERT_TRUE(sink.waitFor(1)) << lineBytes;
        capture.stop();
        const std::vector<unsigned char> frame = sink.lastBytes();
        ASSERT_EQ(frame.size(), std::size_t{kFrameBytes}) << lineBytes;
        for (int line = 0; line < kHeight; ++line) {
            const auto* start = frame.data() + std::size_t{kWidth} * 2 * line;
            ASSERT_TRUE(std::all_of(start, start + kWidth * 2,
                                    [&](unsigned char b) { return b == (line & 0xFF); }))
                << "line " << line << " with " << lineBytes << " bytes per line";
        }
    }
}

TEST_F(V4l2CaptureStreamTest, ErroneousAndShortSamplesAreDroppedAndCounted) {
    const FakeV4l2Api::Frame frames[] = {
        goodFrame(1),
        FakeV4l2Api::Frame(kFrameBytes, V4L2_BUF_FLAG_ERROR, 2),
        FakeV4l2Api::Frame(kFrameBytes - 1, 0, 3),
        FakeV4l2Api::Frame(0),
        goodFrame(5),
        FakeV4l2Api::Frame(kFrameBytes, V4L2_BUF_FLAG_ERROR, 6),
        goodFrame(7),
    };
    for (const auto& frame : frames) {
        m_api.pushFrame(kNode, frame);
    }

    ASSERT_TRUE(m_sink.waitFor(std::size(frames)));
    EXPECT_EQ(m_sink.order(), "DXXXDXD");
    const auto samples = m_sink.samples();
    ASSERT_EQ(samples.size(), 3u);
    EXPECT_EQ(samples[0].first, 1);
    EXPECT_EQ(samples[1].first, 5);
    EXPECT_EQ(samples[2].first, 7);
}

// What a USB camera's driver reports besides whole frames: a frame it failed with EIO, and gaps
// in its sequence numbers (frames it lost). Each lost frame is counted as dropped and the stream
// goes on; only ten EIOs in a row end it, and then no later frame is taken.
TEST(V4l2CaptureDropTest, LostFramesAreCountedAndOnlyASteadyErrorEndsTheStream) {
    using Frame = FakeV4l2Api::Frame;
    const auto gap = [](int skipped, int fill) {
        Frame frame = goodFrame(fill);
        frame.skippedSequences = static_cast<__u32>(skipped);
        return frame;
    };
    const auto errors = [](int count) { return std::vector<Frame>(count, Frame::failing(EIO)); };
    struct Case {
        const char* what;
        std::vector<Frame> frames;
        std::string order;
        bool ends;
    };
    std::vector<Case> cases = {
        {"one EIO", {goodFrame(1), Frame::failing(EIO), goodFrame(3)}, "DXD", false},
        {"a gap of three", {goodFrame(1), gap(3, 2), goodFrame(3)}, "DXXXDD", false},
        {"nine EIOs, then a frame", {}, "D" + std::string(9, 'X') + "D", false},
        {"ten EIOs", {}, "D" + std::string(10, 'X'), true},
    };
    for (int i : {2, 3}) {
        cases[i].frames.push_back(goodFrame(1));
        for (const Frame& frame : errors(i == 2 ? 9 : 10)) {
            cases[i].frames.push_back(frame);
        }
        cases[i].frames.push_back(goodFrame(2));
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeV4l2Api api;
        api.addDevice(kNode);
        V4l2Capture capture(kNode, api);
        RecordingSink sink;
        ASSERT_EQ(capture.open(kWidth, kHeight), OpenResult::kOk);
        ASSERT_TRUE(capture.start(sink));
        for (const Frame& frame : c.frames) {
            api.pushFrame(kNode, frame);
        }
        ASSERT_TRUE(sink.waitFor(c.order.size()));
        std::this_thread::sleep_for(200ms);  // a frame after the end would arrive meanwhile
        EXPECT_EQ(sink.order(), c.order);
        const int polls = api.pollCalls();
        std::this_thread::sleep_for(150ms);
        EXPECT_EQ(api.pollCalls() == polls, c.ends) << "the thread still polls: " << !c.ends;
        capture.stop();
    }
}

TEST_F(V4l2CaptureStreamTest, InterruptedPollKeepsStreaming) {
    m_api.interruptPolls(3);
    m_api.pushFrame(kNode, goodFrame(9));
    ASSERT_TRUE(m_sink.waitFor(1));
    EXPECT_EQ(m_sink.order(), "D");
}

TEST_F(V4l2CaptureStreamTest, StopReleasesTheDeviceAndIsRepeatable) {
    EXPECT_FALSE(m_capture.start(m_sink));  // already streaming
    m_capture.stop();
    EXPECT_FALSE(m_api.streaming(kNode));
    EXPECT_EQ(m_api.mappedBuffers(), 0);
    EXPECT_EQ(m_api.openHandles(), 0);
    m_capture.stop();
    EXPECT_FALSE(m_capture.start(m_sink));  // nothing open any more
}

// The device vanishes (unplugged: ENODEV) or its queue breaks (EIO) while streaming: the thread
// ends by itself instead of spinning on POLLERR, and stop still releases everything at once.
TEST(V4l2CaptureLossTest, LostDeviceEndsStreamingAndStopReturnsAtOnce) {
    for (const int error : {ENODEV, EIO}) {
        FakeV4l2Api api;
        api.addDevice(kNode);
        V4l2Capture capture(kNode, api);
        RecordingSink sink;
        ASSERT_EQ(capture.open(kWidth, kHeight), OpenResult::kOk);
        ASSERT_TRUE(capture.start(sink));
        api.pushFrame(kNode, goodFrame(1));
        ASSERT_TRUE(sink.waitFor(1));

        if (error == ENODEV) {
            api.unplug(kNode);
        } else {
            api.failStream(kNode, error);
        }
        api.pushFrame(kNode, goodFrame(2));
        std::this_thread::sleep_for(200ms);
        const int polls = api.pollCalls();
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(api.pollCalls(), polls) << "still polling after error " << error;

        const auto before = std::chrono::steady_clock::now();
        capture.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
        // A queue in an error state fails every dequeue: ten dropped frames, then the end.
        EXPECT_EQ(sink.order(),
                  error == EIO ? "D" + std::string(V4l2Capture::kIoErrorsInARow, 'X') : "D");
        EXPECT_EQ(api.openHandles(), 0);
        EXPECT_EQ(api.mappedBuffers(), 0);
    }
}

TEST(V4l2CaptureLifeTest, DestroyingAStreamingCaptureStopsIt) {
    FakeV4l2Api api;
    api.addDevice(kNode);
    RecordingSink sink;
    {
        V4l2Capture capture(kNode, api);
        ASSERT_EQ(capture.open(kWidth, kHeight), OpenResult::kOk);
        ASSERT_TRUE(capture.start(sink));
        api.pushFrame(kNode, goodFrame(1));
        ASSERT_TRUE(sink.waitFor(1));
    }
    EXPECT_EQ(api.openHandles(), 0);
    EXPECT_EQ(api.mappedBuffers(), 0);
}

// A sink that notices any call after stop returned; its own state is shared with the test
// thread, so ThreadSanitizer also sees whether stop orders the streaming thread's end.
class StopWatchingSink : public FrameSink {
public:
    void OnData(const unsigned char*, long) override { note(); }
    void OnDroppedSample() override { note(); }

    std::atomic<bool> stopped{false};
    std::atomic<int> lateCalls{0};
    std::atomic<int> seen{0};
    int calls =
        0;  // plain on purpose: only the streaming thread and, after stop, the test touch it

private:
    void note() {
        ++calls;
        ++seen;
        std::this_thread::sleep_for(200us);  // a sink at work while stop is asked for
        if (stopped) {
            ++lateCalls;  // still inside the sink when stop had returned
        }
    }
};

TEST(V4l2CaptureLifeTest, NoSinkCallAfterStopReturns) {
    FakeV4l2Api api;
    api.addDevice(kNode);
    std::atomic<bool> producing{true};
    // Frames keep coming all the time, also while stop runs; a fifth of them are short.
    std::thread producer([&] {
        for (__u32 i = 0; producing; ++i) {
            api.pushFrame(kNode, FakeV4l2Api::Frame(i % 5 == 0 ? 8 : kFrameBytes));
            std::this_thread::sleep_for(100us);
        }
    });
    V4l2Capture capture(kNode, api);
    for (int round = 0; round < 5; ++round) {
        StopWatchingSink sink;
        ASSERT_EQ(capture.open(kWidth, kHeight), OpenResult::kOk);
        ASSERT_TRUE(capture.start(sink));
        const auto until = std::chrono::steady_clock::now() + 2s;
        while (sink.seen < 20 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(1ms);
        }
        capture.stop();
        sink.stopped = true;
        const int calls = sink.calls;
        std::this_thread::sleep_for(20ms);
        EXPECT_EQ(sink.lateCalls, 0);
        EXPECT_EQ(sink.calls, calls);
        EXPECT_GT(calls, 0) << "round " << round;
    }
    producing = false;
    producer.join();
}

}  // namespace
