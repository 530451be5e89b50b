// Retention in the staged program: a station whose disk is below the free-space floor (told by
// the test-only file of free bytes) removes its old alarm episodes at start, says so, and goes
// on saving the alarms of a virtual camera.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
#include <QTest>
#include <filesystem>
#include <string>

#include "support/ProgramEnvironment.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

bool Exists(const fs::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0;
}

}  // namespace

TEST(RetentionEndToEnd, BelowTheFloorOldEpisodesGoAndNewAlarmsAreSaved) {
    CalorviewTest::TempDir dir;
    const fs::path app = dir.path() / "app";
    fs::copy(CALORVIEW_STAGE_DIR, app, fs::copy_options::recursive);
    const fs::path images = app / "AlarmImages";
    for (const char* folder : {"AlarmImages", "AlarmRecords", "Records", "Snapshots"}) {
        fs::create_directories(app / folder);
    }
    // Three old episodes, one of them kept, and one of two hours ago.
    const auto old = [](const fs::path& path, int hours) {
        CalorviewTest::writeFile(path.string(), std::string(1000, 'x'));
        const timespec when{::time(nullptr) - hours * 3600, 0};
        const timespec times[2] = {when, when};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    };
    old(images / "Alarm_20250301_080000_0.png", 96);
    old(images / "Alarm_20250301_080002_1.png", 96);
    old(app / "AlarmRecords/20250301_080000.mp4", 96);
    old(images / "Alarm_20250302_080000_2.png", 72);
    old(images / "Alarm_20250303_080000_3.png", 48);
    old(images / "Alarm_20250304_080000_4.png", 2);
    CalorviewTest::writeFile((images / "AlarmMarks.csv").string(),
                             "mark,episode,time\r\nkeep,Alarm_20250303_080000_3.png,"
                             "2025-03-04T08:00:00+00:00\r\n");
    // Above the 5 GiB below which saves are refused, below the default floor of 8 GiB.
    CalorviewTest::writeFile(dir.file("free"), std::to_string(6ull << 30));
    CalorviewTest::writeFile((app / "kvs.ini").string(),
                             "[Alarm]\nAlarmSoundEnabled=false\nAlarmRecordEnabled=false\n");
    CalorviewTest::writeFile(dir.file("camera.json"), R"({"name": "Floor", "fps": 25, "timeline": [
        {"at_ms": 0, "time": "local", "unit": "C"},
        {"at_ms": 1500, "alarm": true, "rect": true, "temperature": 38.5},
        {"at_ms": 2500, "alarm": false, "rect": false, "temperature": 0}]})");

    QProcess program;
    QProcessEnvironment environment =
        CalorviewTest::programEnvironment(dir.file("camera.json"), dir.path().string());
    environment.insert("CALORVIEW_TEST_FREE_BYTES_FILE", QString::fromStdString(dir.file("free")));
    program.setProcessEnvironment(environment);
    program.setWorkingDirectory(QString::fromStdString(app.string()));
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(QString::fromStdString((app / "calorview").string()), {});
    ASSERT_TRUE(program.waitForStarted(5000));
    QByteArray output;
    const auto newSnapshots = [&] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(images)) {
            const std::string name = entry.path().filename().string();
            count += name.starts_with("Alarm_") && !name.starts_with("Alarm_2025") ? 1 : 0;
        }
        return count;
    };
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            output += program.readAll();
            return output.contains("Storage: removed") && newSnapshots() > 0;
        },
        20000))
        << output.toStdString();
    program.terminate();
    ASSERT_TRUE(program.waitForFinished(10000));
    output += program.readAll();
    EXPECT_EQ(program.exitCode(), 0) << output.toStdString();

    // The oldest unkept episodes went whole; the kept one and the recent one stayed.
    EXPECT_FALSE(Exists(images / "Alarm_20250301_080000_0.png"));
    EXPECT_FALSE(Exists(images / "Alarm_20250301_080002_1.png"));
    EXPECT_FALSE(Exists(app / "AlarmRecords/20250301_080000.mp4"));
    EXPECT_FALSE(Exists(images / "Alarm_20250302_080000_2.png"));
    EXPECT_TRUE(Exists(images / "Alarm_20250303_080000_3.png"));
    EXPECT_TRUE(Exists(images / "Alarm_20250304_080000_4.png"));
    EXPECT_GT(newSnapshots(), 0) << "the new alarm was saved";
    // Only kept and recent episodes are left, still below the floor: the warning.
    EXPECT_TRUE(output.contains("below the floor")) << output.toStdString();
    const std::string marks = CalorviewTest::readFile((images / "AlarmMarks.csv").string());
    EXPECT_NE(marks.find("removed,Alarm_20250301_080000_0.png,"), std::string::npos) << marks;
    EXPECT_NE(marks.find("removed,Alarm_20250302_080000_2.png,"), std::string::npos) << marks;
    bool logged = false;
    for (const auto& entry : fs::directory_iterator(app / "QZLog")) {
        const std::string name = entry.path().filename().string();
        logged = logged ||
                 (name.starts_with("storage-") &&
                  CalorviewTest::readFile(entry.path().string()).find("removed 2 alarm episodes") !=
                      std::string::npos);
    }
    EXPECT_TRUE(logged) << "a line in QZLog/storage-YYYYMMDD.log";
}
