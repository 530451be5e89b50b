// Retention's cost at a busy station, on the real disk (a folder under /var/tmp, removed at the
// end):
//   - the episode index of a year of alarm snapshots in one flat folder (1,000,000 empty files,
//     bursts of 20, about half the days logged, the rest grouped by their names): the scan and
//     the grouping, and the heap the index then holds;
//   - keeping that index up to date: one new snapshot added, with and without the grouping again;
//   - the History page: the catalog of that year (built on the storage thread after a change),
//     a month of it in the calendar, and a day of 5,000 episodes opened until its first screen of
//     thumbnails is decoded;
//   - the live page against a virtual camera in continuous alarm (a snapshot for every handled
//     alarm), alone, with a StorageKeeper removing 100,000 alarm snapshots three days old to keep
//     its free-space floor, and with the History page open in the background over those 5,000
//     episodes: the capture thread's intake per frame and the GUI thread's work per shown frame,
//     CPU (p50, p99, max) and wall (p99), and how long the purge took.
// The live runs are printed side by side at the end.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QImage>
#include <QTableView>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "alarm/AlarmEpisodeTracker.h"
#include "alarm/AlarmLog.h"
#include "alarm/AlarmWindow.h"
#include "framegate/SDK_USB.h"
#include "history/EpisodeTableModel.h"
#include "history/HistoryCalendar.h"
#include "history/HistoryCatalog.h"
#include "history/HistoryPage.h"
#include "history/ThumbnailCache.h"
#include "settings/SettingStore.h"
#include "storage/AlarmMarks.h"
#include "storage/EpisodeIndex.h"
#include "storage/StorageKeeper.h"
#include "storage/StoredFile.h"
#include "support/FakeDiskSpace.h"
#include "support/ScenarioFile.h"
#include "support/TempDir.h"
#include "support/Timing.h"
#include "ui/NotifyManager.h"
#include "video/D3DVideoRenderer.h"
#include "video/DeviceConnectionManager.h"
#include "video/StreamCallback.h"
#include "video/VideoWindow.h"

namespace {

namespace fs = std::filesystem;
using CalorviewBench::ThreadCpuMs;

constexpr int kYearFiles = 1'000'000;
constexpr int kYearDays = 365;
constexpr int kFilesPerEpisode = 20;
constexpr int kOldFiles = 100'000;
constexpr int kLiveSeconds = 20;
constexpr double kMiB = 1024.0 * 1024.0;

CalorviewTest::TempDir* g_dir = nullptr;  // settings, scenario, the live page's other folders
std::string g_root;                       // the folders on the real disk

double WallMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void RunEventLoop(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// "YYYYMMDD_HHMMSS" of plain-calendar seconds, as the program names its files.
std::string NameTime(int64_t seconds) {
    using namespace std::chrono;
    const year_month_day date{sys_days{days{seconds / 86400}}};
    const int64_t time = seconds % 86400;
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02u%02u_%02d%02d%02d", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time / 3600), static_cast<int>(time / 60 % 60),
                  static_cast<int>(time % 60));
    return text;
}

// The same moment as local computer time.
QDateTime LocalTime(int64_t seconds) {
    return QDateTime(QDate(1970, 1, 1).addDays(seconds / 86400),
                     QTime(0, 0).addSecs(static_cast<int>(seconds % 86400)));
}

int64_t PlainSeconds(const QDateTime& local) {
    return QDate(1970, 1, 1).daysTo(local.date()) * 86400 +
           local.time().msecsSinceStartOfDay() / 1000;
}

void MakeEmptyFile(int directory, const std::string& name) {
    const int fd = ::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ::close(fd);
    }
}

// A year of alarm snapshots in one folder, made once: 50,000 episodes of 20 snapshots, 5 a second,
// spread over the days of 2025; the day files of the alarm log hold the lines of the episodes of
// every second day, and only their header on the others.
const std::string& YearFolder() {
    static const std::string folder = [] {
        const std::string path = g_root + "/year";
        fs::create_directories(path);
        const int directory = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int64_t firstDay = QDate(1970, 1, 1).daysTo(QDate(2025, 1, 1));
        const int episodes = kYearFiles / kFilesPerEpisode;
        std::mt19937 random(11);
        std::uniform_int_distribution<int> jitter(0, 60);
        uint32_t counter = 0;
        int episode = 0;
        for (int day = 0; day < kYearDays; ++day) {
            const int end = static_cast<int>(int64_t{episodes} * (day + 1) / kYearDays);
            const int count = end - episode;
            const int64_t spacing = 86400 / std::max(count, 1);
            QByteArray log = AlarmLog::Header();
            for (int e = 0; episode < end; ++episode, ++e) {
                const int64_t first = (firstDay + day) * 86400 + e * spacing + jitter(random);
                std::string firstName;
                std::string lastName;
                for (int f = 0; f < kFilesPerEpisode; ++f) {
                    const std::string name = "Alarm_" + NameTime(first + f / 5) + "_" +
                                             std::to_string(counter++) + ".png";
                    MakeEmptyFile(directory, name);
                    (f == 0 ? firstName : lastName) = name;
                }
                if (day % 2 == 0) {
                    const int64_t last = first + (kFilesPerEpisode - 1) / 5;
                    AlarmEpisode line;
                    line.serial = static_cast<quint64>(e + 1);
                    line.firstTime = LocalTime(first);
                    line.lastTime = LocalTime(last);
                    line.firstCameraTime = line.firstTime.toString("yyyy-MM-dd HH:mm:ss");
                    line.lastCameraTime = line.lastTime.toString("yyyy-MM-dd HH:mm:ss");
                    line.peakTemperature = 41.3;
                    line.snapshots = kFilesPerEpisode;
                    line.firstSnapshot = QString::fromStdString(firstName);
                    line.lastSnapshot = QString::fromStdString(lastName);
                    log += AlarmLog::Line(line);
                }
            }
            std::ofstream(
                path + "/" + AlarmLog::FileName(QDate(2025, 1, 1).addDays(day)).toStdString(),
                std::ios::binary)
                .write(log.constData(), log.size());
        }
        ::close(directory);
        return path;
    }();
    return folder;
}

// What malloc has handed out and not had back (all arenas, mmapped blocks included).
double HeapMiB() {
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd) / kMiB;
}

double ResidentMiB() {
    long pages = 0;
    long resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / kMiB;
}

// EpisodeIndex::Scan of the year, then Episodes() (the grouping); the time is theirs alone.
// held_MiB: the heap the index holds afterwards; rss_MiB: the process's resident growth, which
// also counts what malloc keeps of the scan's temporaries.
void BM_ScanAndGroupYear(benchmark::State& state) {
    const EpisodeIndex::Folders folders{YearFolder(), "", "", ""};
    const std::atomic<bool> stop{false};
    double held = 0;
    double resident = 0;
    double scanMs = 0;
    double groupMs = 0;
    size_t episodes = 0;
    for (auto _ : state) {
        ::malloc_trim(0);
        const double heapBefore = HeapMiB();
        const double residentBefore = ResidentMiB();
        auto index = std::make_unique<EpisodeIndex>();
        const double start = WallMs();
        index->Scan(folders, stop);
        const double scanned = WallMs();
        episodes = index->Episodes().size();
        const double grouped = WallMs();
        state.SetIterationTime((grouped - start) / 1e3);
        scanMs = scanned - start;
        groupMs = grouped - scanned;
        held = std::max(held, HeapMiB() - heapBefore);
        resident = std::max(resident, ResidentMiB() - residentBefore);
        state.counters["files"] = static_cast<double>(index->Files().size());
    }
    state.counters["episodes"] = static_cast<double>(episodes);
    state.counters["scan_ms"] = scanMs;
    state.counters["group_ms"] = groupMs;
    state.counters["held_MiB"] = held;
    state.counters["rss_MiB"] = resident;
}
BENCHMARK(BM_ScanAndGroupYear)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// Keeping the year's index up to date: one alarm snapshot the program has just written, added
// (regroup 0: AddFile alone, as the storage thread does per saved file) or added and the episodes
// asked for (regroup 1: what a pass or a review page then pays).
void BM_AddFileToYear(benchmark::State& state) {
    static EpisodeIndex index;
    static bool scanned = false;
    // After the year, five a second.
    static const int64_t after = QDate(1970, 1, 1).daysTo(QDate(2026, 1, 2)) * 86400;
    static uint32_t counter = kYearFiles;
    if (!scanned) {
        index.Scan({YearFolder(), "", "", ""}, std::atomic<bool>{false});
        index.Episodes();
        scanned = true;
    }
    // The new files, made beforehand so that only the index's work is timed.
    std::vector<std::string> paths;
    const int directory = ::open(YearFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int64_t i = 0; i < state.max_iterations; ++i) {
        const std::string name = "Alarm_" + NameTime(after + (counter - kYearFiles) / 5) + "_" +
                                 std::to_string(counter) + ".png";
        ++counter;
        MakeEmptyFile(directory, name);
        paths.push_back(YearFolder() + "/" + name);
    }
    ::close(directory);
    const bool regroup = state.range(0) != 0;
    size_t at = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(index.AddFile(paths[at++]));
        if (regroup) {
            benchmark::DoNotOptimize(index.Episodes().size());
        }
    }
}
BENCHMARK(BM_AddFileToYear)
    ->ArgName("regroup")
    ->Arg(0)
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AddFileToYear)
    ->ArgName("regroup")
    ->Arg(1)
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

// The catalog the History page gets of the year (50,000 episodes), as the storage thread builds
// it after each change to the index or the marks (at most once a second).
void BM_HistoryCatalogOfYear(benchmark::State& state) {
    EpisodeIndex index;
    index.Scan({YearFolder(), "", "", ""}, std::atomic<bool>{false});
    index.Episodes();
    const AlarmMarks marks;
    size_t episodes = 0;
    for (auto _ : state) {
        const auto catalog = HistoryCatalog::Build(index, marks);
        episodes = catalog->episodes().size();
    }
    state.counters["episodes"] = static_cast<double>(episodes);
}
BENCHMARK(BM_HistoryCatalogOfYear)->Iterations(5)->Unit(benchmark::kMillisecond);

// A month of the year in the History page's calendar: the day counts taken from a new catalog
// and the month painted.
void BM_HistoryMonthOfYear(benchmark::State& state) {
    EpisodeIndex index;
    index.Scan({YearFolder(), "", "", ""}, std::atomic<bool>{false});
    const auto catalog = HistoryCatalog::Build(index, AlarmMarks());
    HistoryCalendar calendar;
    calendar.resize(300, 240);
    int month = 0;
    for (auto _ : state) {
        calendar.setCurrentPage(2025, month++ % 12 + 1);
        calendar.Show(catalog);
        benchmark::DoNotOptimize(calendar.grab());
    }
    state.counters["days_counted"] = static_cast<double>(calendar.counts().size());
}
BENCHMARK(BM_HistoryMonthOfYear)->Iterations(24)->Unit(benchmark::kMillisecond);

constexpr int kDayEpisodes = 5000;
const QDate kBusyDay(2025, 6, 15);

// 5,000 logged alarm episodes on one day, one snapshot each (hard links to one real 480 x 640
// snapshot, so the disk holds one picture but every thumbnail is decoded).
const std::string& BusyDayFolder() {
    static const std::string folder = [] {
        const std::string path = g_root + "/day";
        fs::create_directories(path);
        QImage picture(480, 640, QImage::Format_Grayscale8);
        std::mt19937 random(5);
        for (int y = 0; y < picture.height(); ++y) {
            uchar* row = picture.scanLine(y);
            for (int x = 0; x < picture.width(); ++x) {
                row[x] = static_cast<uchar>(60 + y / 8 + random() % 24);
            }
        }
        const std::string original = path + "/picture.png";
        picture.save(QString::fromStdString(original));
        const int64_t first = QDate(1970, 1, 1).daysTo(kBusyDay) * 86400;
        QByteArray log = AlarmLog::Header();
        for (int e = 0; e < kDayEpisodes; ++e) {
            const int64_t at = first + e * 17;
            const std::string name = "Alarm_" + NameTime(at) + "_" + std::to_string(e) + ".png";
            fs::create_hard_link(original, path + "/" + name);
            AlarmEpisode line;
            line.firstTime = LocalTime(at);
            line.lastTime = line.firstTime;
            line.firstCameraTime = line.firstTime.toString("yyyy-MM-dd HH:mm:ss");
            line.lastCameraTime = line.firstCameraTime;
            line.peakTemperature = 37.5 + e % 40 / 10.0;
            line.snapshots = 1;
            line.firstSnapshot = QString::fromStdString(name);
            line.lastSnapshot = line.firstSnapshot;
            log += AlarmLog::Line(line);
        }
        fs::remove(original);
        std::ofstream(path + "/" + AlarmLog::FileName(kBusyDay).toStdString(), std::ios::binary)
            .write(log.constData(), log.size());
        return path;
    }();
    return folder;
}

// The History page opening that day: from the click on the day until every row on the first
// screen shows its thumbnail (decoded on the page's worker). A new page each time, so no
// thumbnail is cached; its catalog has arrived before the click.
void BM_HistoryDayOf5000(benchmark::State& state) {
    SettingStore::instance().setAlarmImagesPath(QString::fromStdString(BusyDayFolder()));
    SettingStore::instance().setFreeSpaceFloorGiB(0);
    StorageKeeper keeper(QString::fromStdString(g_dir->file("QZLog")));
    int rows = 0;
    size_t cacheBytes = 0;
    for (auto _ : state) {
        HistoryPage page;
        page.resize(1280, 670);
        page.show();
        page.UseStorageKeeper(&keeper);
        while (page.catalog() == nullptr) {
            RunEventLoop(20);
        }
        const double start = WallMs();
        page.ShowDay(kBusyDay);
        QTableView* table = page.table();
        const auto firstScreenShown = [&] {
            QCoreApplication::processEvents();
            const int top = table->rowAt(0);
            const int bottom = table->rowAt(table->viewport()->height() - 1);
            if (top < 0) {
                return false;
            }
            rows = (bottom < 0 ? page.model()->Rows() - 1 : bottom) - top + 1;
            for (int row = top; row < top + rows; ++row) {
                QImage image;
                if (page.thumbnails()->Get(page.model()->EpisodeAt(row)->firstSnapshot, &image) !=
                    ThumbnailCache::State::kReady) {
                    return false;
                }
            }
            return true;
        };
        while (!firstScreenShown()) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        table->viewport()->repaint();
        state.SetIterationTime((WallMs() - start) / 1e3);
        cacheBytes = page.thumbnails()->bytes();
    }
    state.counters["rows_on_screen"] = rows;
    state.counters["thumbnail_KiB"] = static_cast<double>(cacheBytes) / 1024;
}
BENCHMARK(BM_HistoryDayOf5000)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// One frame's figure: CPU and wall milliseconds, and when it was taken (WallMs).
struct Sample {
    double cpu = 0;
    double wall = 0;
    double at = 0;
};

// The capture thread's intake of each frame (the client's whole stream callback), while set.
std::atomic<bool> g_timing{false};
std::mutex g_intakeMutex;
std::vector<Sample> g_intake;  // guarded by g_intakeMutex

int TimedStreamFrame(int width, int height, const char* data, int length, int format) {
    if (!g_timing.load(std::memory_order_relaxed)) {
        return OnStreamFrame(width, height, data, length, format);
    }
    const double cpu = ThreadCpuMs();
    const double wall = WallMs();
    const int result = OnStreamFrame(width, height, data, length, format);
    const double end = WallMs();
    const Sample sample{ThreadCpuMs() - cpu, end - wall, end};
    std::lock_guard lock(g_intakeMutex);
    g_intake.push_back(sample);
    return result;
}

// Sums the GUI thread's event handling (outermost deliveries only) into one figure per shown
// frame: the work the GUI thread did from one new picture on screen to the next, whatever the
// work was (the picture, the alarms' items, the keeper's reports and toasts).
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;
    std::vector<Sample> frames;

    void Start() {
        frames.clear();
        m_Frame = {};
        m_Shown = D3DVideoRenderer::instance()->GetStats().shownSerial;
        m_bTiming = true;
    }
    void Stop() { m_bTiming = false; }

    bool notify(QObject* receiver, QEvent* event) override {
        if (!m_bTiming || m_nDepth != 0 || QThread::currentThread() != thread()) {
            return QApplication::notify(receiver, event);
        }
        ++m_nDepth;
        const double cpu = ThreadCpuMs();
        const double wall = WallMs();
        const bool result = QApplication::notify(receiver, event);
        m_Frame.cpu += ThreadCpuMs() - cpu;
        m_Frame.at = WallMs();
        m_Frame.wall += m_Frame.at - wall;
        --m_nDepth;
        const uint64_t shown = D3DVideoRenderer::instance()->GetStats().shownSerial;
        if (shown != m_Shown) {
            m_Shown = shown;
            frames.push_back(m_Frame);
            m_Frame = {};
        }
        return result;
    }

private:
    bool m_bTiming = false;
    int m_nDepth = 0;
    uint64_t m_Shown = 0;
    Sample m_Frame;
};

TimedApplication* g_app = nullptr;

// The p-th percentile of the samples taken in [from, to], CPU or wall.
double Percentile(const std::vector<Sample>& samples, int p, bool wall, double from = 0,
                  double to = 1e300) {
    std::vector<double> ms;
    for (const Sample& sample : samples) {
        if (sample.at >= from && sample.at <= to) {
            ms.push_back(wall ? sample.wall : sample.cpu);
        }
    }
    std::sort(ms.begin(), ms.end());
    return ms.empty() ? 0 : ms[std::min(ms.size() - 1, ms.size() * p / 100)];
}

void ReportPercentiles(benchmark::State& state, const std::string& prefix,
                       const std::vector<Sample>& samples) {
    state.counters[prefix + "_p50_ms"] = Percentile(samples, 50, false);
    state.counters[prefix + "_p99_ms"] = Percentile(samples, 99, false);
    state.counters[prefix + "_max_ms"] = Percentile(samples, 100, false);
    state.counters[prefix + "_wall_p99_ms"] = Percentile(samples, 99, true);
}

// 100,000 alarm snapshots in the live page's alarm images folder, modified three days ago: 5,000
// episodes of 20, one every 20 s from four days back by their names, and no retention marks.
std::string OldAlarmFolder() {
    const std::string path = g_root + "/live";
    fs::create_directories(path);
    const int directory = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const QDateTime now = QDateTime::currentDateTime();
    // The same names for every run: what a purge removed is made again, the rest is kept.
    static const int64_t first = PlainSeconds(now) - 4 * 86400;
    const timespec threeDaysAgo{now.toSecsSinceEpoch() - 3 * 86400, 0};
    const timespec times[2] = {threeDaysAgo, threeDaysAgo};
    for (int i = 0; i < kOldFiles; ++i) {
        const int64_t episode = i / kFilesPerEpisode;
        const std::string name = "Alarm_" + NameTime(first + episode * 20 + i % 20 / 5) + "_" +
                                 std::to_string(i) + ".png";
        MakeEmptyFile(directory, name);
        ::utimensat(directory, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    ::close(directory);
    // Retention marks the episodes it removed and never plans them again: a purge run after
    // another finds the same names, so they start unmarked.
    fs::remove(path + "/" + AlarmMarks::kFileName);
    return path;
}

// The alarm snapshots named more than a day back.
int OldFilesLeft(const std::string& folder) {
    const int64_t dayAgo = PlainSeconds(QDateTime::currentDateTime()) - 86400;
    int left = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        StoredFile file;
        left += StoredFile::Parse(entry.path().filename().c_str(), StoredFile::Kind::kAlarmSnapshot,
                                  &file) &&
                        file.nameSeconds < dayAgo
                    ? 1
                    : 0;
    }
    return left;
}

// Each live run's samples, and the purge's span (WallMs) in the run with one.
struct LiveRun {
    std::vector<Sample> intake;
    std::vector<Sample> gui;
    double purgeFrom = 0;
    double purgeTo = 0;
};
LiveRun g_live[3];

// The live page, connected to the continuous-alarm camera, for kLiveSeconds (mode 0), or the
// same with a StorageKeeper made at the start, whose first pass finds the old snapshots below its
// free-space floor and removes them (mode 1), or with a keeper that removes nothing and the
// History page hidden behind the live page, its catalog of the 5,000 old episodes rebuilt each
// second as alarm snapshots arrive (mode 2). purge_s: from the keeper's start until its thread is
// idle again.
void BM_LiveWhilePurging(benchmark::State& state) {
    const int mode = static_cast<int>(state.range(0));
    const bool purge = mode == 1;
    const bool history = mode == 2;
    const std::string images = OldAlarmFolder();
    SettingStore& settings = SettingStore::instance();
    settings.setAlarmImagesPath(QString::fromStdString(images));
    settings.setRecordPath(QString::fromStdString(g_dir->file("Records")));
    settings.setSnapshotPath(QString::fromStdString(g_dir->file("Snapshots")));
    settings.setAlarmRecordsPath(QString::fromStdString(g_dir->file("AlarmRecords")));
    settings.setAlarmRecordEnabled(false);
    settings.setAlarmSoundEnabled(false);
    settings.setAlarmSnapshotEnabled(true);
    settings.setAlarmSnapshotsPerSecond(0);
    settings.setFreeSpaceFloorGiB(purge ? 200 : 0);
    settings.setAlarmKeepDays(0);
    settings.setRecordKeepDays(0);

    CalorviewTest::FakeDiskSpace disk;
    disk.bytes = uint64_t{100} << 30;  // below the floor, far above the 5 GiB a save needs
    AlarmWindow panel;
    panel.resize(1280, 670);
    panel.show();
    SetNotifyArea(&panel, 0, 0, 240, 100);  // the keeper's toasts are shown, as in the program
    DeviceConnectionManager::instance()->ConnectToDev(0);
    panel.videoWindow()->StartVideo();
    RegisterUSBStreamCallBack(0, TimedStreamFrame);
    panel.EnableAlarm();
    int snapshots = 0;
    QObject::connect(&panel, &AlarmWindow::snapshotWritten, [&snapshots] { ++snapshots; });
    RunEventLoop(2000);  // the first frames, and the episode in progress

    double purgeFrom = 0;
    double purgeTo = 0;
    int removedEpisodes = 0;
    for (auto _ : state) {
        {
            std::lock_guard lock(g_intakeMutex);
            g_intake.clear();
        }
        snapshots = 0;
        g_app->Start();
        g_timing = true;
        std::unique_ptr<StorageKeeper> keeper;
        std::unique_ptr<HistoryPage> page;
        std::thread watcher;
        std::atomic<bool> idle{!purge};
        if (purge || history) {
            purgeFrom = WallMs();
            keeper = std::make_unique<StorageKeeper>(QString::fromStdString(g_dir->file("QZLog")));
            AlarmEpisodeTracker* tracker = panel.episodeTracker();
            QObject::connect(tracker, &AlarmEpisodeTracker::episodeStarted, keeper.get(),
                             &StorageKeeper::OnEpisodeStarted);
            QObject::connect(tracker, &AlarmEpisodeTracker::episodeEnded, keeper.get(),
                             &StorageKeeper::OnEpisodeEnded);
            QObject::connect(&panel, &AlarmWindow::snapshotWritten, keeper.get(),
                             &StorageKeeper::OnFileWritten);
            QObject::connect(&panel, &AlarmWindow::diskSpaceShort, keeper.get(),
                             &StorageKeeper::OnDiskSpaceShort);
            QObject::connect(keeper.get(), &StorageKeeper::passReported,
                             [&removedEpisodes](const StorageKeeper::Report& report) {
                                 removedEpisodes += report.episodes;
                             });
            panel.SetEpisodeMarks(keeper.get());
        }
        if (history) {
            page = std::make_unique<HistoryPage>();
            page->resize(1280, 670);
            page->UseStorageKeeper(keeper.get());
        }
        if (purge) {
            // Off the GUI thread, which must go on as it does live.
            watcher = std::thread([&] {
                keeper->WaitIdle(600'000);
                purgeTo = WallMs();
                idle = true;
            });
        }
        RunEventLoop(kLiveSeconds * 1000);
        g_timing = false;
        g_app->Stop();
        while (!idle) {
            RunEventLoop(100);
        }
        if (watcher.joinable()) {
            watcher.join();
        }
        page.reset();
        panel.SetEpisodeMarks(nullptr);
        RunEventLoop(200);  // the last report reaches the GUI thread
    }
    DeviceConnectionManager::instance()->DisconnectDev();

    std::lock_guard lock(g_intakeMutex);
    ReportPercentiles(state, "intake", g_intake);
    ReportPercentiles(state, "gui", g_app->frames);
    state.counters["frames"] = static_cast<double>(g_app->frames.size());
    state.counters["snapshots"] = snapshots;
    state.counters["purge_s"] = (purgeTo - purgeFrom) / 1e3;
    state.counters["removed_episodes"] = removedEpisodes;
    state.counters["old_files_left"] = OldFilesLeft(images);
    g_live[mode] = {g_intake, g_app->frames, purgeFrom, purgeTo};
}
BENCHMARK(BM_LiveWhilePurging)
    ->ArgName("mode")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

// The last two live runs' p99s side by side: over the whole runs, and over the frames that ended
// while the purge ran (a few dozen, so their p99 is about their maximum). With repetitions, the
// benchmark's own aggregates give the medians.
void PrintLiveSideBySide() {
    const LiveRun& alone = g_live[0];
    const LiveRun& purging = g_live[1];
    const LiveRun& history = g_live[2];
    if (alone.intake.empty() || purging.intake.empty()) {
        return;
    }
    std::printf(
        "\nLive page, p99 per frame (ms)  alone     purging  change   during purge  change   "
        "History open  change\n");
    const auto line = [&](const char* what, const std::vector<Sample> LiveRun::*samples,
                          bool wall) {
        const double base = Percentile(alone.*samples, 99, wall);
        const double whole = Percentile(purging.*samples, 99, wall);
        const double during =
            Percentile(purging.*samples, 99, wall, purging.purgeFrom, purging.purgeTo);
        const double open = Percentile(history.*samples, 99, wall);
        std::printf("  %-26s %8.3f  %8.3f  %+5.1f %%  %8.3f      %+5.1f %%  %8.3f      %+5.1f %%\n",
                    what, base, whole, (whole / base - 1) * 100, during, (during / base - 1) * 100,
                    open, (open / base - 1) * 100);
    };
    line("capture intake, CPU", &LiveRun::intake, false);
    line("capture intake, wall", &LiveRun::intake, true);
    line("GUI work, CPU", &LiveRun::gui, false);
    line("GUI work, wall", &LiveRun::gui, true);
    std::printf("  the purge of %d files took %.2f s\n", kOldFiles,
                (purging.purgeTo - purging.purgeFrom) / 1e3);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    CalorviewTest::TempDir dir;
    g_dir = &dir;
    for (const char* folder : {"Records", "Snapshots", "AlarmRecords", "QZLog"}) {
        fs::create_directories(dir.path() / folder);
    }
    std::string root = "/var/tmp/calorview-storage-XXXXXX";
    if (::mkdtemp(root.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    g_root = root;
    // The camera in alarm from its first frame to its last.
    const std::string scenario = dir.file("camera.json");
    CalorviewTest::writeFile(
        scenario, CalorviewTest::scenarioJson(
                      "Bench", 480, 640, 25,
                      R"("timeline": [{"alarm": true, "rect": true, "temperature": 41.3}])"));
    CalorviewTest::useVirtualCameras({scenario});
    TimedApplication app(argc, argv);
    g_app = &app;
    SettingStore::instance().setPath(QString::fromStdString(dir.file("kvs.ini")));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintLiveSideBySide();
    std::error_code ignored;
    fs::remove_all(g_root, ignored);
    return 0;
}
