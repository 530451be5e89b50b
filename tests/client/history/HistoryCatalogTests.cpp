// The History page's catalog from real files and a real alarm log: days, order, counts, marks, and
// what a damaged or hostile log line names.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QTest>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <vector>

#include "alarm/AlarmLog.h"
#include "history/HistoryCatalog.h"
#include "settings/SettingStore.h"
#include "storage/StorageKeeper.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

TEST(HistoryCatalog, DaysOrderMarksAndRecordingStates) {
    CalorviewTest::TempDir dir;
    const fs::path images = dir.path() / "AlarmImages";
    const fs::path records = dir.path() / "AlarmRecords";
    fs::create_directories(images);
    fs::create_directories(records);
    for (const char* name : {"Alarm_20261201_090000_0.png", "Alarm_20261201_090002_1.png",
                             "Alarm_20261201_180000_2.png"}) {
        CalorviewTest::writeFile((images / name).string(), "x");
    }
    CalorviewTest::writeFile((records / "20261201_090000.mp4").string(), "x");
    const QDateTime morning(QDate(2026, 12, 1), QTime(9, 0, 0));
    AlarmLog log;
    const auto line = [&](const char* first, const char* last, QDateTime start, const char* rec) {
        AlarmEpisode episode;
        episode.firstCameraTime = first;
        episode.lastCameraTime = last;
        episode.firstTime = start;
        episode.lastTime = start.addSecs(2);
        episode.peakTemperature = 38.5;
        episode.recording = QString::fromUtf8(rec);
        EXPECT_TRUE(log.Append(episode, QString::fromStdString(images.string())));
        return AlarmLog::ComputerTime(start).toStdString();
    };
    const std::string first =
        line("2026-12-01 09:00:00", "2026-12-01 09:00:02", morning, "20261201_090000.mp4");
    const std::string second = line("2026-12-01 18:00:00", "2026-12-01 18:00:00",
                                    morning.addSecs(9 * 3600), "../../etc/x,\"y\".mp4");
    const std::string third = line("2026-12-01 20:00:00", "2026-12-01 20:00:00",
                                   morning.addSecs(11 * 3600), "20261201_200000.mp4");
    AlarmMarks marks;
    const QString folder = QString::fromStdString(images.string());
    ASSERT_TRUE(marks.Append(folder, "reviewed", first));
    ASSERT_TRUE(marks.Append(folder, "removed", third));

    EpisodeIndex index;
    std::atomic<bool> stop{false};
    ASSERT_TRUE(index.Scan({images.string(), records.string(), "", ""}, stop));
    const auto catalog = HistoryCatalog::Build(index, marks);
    const std::vector<size_t> day = catalog->Day(QDate(2026, 12, 1));
    ASSERT_EQ(day.size(), 3u);
    const auto& newest = catalog->episodes()[day[0]];
    const auto& middle = catalog->episodes()[day[1]];
    const auto& oldest = catalog->episodes()[day[2]];
    EXPECT_EQ(newest.key, third) << "newest first";
    EXPECT_EQ(oldest.key, first);
    EXPECT_EQ(oldest.snapshots, 2);
    EXPECT_EQ(fs::path(oldest.firstSnapshot).filename(), "Alarm_20261201_090000_0.png");
    ASSERT_EQ(oldest.recordings.size(), 1u);
    EXPECT_EQ(oldest.recordings[0].state, HistoryCatalog::Recording::State::kPresent);
    ASSERT_EQ(middle.recordings.size(), 1u);
    EXPECT_EQ(middle.recordings[0].state, HistoryCatalog::Recording::State::kMissing)
        << "a path in a log line is never looked for";
    EXPECT_TRUE(middle.recordings[0].path.empty());
    ASSERT_EQ(newest.recordings.size(), 1u);
    EXPECT_EQ(newest.recordings[0].state, HistoryCatalog::Recording::State::kRemoved);
    const auto counts = catalog->Days(QDate(2026, 11, 1), QDate(2026, 12, 31));
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts.at(QDate(2026, 12, 1)).episodes, 3);
    EXPECT_EQ(counts.at(QDate(2026, 12, 1)).unreviewed, 2);
}

}  // namespace

namespace {

// The keeper hands its observer the index at once, and again (at most once a second) after a
// saved snapshot changed it.
TEST(HistoryCatalog, TheKeeperHandsItsObserverEachChange) {
    CalorviewTest::TempDir dir;
    const fs::path images = dir.path() / "AlarmImages";
    fs::create_directories(images);
    SettingStore& settings = SettingStore::instance();
    settings.setPath(QString::fromStdString(dir.file("kvs.ini")));
    settings.setAlarmImagesPath(QString::fromStdString(images.string()));
    settings.setFreeSpaceFloorGiB(0);
    CalorviewTest::writeFile((images / "Alarm_20261201_090000_0.png").string(), "x");
    StorageKeeper keeper(QString::fromStdString(dir.path().string()));
    std::mutex mutex;
    std::vector<int> snapshots;  // per call
    keeper.Observe([&](EpisodeIndex& index, const AlarmMarks& marks) {
        const auto catalog = HistoryCatalog::Build(index, marks);
        int count = 0;
        for (const auto& episode : catalog->episodes()) {
            count += episode.snapshots;
        }
        std::lock_guard lock(mutex);
        snapshots.push_back(count);
    });
    const auto calls = [&] {
        std::lock_guard lock(mutex);
        return snapshots;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return !calls().empty(); }, 5000));
    EXPECT_EQ(calls().back(), 1);
    const fs::path added = images / "Alarm_20261201_090001_1.png";
    CalorviewTest::writeFile(added.string(), "x");
    keeper.OnFileWritten(QString::fromStdString(added.string()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return calls().back() == 2; }, 5000));
    keeper.Observe(nullptr);
}

}  // namespace
