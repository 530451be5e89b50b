// Frame-to-screen latency of the live picture: from the moment the virtual camera's frame
// enters the client's stream callback to the end of the paint that shows it, over 1000 shown
// frames, with the video window at 1280 x 670 (offscreen). Prints p50, p99 and the maximum.
//
// Usage: calorview_frame_latency [fps]   (default 100, so 1000 frames take about 10 s)
#include <QApplication>
#include <QTimer>
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "framegate/SDK_USB.h"
#include "support/ScenarioFile.h"
#include "support/TempDir.h"
#include "video/D3DVideoRenderer.h"
#include "video/DeviceConnectionManager.h"
#include "video/StreamCallback.h"
#include "video/VideoWindow.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kSamples = 1000;
constexpr size_t kSlots = 1 << 16;  // arrival times by the renderer's picture serial

std::array<std::atomic<int64_t>, kSlots> g_arrival{};

int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Wraps the client's callback: the picture OnStreamFrame hands over gets the next serial.
int timedCallback(int width, int height, const char* data, int length, int format) {
    const uint64_t serial = D3DVideoRenderer::instance()->GetStats().handedOver + 1;
    g_arrival[serial % kSlots].store(nowNs(), std::memory_order_relaxed);
    return OnStreamFrame(width, height, data, length, format);
}

// Lets the window paint, then notes when the paint that showed a new picture ended.
class PaintClock : public QObject {
public:
    std::vector<double> latenciesMs;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Paint) {
            return false;
        }
        static_cast<QObject*>(watched)->event(event);
        const uint64_t serial = D3DVideoRenderer::instance()->GetStats().shownSerial;
        if (serial != 0 && serial != m_lastSerial) {
            m_lastSerial = serial;
            const int64_t arrival = g_arrival[serial % kSlots].load(std::memory_order_relaxed);
            latenciesMs.push_back(static_cast<double>(nowNs() - arrival) / 1e6);
        }
        return true;
    }

private:
    uint64_t m_lastSerial = 0;
};

double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    const size_t at = std::min(values.size() - 1, static_cast<size_t>(p * values.size()));
    return values[at];
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const int fps = argc > 1 ? std::atoi(argv[1]) : 100;
    QApplication app(argc, argv);

    CalorviewTest::TempDir dir;
    std::filesystem::create_directory(dir.path() / "QZLog");
    std::filesystem::current_path(dir.path());
    const std::string scenario = dir.file("latency.json");
    CalorviewTest::writeFile(
        scenario,
        CalorviewTest::scenarioJson("Latency", 480, 640, fps, R"("timeline": [{"rect": true}])"));
    CalorviewTest::useVirtualCameras({scenario});

    int index = 0;
    char name[320] = {};
    if (!GetUsbDeviceNum(&index, name) ||
        !DeviceConnectionManager::instance()->ConnectToDev(index)) {
        std::fprintf(stderr, "cannot open the virtual camera\n");
        return 1;
    }
    VideoWindow window;
    window.resize(1280, 670);
    PaintClock paintClock;
    window.installEventFilter(&paintClock);
    window.show();
    window.StartVideo();
    RegisterUSBStreamCallBack(index, timedCallback);

    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (paintClock.latenciesMs.size() >= kSamples) {
            app.quit();
        }
    });
    poll.start(20);
    QTimer::singleShot(std::chrono::seconds(20 + 2 * kSamples / std::max(fps, 1)), &app,
                       &QApplication::quit);
    app.exec();
    DeviceConnectionManager::instance()->DisconnectDev();

    const std::vector<double>& samples = paintClock.latenciesMs;
    if (samples.size() < kSamples) {
        std::fprintf(stderr, "only %zu frames shown\n", samples.size());
        return 1;
    }
    const D3DVideoRenderer::Stats stats = D3DVideoRenderer::instance()->GetStats();
    std::printf("fps %d, %zu frames shown (%llu handed over, %llu superseded)\n", fps,
                samples.size(), static_cast<unsigned long long>(stats.handedOver),
                static_cast<unsigned long long>(stats.superseded));
    std::printf("frame-to-screen latency: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                percentile(samples, 0.50), percentile(samples, 0.99),
                *std::max_element(samples.begin(), samples.end()));
    return 0;
}
