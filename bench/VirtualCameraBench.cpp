// The virtual camera: how many 480 x 640 frames one core renders (scene and metadata words),
// and whether four cameras streaming at 25 fps each keep their pace.
//
// The four-camera run lasts FRAMEGATE_BENCH_STREAM_SECONDS seconds (default 3, so that the
// whole suite stays quick); the soak run is FRAMEGATE_BENCH_STREAM_SECONDS=60.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/FrameSink.h"
#include "capture/virtual/VirtualCapture.h"
#include "capture/virtual/VirtualScenario.h"
#include "capture/virtual/VirtualScene.h"
#include "framegate/FrameMetadata.h"

using namespace Framegate;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCameras = 4;
constexpr int kShortRunSeconds = 3;

void BM_VirtualFrame480x640(benchmark::State& state) {
    const VirtualScenario scenario = VirtualScenario::demo();
    VirtualScene scene(scenario.width(), scenario.height());
    std::vector<uint8_t> frame(scene.frameBytes());
    int64_t elapsedMs = 0;
    for (auto _ : state) {
        const std::chrono::milliseconds elapsed(elapsedMs += 40);
        const VirtualScenario::FrameState words = scenario.stateAt(elapsed, std::time(nullptr));
        scene.render(elapsed, frame.data());
        writeBigEndian(frame.data(), words.captureTime);
        writeLittleEndian(frame.data() + frame.size() - 4, words.flags);
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(frame.size()));
}
BENCHMARK(BM_VirtualFrame480x640)->Unit(benchmark::kMicrosecond);

// Counts what one camera delivers. A frame is late when it arrives more than one period after
// its deadline, the deadlines being a grid anchored at the first frame's arrival; frames the
// camera skipped (reported as dropped) still take their place on the grid.
class PaceSink : public FrameSink {
public:
    explicit PaceSink(double fps) : m_period(std::chrono::duration<double>(1.0 / fps)) {}

    void OnData(const unsigned char* data, long length) override {
        const Clock::time_point now = Clock::now();
        benchmark::DoNotOptimize(data[length - 1]);
        std::lock_guard lock(m_mutex);
        if (m_delivered == 0) {
            m_first = now;
        }
        const auto deadline =
            m_first + std::chrono::duration_cast<Clock::duration>(
                          m_period * static_cast<double>(m_delivered + m_dropped));
        const auto lateness = std::chrono::duration<double>(now - deadline);
        if (lateness > m_period) {
            ++m_late;
        }
        m_worstLateness = std::max(m_worstLateness, lateness);
        ++m_delivered;
    }
    void OnDroppedSample() override {
        std::lock_guard lock(m_mutex);
        ++m_dropped;
    }

    int64_t delivered() const { return locked(m_delivered); }
    int64_t dropped() const { return locked(m_dropped); }
    int64_t late() const { return locked(m_late); }
    double worstLatenessMs() const {
        std::lock_guard lock(m_mutex);
        return m_worstLateness.count() * 1000.0;
    }

private:
    int64_t locked(const int64_t& value) const {
        std::lock_guard lock(m_mutex);
        return value;
    }

    const std::chrono::duration<double> m_period;
    mutable std::mutex m_mutex;
    Clock::time_point m_first;
    int64_t m_delivered = 0;
    int64_t m_dropped = 0;
    int64_t m_late = 0;
    std::chrono::duration<double> m_worstLateness{0};
};

void BM_FourVirtualCamerasAt25Fps(benchmark::State& state) {
    const auto duration = std::chrono::seconds(state.range(0));
    char folder[] = "/tmp/calorview-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        state.SkipWithError("no temporary folder");
        return;
    }
    // File-backed cameras, so that the run includes watching the scenario files.
    std::vector<std::unique_ptr<VirtualCapture>> cameras;
    std::vector<std::unique_ptr<PaceSink>> sinks;
    for (int i = 0; i < kCameras; ++i) {
        const std::string path = std::string(folder) + "/camera" + std::to_string(i) + ".json";
        std::ofstream(path) << R"({"fps": 25})";
        cameras.push_back(std::make_unique<VirtualCapture>(path));
        if (cameras.back()->open(480, 640) != OpenResult::kOk) {
            state.SkipWithError("a virtual camera did not open");
            std::filesystem::remove_all(folder);
            return;
        }
        sinks.push_back(std::make_unique<PaceSink>(25.0));
    }
    for (auto _ : state) {
        for (int i = 0; i < kCameras; ++i) {
            cameras[i]->start(*sinks[i]);
        }
        std::this_thread::sleep_for(duration);
        for (const auto& camera : cameras) {
            camera->stop();
        }
    }
    std::filesystem::remove_all(folder);

    int64_t delivered = 0, dropped = 0, late = 0;
    double worst = 0;
    for (const auto& sink : sinks) {
        delivered += sink->delivered();
        dropped += sink->dropped();
        late += sink->late();
        worst = std::max(worst, sink->worstLatenessMs());
    }
    // Frame 0 is due at the start, so a run of n seconds has 25 n + 1 deadlines per camera; the
    // last one falls on the stop and may or may not make it.
    const double expected = kCameras * (25.0 * static_cast<double>(duration.count()) + 1.0);
    state.counters["frames"] = static_cast<double>(delivered);
    state.counters["expected"] = expected;
    state.counters["dropped"] = static_cast<double>(dropped);
    state.counters["late"] = static_cast<double>(late);
    state.counters["worst_lateness_ms"] = worst;
}

int streamSeconds() {
    const char* value = std::getenv("FRAMEGATE_BENCH_STREAM_SECONDS");
    const int seconds = value != nullptr ? std::atoi(value) : 0;
    return seconds > 0 ? seconds : kShortRunSeconds;
}
BENCHMARK(BM_FourVirtualCamerasAt25Fps)
    ->Arg(streamSeconds())
    ->ArgName("seconds")
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
