// An alarm's cost at 480 x 640 against a connected virtual camera: the alarm snapshot to a
// finished PNG file, the PNG encoding alone (the camera's scene, a noisy grey one and a noisy
// coloured one; every filter at several levels), the capture thread's intake per alarm frame and
// the episode tracker's share of it, and the GUI thread's work per handled alarm (starting the
// save, then the item with its thumbnail and the list's repaint), with percentiles.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QCoreApplication>
#include <QScrollArea>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "alarm/AlarmEpisodeTracker.h"
#include "alarm/AlarmWindow.h"
#include "media/ColourConversion.h"
#include "media/PngWriter.h"
#include "media/TimeBurnIn.h"
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
    // The snapshot button's buffer: SaveSnapshot writes it on this thread, where it can be timed;
    // an alarm's is written the same way on the "Snapshot" thread.
    video->CopyFrameForSnapshot();
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

// One snapshot picture (time burnt in) as RGB: the camera's scene (0; grey, as the camera's
// picture is), that scene with strong sensor noise, luma +-24 (1; still grey), or with the same
// noise in luma and chroma (2; coloured, as a palette's picture would be). Made once per scene.
const std::vector<unsigned char>& SnapshotPicture(int scene, int* width, int* height) {
    static std::vector<unsigned char> rgb[3];
    static int sceneWidth = 0;
    static int sceneHeight = 0;
    if (rgb[scene].empty()) {
        std::vector<unsigned char> frame;
        {
            Page page;
            page.panel.videoWindow()->CopyFrameForSnapshot();
            page.panel.videoWindow()->SnapshotCopy(&frame, &sceneWidth, &sceneHeight);
        }
        std::mt19937 random(7);
        std::uniform_int_distribution<int> noise(-24, 24);
        // UYVY: every second byte is a luma, the others chroma.
        const size_t first = scene == 1 ? 1 : 0;
        const size_t step = scene == 1 ? 2 : 1;
        for (size_t i = first; scene != 0 && i < frame.size(); i += step) {
            frame[i] = static_cast<unsigned char>(std::clamp(frame[i] + noise(random), 16, 235));
        }
        rgb[scene].resize(static_cast<size_t>(sceneWidth) * sceneHeight * 3);
        UyvyToRgb24(frame.data(), rgb[scene].data(), sceneWidth, sceneHeight);
        DrawTimeOnFrame(rgb[scene].data(), sceneWidth, sceneHeight, 9 * 3600 + 15 * 60);
    }
    *width = sceneWidth;
    *height = sceneHeight;
    return rgb[scene];
}

// The PNG encoding alone of one snapshot picture of scene range(0) with the facts' text chunks,
// by a writer with filter range(1) (a Media::PngFilter) at level range(2) (0: literals only, else
// libdeflate's level).
void BM_SnapshotPngEncode(benchmark::State& state) {
    int width = 0;
    int height = 0;
    const auto& rgb = SnapshotPicture(static_cast<int>(state.range(0)), &width, &height);
    const auto text = FrameFactsText(FrameFacts{"20261207_091500", "2026-12-07 09:15:00", 385, 0});
    Media::PngWriter writer(static_cast<Media::PngFilter>(state.range(1)),
                            static_cast<int>(state.range(2)));
    std::vector<uint8_t> png;
    for (auto _ : state) {
        writer.Encode(rgb.data(), width, height, text, &png);
    }
    state.counters["file_KiB"] = png.size() / 1024.0;
}
// The writer's defaults on the three scenes.
BENCHMARK(BM_SnapshotPngEncode)
    ->ArgNames({"scene", "filter", "level"})
    ->ArgsProduct({{0, 1, 2}, {static_cast<int>(Media::PngFilter::kSub)}, {0}})
    ->Unit(benchmark::kMillisecond);
// The choices, for size and time: every filter with literals only and at levels 1 to 6.
BENCHMARK(BM_SnapshotPngEncode)
    ->Name("BM_PngFilterAndLevel")
    ->ArgNames({"scene", "filter", "level"})
    ->ArgsProduct({{0, 1, 2}, {0, 1, 2, 3}, {0, 1, 2, 4, 6}})
    ->Unit(benchmark::kMillisecond);

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

// The episode tracker's share of that intake: one alarm frame of an episode in progress.
void BM_EpisodeTrackerAlarmFrame(benchmark::State& state) {
    AlarmEpisodeTracker tracker;
    int32_t tenths = 0;
    for (auto _ : state) {
        tracker.OnAlarmFrame("2026-12-07 09:15:00", ++tenths & 0x3FF, 0);
    }
}
BENCHMARK(BM_EpisodeTrackerAlarmFrame);

// The GUI thread's work for one handled alarm: the push starts the save on the snapshot thread,
// its report adds the item with its thumbnail; then the list repaints once. The GUI thread's CPU
// time (p50_ms, p99_ms, max_ms: a loaded machine's preemption left out) and its wall time
// (wall_p99_ms), waiting for the snapshot thread left out of both.
void BM_HandledAlarmOnTheGuiThread(benchmark::State& state) {
    Page page;
    VideoWindow* video = page.panel.videoWindow();
    QWidget* list = page.panel.findChild<QScrollArea*>("ScrollArea")->viewport();
    std::vector<double> guiMs;
    std::vector<double> wallMs;
    const QString path = QString::fromStdString(g_dir->file("Alarm_20261207_091500_0.png"));
    const auto wallNow = [] {
        return std::chrono::duration<double, std::milli>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    for (auto _ : state) {
        for (int i = 0; i < 200; ++i) {
            video->CopyFrameForSnapshot(
                FrameFacts{"20261207_091500", "2026-12-07 09:15:00", 385 + i % 20, 0});
            emit page.panel.pushAlarm(path, "20261207_091500", "2026-12-07 09:15:00",
                                      (385 + i % 20) / 10.0, 0, 0);
            double cpu = ThreadCpuMs();
            double wall = wallNow();
            QCoreApplication::sendPostedEvents(&page.panel);
            cpu = ThreadCpuMs() - cpu;
            wall = wallNow() - wall;
            video->WaitForSnapshotSave(5000);
            cpu -= ThreadCpuMs();
            wall -= wallNow();
            QCoreApplication::sendPostedEvents(&page.panel);
            list->repaint();
            guiMs.push_back(cpu + ThreadCpuMs());
            wallMs.push_back(wall + wallNow());
        }
    }
    ReportPercentiles(state, guiMs);
    std::sort(wallMs.begin(), wallMs.end());
    state.counters["wall_p99_ms"] = wallMs[wallMs.size() * 99 / 100];
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
