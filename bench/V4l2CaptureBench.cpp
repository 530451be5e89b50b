// The V4L2 back-end's own cost per delivered frame at 480 x 640, against the fake device: from
// the driver's dequeue to the sink's entry (checks, buffer lookup, the call), and, for scale,
// from a frame becoming ready to the sink's entry (adds the streaming thread's wake-up).
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "camlib/FakeV4l2Api.h"
#include "capture/FrameSink.h"
#include "capture/v4l2/V4l2Capture.h"

using CalorviewTest::FakeV4l2Api;
using Framegate::FrameSink;
using Framegate::OpenResult;
using Framegate::V4l2Capture;

namespace {

constexpr const char* kNode = "/dev/video0";
constexpr int kWidth = 480;
constexpr int kHeight = 640;
constexpr __u32 kFrameBytes = kWidth * kHeight * 2;

class TimingSink : public FrameSink {
public:
    explicit TimingSink(const FakeV4l2Api& api) : m_api(api) {}

    void OnData(const unsigned char* data, long) override {
        const auto entered = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(data);
        m_sinceDequeue.store((entered - m_api.lastDequeue()).count(), std::memory_order_relaxed);
        m_entered.store(entered.time_since_epoch().count(), std::memory_order_relaxed);
        m_delivered.fetch_add(1, std::memory_order_release);
    }
    void OnDroppedSample() override {}

    // Queues one frame and waits for the sink to have it.
    void deliverOne(FakeV4l2Api& api) {
        const std::int64_t before = m_delivered.load(std::memory_order_acquire);
        api.pushFrame(kNode, FakeV4l2Api::Frame(kFrameBytes));
        while (m_delivered.load(std::memory_order_acquire) == before) {
            std::this_thread::yield();
        }
    }
    double secondsSinceDequeue() const {
        return std::chrono::duration<double>(
                   std::chrono::steady_clock::duration(m_sinceDequeue.load()))
            .count();
    }
    std::chrono::steady_clock::time_point entered() const {
        return std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(m_entered.load()));
    }

private:
    const FakeV4l2Api& m_api;
    std::atomic<std::int64_t> m_delivered{0};
    std::atomic<std::chrono::steady_clock::rep> m_sinceDequeue{0};
    std::atomic<std::chrono::steady_clock::rep> m_entered{0};
};

// Runs `measure` once per iteration with an open, streaming capture; it returns the seconds the
// iteration counts.
template <typename Measure>
void runStreaming(benchmark::State& state, Measure measure) {
    FakeV4l2Api api;
    api.addDevice(kNode);
    V4l2Capture capture(kNode, api);
    TimingSink sink(api);
    if (capture.open(kWidth, kHeight) != OpenResult::kOk || !capture.start(sink)) {
        state.SkipWithError("the fake device did not open");
        return;
    }
    for (auto _ : state) {
        state.SetIterationTime(measure(api, sink));
    }
    capture.stop();
    state.SetItemsProcessed(state.iterations());
}

void BM_V4l2DequeueToSink(benchmark::State& state) {
    runStreaming(state, [](FakeV4l2Api& api, TimingSink& sink) {
        sink.deliverOne(api);
        return sink.secondsSinceDequeue();
    });
}
BENCHMARK(BM_V4l2DequeueToSink)->UseManualTime();

void BM_V4l2FrameReadyToSink(benchmark::State& state) {
    runStreaming(state, [](FakeV4l2Api& api, TimingSink& sink) {
        const auto ready = std::chrono::steady_clock::now();
        sink.deliverOne(api);
        return std::chrono::duration<double>(sink.entered() - ready).count();
    });
}
BENCHMARK(BM_V4l2FrameReadyToSink)->UseManualTime();

}  // namespace
