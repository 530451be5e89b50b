// The History page over a real storage keeper and real files: what a user sees of a day, what
// opening, keeping and marking a day write to the marks file, an episode that is still going on,
// and files that are damaged, hostile or gone while shown.
#include <gtest/gtest.h>

#include <QImage>
#include <QListView>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <filesystem>

#include "alarm/AlarmLog.h"
#include "history/EpisodeDetail.h"
#include "history/EpisodeTableModel.h"
#include "history/HistoryPage.h"
#include "history/SnapshotStripModel.h"
#include "history/ThumbnailCache.h"
#include "settings/SettingStore.h"
#include "storage/StorageKeeper.h"
#include "support/FakeDialogs.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using CalorviewTest::readFile;
using CalorviewTest::writeFile;

const QDate kDay(2026, 12, 1);

class HistoryPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(images);
        fs::create_directories(records);
        SettingStore& settings = SettingStore::instance();
        settings.setPath(QString::fromStdString(dir.file("kvs.ini")));
        settings.setAlarmImagesPath(QString::fromStdString(images.string()));
        settings.setAlarmRecordsPath(QString::fromStdString(records.string()));
        settings.setFreeSpaceFloorGiB(0);
    }

    // A logged episode starting at `hour`:00 of kDay with `pictures` real snapshots.
    std::string Episode(int hour, int pictures, const QString& recording = {}) {
        const QDateTime start(kDay, QTime(hour, 0, 0));
        for (int i = 0; i < pictures; ++i) {
            QImage image(64, 48, QImage::Format_RGB32);
            image.fill(QColor(40 * i % 255, 100, 200));
            const QString name = start.addSecs(i).toString("'Alarm_'yyyyMMdd_HHmmss'_'") +
                                 QString::number(hour * 10 + i) + ".png";
            EXPECT_TRUE(image.save(QString::fromStdString((images / name.toStdString()).string())));
        }
        AlarmEpisode episode;
        episode.firstCameraTime = start.toString("yyyy-MM-dd HH:mm:ss");
        episode.lastCameraTime = start.addSecs(pictures).toString("yyyy-MM-dd HH:mm:ss");
        episode.firstTime = start;
        episode.lastTime = start.addSecs(pictures);
        episode.peakTemperature = 37.0 + hour / 10.0;
        episode.snapshots = pictures;
        episode.recording = recording;
        EXPECT_TRUE(log.Append(episode, QString::fromStdString(images.string())));
        return AlarmLog::ComputerTime(start).toStdString();
    }

    void Open() {
        keeper = std::make_unique<StorageKeeper>(QString::fromStdString(dir.path().string()));
        // A page in a window never shown: it keeps up with its catalogs as a page not hidden by
        // its tab does, and nothing is painted.
        page = std::make_unique<HistoryPage>(&window, &dialogs);
        page->resize(1200, 800);
        page->UseStorageKeeper(keeper.get());
        page->ShowDay(kDay);
        ASSERT_TRUE(QTest::qWaitFor([&] { return page->catalog() != nullptr; }, 5000));
    }
    // Waits for the catalog to say `done`.
    bool Until(const std::function<bool()>& done) { return QTest::qWaitFor(done, 5000); }
    std::string Marks() { return readFile((images / "AlarmMarks.csv").string()); }

    CalorviewTest::TempDir dir;
    fs::path images = dir.path() / "AlarmImages";
    fs::path records = dir.path() / "AlarmRecords";
    AlarmLog log;
    CalorviewTest::FakeDialogs dialogs;
    QWidget window;
    std::unique_ptr<StorageKeeper> keeper;
    std::unique_ptr<HistoryPage> page;
};

TEST_F(HistoryPageTest, ShowsTheDayAndWritesWhatTheUserMarks) {
    const std::string morning = Episode(9, 3, "20261201_090000.mp4");
    const std::string noon = Episode(12, 1, QString::fromUtf8("../../etc/pass,\"wd\" 热.mp4"));
    const std::string evening = Episode(18, 2);
    writeFile((images / "Alarm_20261201_180001_181.png").string(), "not a png");  // corrupt
    Open();
    EpisodeTableModel* model = page->model();
    ASSERT_EQ(model->Rows(), 3);
    EXPECT_EQ(model->EpisodeAt(0)->key, evening) << "newest first";
    EXPECT_EQ(model->index(2, EpisodeTableModel::kSnapshots).data().toInt(), 3);
    EXPECT_EQ(model->index(2, EpisodeTableModel::kPeak).data().toString(),
              QString::fromUtf8("37.9 \u00b0C"));
    EXPECT_TRUE(
        model->index(2, EpisodeTableModel::kRecordings).data().toString().contains("(missing)"));
    EXPECT_TRUE(model->index(1, EpisodeTableModel::kRecordings)
                    .data()
                    .toString()
                    .contains(QString::fromUtf8("热.mp4 (missing)")))
        << "a hostile name is shown as it is, never looked for";
    EXPECT_EQ(page->unreviewed(), 0) << "the episodes are older than a week";

    // Opening one marks it reviewed, on disk; its snapshots fill the strip, a corrupt one shown
    // as unreadable.
    ASSERT_TRUE(page->SelectEpisode(evening));
    ASSERT_TRUE(keeper->WaitIdle(5000));
    EXPECT_NE(Marks().find("reviewed," + evening), std::string::npos);
    auto* strip = page->detail()->strip();
    ASSERT_TRUE(Until([&] { return strip->model()->rowCount() == 2; }));
    const std::string broken = (images / "Alarm_20261201_180001_181.png").string();
    QImage thumbnail;
    page->thumbnails()->Get(broken, &thumbnail);
    ASSERT_TRUE(Until([&] {
        return page->thumbnails()->Get(broken, &thumbnail) == ThumbnailCache::State::kUnreadable;
    }));
    // Keep, then the whole day reviewed.
    page->detail()->keepButton()->click();
    ASSERT_TRUE(keeper->WaitIdle(5000));
    EXPECT_NE(Marks().find("keep," + evening), std::string::npos);
    page->MarkDayReviewed();
    ASSERT_TRUE(keeper->WaitIdle(5000));
    EXPECT_NE(Marks().find("reviewed," + morning), std::string::npos);
    EXPECT_NE(Marks().find("reviewed," + noon), std::string::npos);
    ASSERT_TRUE(Until([&] {
        return page->catalog()->episodes().size() == 3 &&
               std::all_of(page->catalog()->episodes().begin(), page->catalog()->episodes().end(),
                           [](const auto& e) { return e.reviewed; });
    }));
    EXPECT_TRUE(page->detail()->shown()) << "the selection outlives a new catalog";
    EXPECT_EQ(page->detail()->key(), evening);

    // The pictures disappear while shown (someone cleans up by hand): the index learns of it
    // at its next scan; until then a picture not yet seen shows as unreadable.
    for (const auto& entry : fs::directory_iterator(images)) {
        if (entry.path().extension() == ".png") {
            fs::remove(entry.path());
        }
    }
    ASSERT_TRUE(page->SelectEpisode(morning));
    ASSERT_TRUE(Until([&] { return strip->model()->rowCount() == 3; }));
    // A thumbnail made before stays; one never made shows the file unreadable.
    const std::string gone =
        strip->model()->index(2, 0).data(SnapshotStripModel::kPathRole).toString().toStdString();
    ASSERT_TRUE(Until([&] {
        return page->thumbnails()->Get(gone, &thumbnail) == ThumbnailCache::State::kUnreadable;
    }));
}

TEST_F(HistoryPageTest, AnEpisodeInProgressIsCompletedInPlace) {
    Open();
    const QDate today = QDate::currentDate();
    page->ShowDay(today);
    AlarmEpisode episode;
    episode.firstTime = QDateTime::currentDateTime().addSecs(-5);
    episode.firstCameraTime = episode.firstTime.toString("yyyy-MM-dd HH:mm:ss");
    keeper->OnEpisodeStarted(episode);
    ASSERT_TRUE(Until([&] { return page->model()->Rows() == 1; }));
    EpisodeTableModel* model = page->model();
    EXPECT_EQ(model->index(0, EpisodeTableModel::kEnd).data().toString(), "in progress");
    ASSERT_TRUE(page->SelectEpisode(model->EpisodeAt(0)->key));
    EXPECT_EQ(page->unreviewed(), 0) << "an episode still going on is not counted yet";

    episode.lastTime = episode.firstTime.addSecs(4);
    episode.lastCameraTime = episode.lastTime.toString("yyyy-MM-dd HH:mm:ss");
    episode.peakTemperature = 39.5;
    ASSERT_TRUE(log.Append(episode, QString::fromStdString(images.string())));
    keeper->OnEpisodeEnded(episode);
    ASSERT_TRUE(Until([&] { return !page->model()->EpisodeAt(0)->open; }));
    EXPECT_EQ(page->model()->Rows(), 1);
    EXPECT_EQ(model->index(0, EpisodeTableModel::kPeak).data().toString(),
              QString::fromUtf8("39.5 \u00b0C"));
    EXPECT_TRUE(page->detail()->shown()) << "still selected, without a reload";
}

}  // namespace
