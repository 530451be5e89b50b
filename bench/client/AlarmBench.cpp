// An alarm's cost at 480 x 640 against a connected virtual camera: the alarm snapshot to a
// finished PNG file, the capture thread's intake per alarm frame, and the GUI thread's work per
// handled alarm (snapshot, item, thumbnail), with percentiles.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "alarm/AlarmWindow.h"
#include "settings/SettingStore.h"
#include "support/FakeDiskSpace.h"
#include "support/ScenarioFile.h"
#include "support/TempDir.h"
#include "support/Timing.h"
#include "video/DeviceConnectionManager.h"
#include "video/FrameFacts.h"
#include "video/VideoWindow.h"

namespace {

CalorviewTest::TempDir* g_dir = nullptr;

using CalorviewBench::ReportPercentiles;
using CalorviewBench::ThreadCpuMs;

// The panel, connected, with its folders in the temp folder and no alarm recordings.
struct Page {
    CalorviewTest::FakeDiskSpace disk;
    AlarmWindow panel;
    Page() {
        SettingStore& s = SettingStore::instance();
        s.setAlarmImagesPath(QString::fromStdString(g_dir->path().string()));
        s.setAlarmRecordEnabled(false);
        s.setAlarmSoundEnabled(false);
        panel.resize(1280, 670);
        panel.show();
        DeviceConnectionManager::instance()->ConnectToDev(0);
        panel.videoWindow()->StartVideo();
        while (!panel.videoWindow()->IsStillRecvYUV()) {
            QCoreApplication::processEvents();
        }
    }
    ~Page() { DeviceConnectionManager::instance()->DisconnectDev(); }
};

void ClearImages() {
    for (const auto& entry : std::filesystem::directory_iterator(g_dir->path())) {
        if (entry.path().extension() == ".png") {
            std::filesystem::remove(entry.path());
        }
    }
}

void BM_AlarmSnapshotToPng(benchmark::State& state) {
    Page page;
    VideoWindow* video = page.panel.videoWindow();
    video->CopyFrameForSnapshot(FrameFacts{"20261207_091500", "2026-12-07 09:15:00", 385, 0});
    int n = 0;
    for (auto _ : state) {
        const std::string path = g_dir->file("bench_" + std::to_string(n++) + ".png");
        int result = 0;
        video->SaveSnapshot(path.c_str(), &result);
    }
    state.counters["file_KiB"] = std::filesystem::file_size(g_dir->file("bench_0.png")) / 1024.0;
    ClearImages();
}
BENCHMARK(BM_AlarmSnapshotToPng)->Unit(benchmark::kMillisecond);

// 1000 alarm frames, one every 4 ms from a thread standing in for the capture thread, while
// this (GUI) thread handles the alarms that get through.
void BM_AlarmEpisodeIntake(benchmark::State& state) {
    Page page;
    std::vector<double> intakeMs;
    for (auto _ : state) {
        std::atomic<bool> done{false};
        std::thread capture([&] {
            const int32_t word = 385;
            for (int i = 0; i < 1000; ++i) {
                const double start = ThreadCpuMs();
                page.panel.OnAlarmFrame(&word, "20261207_091500", "2026-12-07 09:15:00", 0, 1);
                intakeMs.push_back(ThreadCpuMs() - start);
                std::this_thread::sleep_for(std::chrono::milliseconds(4));
            }
            done = true;
        });
        while (!done) {
            QCoreApplication::processEvents();
        }
        capture.join();
        QCoreApplication::processEvents();
    }
    ReportPercentiles(state, intakeMs);
    ClearImages();
}
BENCHMARK(BM_AlarmEpisodeIntake)->Iterations(1)->Unit(benchmark::kMillisecond);

// The GUI thread's work for one handled alarm: snapshot file, item with its thumbnail.
void BM_HandledAlarmOnTheGuiThread(benchmark::State& state) {
    Page page;
    std::vector<double> guiMs;
    const QString path = QString::fromStdString(g_dir->file("Alarm_20261207_091500_0.png"));
    for (auto _ : state) {
        for (int i = 0; i < 200; ++i) {
            page.panel.videoWindow()->CopyFrameForSnapshot();
            emit page.panel.pushAlarm(path, "20261207_091500", "2026-12-07 09:15:00", 38.5, 0, 0);
            const auto start = std::chrono::steady_clock::now();
            QCoreApplication::sendPostedEvents(&page.panel);
            guiMs.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
        }
    }
    ReportPercentiles(state, guiMs);
    ClearImages();
}
BENCHMARK(BM_HandledAlarmOnTheGuiThread)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    CalorviewTest::TempDir dir;
    g_dir = &dir;
    const std::string scenario = dir.file("camera.json");
    CalorviewTest::writeFile(scenario, CalorviewTest::scenarioJson("Bench", 480, 640, 25));
    CalorviewTest::useVirtualCameras({scenario});
    QApplication app(argc, argv);
    SettingStore::instance().setPath(QString::fromStdString(dir.file("kvs.ini")));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
