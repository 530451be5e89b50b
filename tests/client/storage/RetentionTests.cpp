// Retention on real files: the keeper scans temporary storage folders, with the free space from
// the disk-space seam and refused removals from the removal seam (the tests run as root), and the
// files left afterwards are what is checked. One table; each row is a station's folders, the
// rules, and the names that must be gone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDateTime>
#include <QSignalSpy>
#include <QTest>
#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "alarm/AlarmLog.h"
#include "settings/SettingStore.h"
#include "storage/FileRemover.h"
#include "storage/StorageKeeper.h"
#include "support/FakeDiskSpace.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using CalorviewTest::TempDir;

constexpr uint64_t kGiB = StorageKeeper::kGiB;
constexpr uint64_t kFileBytes = 100;

// A file of the station: its folder ("AlarmImages", "AlarmRecords", "Records", "Snapshots"), its
// name, and its mtime in hours from now (negative: the past).
struct File {
    const char* folder;
    const char* name;
    double hours;
};
// A line of the alarm log: camera times of its first and last frame, its last computer time in
// hours from now, and the files it names.
struct Logged {
    const char* firstCamera;
    const char* lastCamera;
    double endedHours;
    const char* recording = "";
};

struct Case {
    const char* name;
    int floorGiB = 0;
    int alarmDays = 0;
    int recordDays = 0;
    uint64_t lackBytes = 0;  // free space = floor - lack
    std::vector<File> files{};
    std::vector<Logged> logged{};
    std::vector<std::string> keptFirstFiles{};  // unlogged episodes kept, by their first file
    int keptLogged = -1;                        // index into logged of a kept episode
    const char* openFirstCamera = nullptr;      // an episode in progress began at this camera time
    bool refuse = false;                        // every removal refused
    const char* alarmImagesFolder = nullptr;    // instead of the temporary one
    const char* marks = nullptr;                // AlarmMarks.csv as found
    std::set<std::string> gone{};
    bool floorUnmet = false;
};

class RefusingRemover : public FileRemover {
public:
    int Remove(int, const char*) const override {
        ++calls;
        return EPERM;
    }
    mutable std::atomic<int> calls{0};
};

QDateTime HoursFromNow(double hours) {
    return QDateTime::currentDateTime().addSecs(static_cast<qint64>(hours * 3600));
}

void SetMtime(const fs::path& path, double hours) {
    const timespec when{HoursFromNow(hours).toSecsSinceEpoch(), 0};
    const timespec times[2] = {when, when};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::string Names(const std::set<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += name + " ";
    }
    return text;
}

const std::vector<Case>& Cases() {
    // Name times are a camera clock's: they decide grouping, never age.
    static const std::vector<Case> cases = {
        {.name = "the floor takes the oldest whole episode, never the last 24 hours",
         .floorGiB = 1,
         .lackBytes = 150,
         .files = {{"AlarmImages", "Alarm_20260101_100000_1.png", -72},
                   {"AlarmImages", "Alarm_20260101_100004_2.png", -72},
                   {"AlarmRecords", "20260101_100000.mp4", -72},
                   {"AlarmImages", "Alarm_20260102_100000_3.png", -48},
                   {"AlarmImages", "Alarm_20260103_100000_4.png", -10}},
         .gone = {"Alarm_20260101_100000_1.png", "Alarm_20260101_100004_2.png",
                  "20260101_100000.mp4"}},
        {.name = "a continuous alarm: the episode in progress and the recent one stay",
         .floorGiB = 4,
         .lackBytes = 2 * kGiB,
         .files = {{"AlarmImages", "Alarm_20260101_100000_1.png", -72},
                   {"AlarmImages", "Alarm_20260102_100000_2.png", -48},
                   {"AlarmImages", "Alarm_20260103_100000_3.png", -10},
                   {"AlarmImages", "Alarm_20260104_100000_4.png", -30},
                   {"AlarmImages", "Alarm_20260104_110000_5.png", -30},
                   {"AlarmRecords", "20260104_100000.mp4", -30}},
         .openFirstCamera = "2026-01-04 10:00:00",
         .gone = {"Alarm_20260101_100000_1.png", "Alarm_20260102_100000_2.png"},
         .floorUnmet = true},
        {.name = "an age limit counts from the logged end, across midnight",
         .alarmDays = 1,
         .files = {{"AlarmImages", "Alarm_20260105_235950_1.png", -1},
                   {"AlarmImages", "Alarm_20260106_000010_2.png", -1},
                   {"AlarmImages", "Alarm_20260106_000100_3.png", -1}},
         .logged = {{"2026-01-05 23:59:50", "2026-01-06 00:00:10", -25},
                    {"2026-01-06 00:01:00", "2026-01-06 00:01:00", -23}},
         .gone = {"Alarm_20260105_235950_1.png", "Alarm_20260106_000010_2.png"}},
        {.name = "kept episodes survive the age limit and the floor",
         .floorGiB = 1,
         .alarmDays = 1,
         .lackBytes = kGiB / 2,
         .files = {{"AlarmImages", "Alarm_20260101_100000_1.png", -72},
                   {"AlarmImages", "Alarm_20260102_100000_2.png", -72},
                   {"AlarmImages", "Alarm_20260103_100000_3.png", -72}},
         .logged = {{"2026-01-03 10:00:00", "2026-01-03 10:00:00", -72}},
         .keptFirstFiles = {"Alarm_20260101_100000_1.png"},
         .keptLogged = 0,
         .gone = {"Alarm_20260102_100000_2.png"},
         .floorUnmet = true},
        {.name = "a recording shared by two episodes stays while one of them does",
         .alarmDays = 1,
         .files = {{"AlarmImages", "Alarm_20260107_100000_1.png", -48},
                   {"AlarmImages", "Alarm_20260107_100020_2.png", -2},
                   {"AlarmRecords", "20260107_100000.mp4", -2},
                   {"AlarmImages", "Alarm_20260108_100000_3.png", -48},
                   {"AlarmImages", "Alarm_20260108_100020_4.png", -48},
                   {"AlarmRecords", "20260108_100000.mp4", -48}},
         .logged = {{"2026-01-07 10:00:00", "2026-01-07 10:00:10", -48},
                    {"2026-01-07 10:00:20", "2026-01-07 10:00:30", -2, "20260107_100000.mp4"},
                    {"2026-01-08 10:00:00", "2026-01-08 10:00:10", -48},
                    {"2026-01-08 10:00:20", "2026-01-08 10:00:30", -47, "20260108_100000.mp4"}},
         .gone = {"Alarm_20260107_100000_1.png", "Alarm_20260108_100000_3.png",
                  "Alarm_20260108_100020_4.png", "20260108_100000.mp4"}},
        {.name = "only the program's own names, never a link, a folder or a log",
         .floorGiB = 1,
         .lackBytes = kGiB / 2,
         .files = {{"AlarmImages", "Alarm_20260101_100000_1.png", -72},
                   {"AlarmImages", "Alarm_20260101_100000_01.png", -72},
                   {"AlarmImages", ".Alarm_20260101_100000_2.png.tmp", -72},
                   {"AlarmImages", "Alarm_20260101_100000_3.PNG", -72},
                   {"AlarmImages", "notes.txt", -72},
                   {"AlarmImages", "20260101_100000_4.png", -72},
                   {"AlarmImages", "AlarmLog_20260101.csv", -72},
                   {"AlarmRecords", "20260101_100000.mkv", -72},
                   {"AlarmRecords", "20260101_100000_0.mp4", -72}},
         .gone = {"Alarm_20260101_100000_1.png"},
         .floorUnmet = true},
        {.name = "a folder of / with unrelated files: nothing is touched",
         .floorGiB = 1,
         .alarmDays = 1,
         .recordDays = 1,
         .lackBytes = kGiB / 2,
         .alarmImagesFolder = "/",
         .floorUnmet = true},
        {.name = "a file that cannot be removed is skipped, logged once, not retried",
         .floorGiB = 1,
         .lackBytes = kGiB / 2,
         .files = {{"AlarmImages", "Alarm_20260101_100000_1.png", -72},
                   {"AlarmImages", "Alarm_20260102_100000_2.png", -72}},
         .refuse = true,
         .floorUnmet = true},
        {.name = "a file dated in the future makes nothing else older",
         .floorGiB = 1,
         .alarmDays = 1,
         .lackBytes = kGiB / 2,
         .files = {{"AlarmImages", "Alarm_20260101_100000_1.png", 24 * 30},
                   {"AlarmImages", "Alarm_20260102_100000_2.png", -48},
                   {"AlarmImages", "Alarm_20260103_100000_3.png", -2}},
         .gone = {"Alarm_20260102_100000_2.png"},
         .floorUnmet = true},
        {.name = "a name that comes back after its group was removed is a new group",
         .alarmDays = 1,
         .files = {{"AlarmImages", "Alarm_20260101_100000_1.png", -48}},
         .marks = "mark,episode,time\r\nremoved,Alarm_20260101_100000_1.png,"
                  "2026-01-02T10:00:00+00:00\r\n",
         .gone = {"Alarm_20260101_100000_1.png"}},
        {.name = "the user's own files go by their age limit only, never by the floor",
         .floorGiB = 1,
         .recordDays = 2,
         .lackBytes = kGiB / 2,
         .files = {{"Snapshots", "20260101_100000_1.png", -72},
                   {"Snapshots", "20260102_100000_2.png", -24},
                   {"Snapshots", "20260102_100000_3_1.png", -72},
                   {"Records", "20260101_100000.pvf", -72},
                   {"Records", "20260102_100000.mp4", -24}},
         .gone = {"20260101_100000_1.png", "20260102_100000_3_1.png", "20260101_100000.pvf"},
         .floorUnmet = true},
    };
    return cases;
}

class Retention : public testing::TestWithParam<Case> {};

TEST_P(Retention, RemovesWhatTheRulesSayAndNothingElse) {
    const Case& c = GetParam();
    TempDir dir;
    const fs::path outside = dir.path() / "outside";
    fs::create_directories(outside);
    for (const char* folder : {"AlarmImages", "AlarmRecords", "Records", "Snapshots", "QZLog"}) {
        fs::create_directories(dir.path() / folder);
    }
    SettingStore& settings = SettingStore::instance();
    settings.setPath(QString::fromStdString(dir.file("kvs.ini")));
    const QString images = c.alarmImagesFolder != nullptr
                               ? QString(c.alarmImagesFolder)
                               : QString::fromStdString((dir.path() / "AlarmImages").string());
    settings.setAlarmImagesPath(images);
    settings.setAlarmRecordsPath(QString::fromStdString((dir.path() / "AlarmRecords").string()));
    settings.setRecordPath(QString::fromStdString((dir.path() / "Records").string()));
    settings.setSnapshotPath(QString::fromStdString((dir.path() / "Snapshots").string()));
    // No rules until the folders are laid out and the episode in progress is told of.
    settings.setFreeSpaceFloorGiB(0);
    settings.setAlarmKeepDays(0);
    settings.setRecordKeepDays(0);

    std::set<std::string> all;
    for (const File& file : c.files) {
        const fs::path path = dir.path() / file.folder / file.name;
        CalorviewTest::writeFile(path.string(), std::string(kFileBytes, 'x'));
        SetMtime(path, file.hours);
        all.insert(file.name);
    }
    // A link named like an alarm snapshot, to a file outside, and a folder named like one.
    CalorviewTest::writeFile((outside / "precious").string(), "keep me");
    fs::create_symlink(outside / "precious",
                       dir.path() / "AlarmImages/Alarm_20250101_000000_9.png");
    fs::create_directory(dir.path() / "AlarmImages/Alarm_20250101_000000_8.png");
    std::vector<AlarmEpisode> logged;
    AlarmLog log;
    for (const Logged& line : c.logged) {
        AlarmEpisode episode;
        episode.firstCameraTime = line.firstCamera;
        episode.lastCameraTime = line.lastCamera;
        episode.lastTime = HoursFromNow(line.endedHours);
        episode.firstTime = episode.lastTime.addSecs(-10);
        episode.recording = line.recording;
        ASSERT_TRUE(
            log.Append(episode, QString::fromStdString((dir.path() / "AlarmImages").string())));
        logged.push_back(episode);
    }

    if (c.marks != nullptr) {
        CalorviewTest::writeFile((dir.path() / "AlarmImages/AlarmMarks.csv").string(), c.marks);
    }
    CalorviewTest::FakeDiskSpace space;
    RefusingRemover refusing;
    if (c.refuse) {
        FileRemover::Install(&refusing);
    }
    {
        StorageKeeper keeper(QString::fromStdString((dir.path() / "QZLog").string()));
        QSignalSpy reports(&keeper, &StorageKeeper::passReported);
        ASSERT_TRUE(keeper.WaitIdle(10000));
        if (c.openFirstCamera != nullptr) {
            AlarmEpisode open;
            open.firstCameraTime = c.openFirstCamera;
            open.firstTime = QDateTime::currentDateTime();
            keeper.OnEpisodeStarted(open);
        }
        for (const std::string& first : c.keptFirstFiles) {
            keeper.SetKept(QString::fromStdString(first), true);
        }
        if (c.keptLogged >= 0) {
            keeper.SetKept(AlarmLog::ComputerTime(logged[c.keptLogged].firstTime), true);
        }
        space.bytes = uint64_t(c.floorGiB) * kGiB - c.lackBytes;
        settings.setFreeSpaceFloorGiB(c.floorGiB);
        settings.setAlarmKeepDays(c.alarmDays);
        settings.setRecordKeepDays(c.recordDays);
        keeper.RequestPass();
        ASSERT_TRUE(keeper.WaitIdle(10000));
        if (c.refuse) {
            // The next pass does not try a refused file again.
            const int refusals = refusing.calls;
            EXPECT_GT(refusals, 0);
            keeper.RequestPass();
            ASSERT_TRUE(keeper.WaitIdle(10000));
            EXPECT_EQ(refusing.calls, refusals);
        }
        QTest::qWait(50);  // the reports reach the GUI thread through its event loop
        bool floorUnmet = false;
        int episodes = 0;
        for (const QList<QVariant>& report : reports) {
            const auto r = report[0].value<StorageKeeper::Report>();
            floorUnmet = floorUnmet || r.floorUnmet;
            episodes += r.episodes;
        }
        EXPECT_EQ(floorUnmet, c.floorUnmet);
        EXPECT_EQ(episodes > 0, !c.gone.empty() && c.recordDays == 0);
    }
    FileRemover::Install(nullptr);

    std::set<std::string> left;
    for (const char* folder : {"AlarmImages", "AlarmRecords", "Records", "Snapshots"}) {
        for (const auto& entry : fs::directory_iterator(dir.path() / folder)) {
            left.insert(entry.path().filename().string());
        }
    }
    std::set<std::string> expected = all;
    for (const std::string& name : c.gone) {
        expected.erase(name);
    }
    expected.insert({"Alarm_20250101_000000_9.png", "Alarm_20250101_000000_8.png"});
    std::set<std::string> logs;
    for (const std::string& name : left) {
        if (name.starts_with("AlarmLog_") || name == "AlarmMarks.csv") {
            logs.insert(name);
        }
    }
    for (const std::string& name : logs) {
        left.erase(name);
        expected.erase(name);
    }
    EXPECT_EQ(Names(left), Names(expected));
    EXPECT_EQ(CalorviewTest::readFile((outside / "precious").string()), "keep me");
    if (!c.logged.empty()) {
        EXPECT_TRUE(logs.count(AlarmLog::FileName(logged[0].firstTime.date()).toStdString()))
            << "the alarm log stays";
    }
    const bool removed = !c.gone.empty();
    if (removed && c.recordDays == 0) {
        const std::string marks =
            CalorviewTest::readFile((dir.path() / "AlarmImages/AlarmMarks.csv").string());
        EXPECT_NE(marks.find("\r\nremoved,"), std::string::npos) << marks;
    }
    if (removed) {
        bool storageLog = false;
        for (const auto& entry : fs::directory_iterator(dir.path() / "QZLog")) {
            storageLog =
                storageLog || (entry.path().filename().string().starts_with("storage-") &&
                               CalorviewTest::readFile(entry.path().string()).find(" removed ") !=
                                   std::string::npos);
        }
        EXPECT_TRUE(storageLog);
    }
}

INSTANTIATE_TEST_SUITE_P(Station, Retention, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Case>& info) {
                             return "Case" + std::to_string(info.index);
                         });

}  // namespace
