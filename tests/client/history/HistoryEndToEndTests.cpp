// The History page over what the staged program wrote: an alarm episode of a virtual camera shown
// with its facts, its recording played to the end, exported as a zip whose pictures pass
// pngcheck and whose video ffprobe reads, and an old episode kept on the page surviving a
// retention pass that removes its unkept neighbour.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <string>

#include "history/EpisodeDetail.h"
#include "history/EpisodeTableModel.h"
#include "history/HistoryPage.h"
#include "history/RecordingPlayer.h"
#include "settings/SettingStore.h"
#include "storage/StorageKeeper.h"
#include "support/FakeDialogs.h"
#include "support/FakeDiskSpace.h"
#include "support/Ffprobe.h"
#include "support/ProgramEnvironment.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

int Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// A file modified `days` ago.
void Old(const fs::path& path, int days) {
    CalorviewTest::writeFile(path.string(), std::string(1000, 'x'));
    const timespec when{::time(nullptr) - days * 86400, 0};
    const timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST(HistoryEndToEnd, AnAlarmOfTheProgramIsShownPlayedExportedAndKept) {
    CalorviewTest::TempDir dir;
    const fs::path app = dir.path() / "app";
    fs::copy(CALORVIEW_STAGE_DIR, app, fs::copy_options::recursive);
    const fs::path images = app / "AlarmImages";
    const fs::path records = app / "AlarmRecords";
    for (const char* folder : {"AlarmImages", "AlarmRecords", "Records", "Snapshots"}) {
        fs::create_directories(app / folder);
    }
    CalorviewTest::writeFile((app / "kvs.ini").string(),
                             "[Alarm]\nAlarmSoundEnabled=false\nAlarmRecordEnabled=true\n"
                             "SnapshotsPerSecond=2\n");
    CalorviewTest::writeFile(dir.file("camera.json"), R"({"name": "History", "fps": 25,
        "timeline": [{"at_ms": 0, "time": "local", "unit": "C"},
        {"at_ms": 1000, "alarm": true, "rect": true, "temperature": 38.5},
        {"at_ms": 2500, "alarm": false, "rect": false, "temperature": 0}]})");
    QProcess program;
    program.setProcessEnvironment(
        CalorviewTest::programEnvironment(dir.file("camera.json"), dir.path().string()));
    program.setWorkingDirectory(QString::fromStdString(app.string()));
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(QString::fromStdString((app / "calorview").string()), {});
    ASSERT_TRUE(program.waitForStarted(5000));
    QByteArray output;
    const auto logged = [&] {
        for (const auto& entry : fs::directory_iterator(images)) {
            if (entry.path().filename().string().starts_with("AlarmLog_")) {
                return CalorviewTest::readFile(entry.path().string()).find("38.5") !=
                       std::string::npos;
            }
        }
        return false;
    };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            output += program.readAll();
            return logged();
        },
        30000))
        << output.toStdString();
    program.terminate();  // finishes the alarm recording
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 0);
    int snapshots = 0;
    for (const auto& entry : fs::directory_iterator(images)) {
        snapshots += entry.path().filename().string().starts_with("Alarm_") ? 1 : 0;
    }
    ASSERT_GT(snapshots, 0);

    // Two old episodes of files only, four days back.
    Old(images / "Alarm_20250301_080000_900.png", 4);
    Old(images / "Alarm_20250301_090000_901.png", 4);

    SettingStore& settings = SettingStore::instance();
    settings.setPath(QString::fromStdString((app / "kvs.ini").string()));
    settings.setAlarmImagesPath(QString::fromStdString(images.string()));
    settings.setAlarmRecordsPath(QString::fromStdString(records.string()));
    settings.setRecordPath(QString::fromStdString((app / "Records").string()));
    settings.setSnapshotPath(QString::fromStdString((app / "Snapshots").string()));
    settings.setFreeSpaceFloorGiB(8);
    CalorviewTest::FakeDiskSpace disk;  // plenty free until the pass below
    StorageKeeper keeper(QString::fromStdString((app / "QZLog").string()));
    CalorviewTest::FakeDialogs dialogs;
    HistoryPage page(nullptr, &dialogs);
    page.resize(1280, 670);
    page.show();
    page.UseStorageKeeper(&keeper);
    ASSERT_TRUE(QTest::qWaitFor([&] { return page.model()->Rows() == 1; }, 5000));
    EpisodeTableModel* model = page.model();
    EXPECT_EQ(model->index(0, EpisodeTableModel::kPeak).data().toString(),
              QString::fromUtf8("38.5 \u00b0C"));
    EXPECT_EQ(model->index(0, EpisodeTableModel::kSnapshots).data().toInt(), snapshots);
    ASSERT_EQ(model->EpisodeAt(0)->recordings.size(), 1u);
    const std::string recording = model->EpisodeAt(0)->recordings[0].path;

    // Opened, it plays to its end, every frame of the file shown.
    RecordingPlayer* player = page.detail()->player();
    QSignalSpy opened(player, &RecordingPlayer::opened);
    QSignalSpy shown(player, &RecordingPlayer::frameShown);
    QSignalSpy ended(player, &RecordingPlayer::ended);
    ASSERT_TRUE(page.SelectEpisode(model->EpisodeAt(0)->key));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !opened.isEmpty(); }, 5000));
    const int frames = opened.first().at(1).toInt();
    const auto probed = CalorviewTest::probeVideo(recording);
    EXPECT_EQ(std::to_string(frames), probed.at("nb_read_frames"));
    player->Play();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ended.isEmpty(); }, 30000));
    EXPECT_EQ(shown.size(), frames) << "the first frame on opening, the rest while playing";
    EXPECT_TRUE(player->Reason().isEmpty()) << player->Reason().toStdString();

    // Exported: every picture passes pngcheck, the video is read whole.
    dialogs.answer = QString::fromStdString(dir.file("episode.zip"));
    QSignalSpy exported(&page, &HistoryPage::exportFinished);
    page.ExportSelected();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !exported.isEmpty(); }, 30000));
    ASSERT_TRUE(exported.first().at(0).toBool()) << exported.first().at(1).toString().toStdString();
    const fs::path unpacked = dir.path() / "unpacked";
    ASSERT_EQ(Shell("unzip -q '" + dir.file("episode.zip") + "' -d '" + unpacked.string() + "'"),
              0);
    int pictures = 0;
    for (const auto& entry : fs::directory_iterator(unpacked)) {
        if (entry.path().extension() == ".png") {
            ++pictures;
            EXPECT_EQ(Shell("pngcheck -q '" + entry.path().string() + "'"), 0) << entry.path();
        }
    }
    EXPECT_EQ(pictures, snapshots);
    const fs::path video = unpacked / fs::path(recording).filename();
    EXPECT_EQ(CalorviewTest::probeVideo(video.string()).at("nb_read_frames"),
              probed.at("nb_read_frames"));
    EXPECT_NE(CalorviewTest::readFile((unpacked / "episode.csv").string()).find("38.5"),
              std::string::npos);

    // One old episode kept on the page; below the floor, a pass removes only the other.
    const QDate oldDay =
        QFileInfo(QString::fromStdString((images / "Alarm_20250301_080000_900.png").string()))
            .lastModified()
            .date();
    page.ShowDay(oldDay);
    ASSERT_EQ(model->Rows(), 2);
    ASSERT_TRUE(page.SelectEpisode(model->EpisodeAt(1)->key));  // the older one
    page.detail()->keepButton()->click();
    disk.bytes = uint64_t{6} << 30;
    keeper.RequestPass();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !fs::exists(images / "Alarm_20250301_090000_901.png"); }, 10000));
    EXPECT_TRUE(fs::exists(images / "Alarm_20250301_080000_900.png"));
    EXPECT_TRUE(fs::exists(recording)) << "an episode of the last 24 hours stays";
}

}  // namespace
