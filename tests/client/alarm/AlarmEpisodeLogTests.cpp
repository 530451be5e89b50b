// Alarm episodes from a stream of alarm frames, and the day's alarm log they end up in: the
// hold that ends or merges episodes (driven by a hand-moved tick clock), the capture thread
// running ahead of a held-up GUI thread, and the log file's rules on real files.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QRegularExpression>
#include <QStringList>
#include <QTimeZone>
#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "alarm/AlarmEpisodeTracker.h"
#include "alarm/AlarmLog.h"
#include "settings/SettingStore.h"
#include "support/CapturedMessages.h"
#include "support/ManualTickClock.h"
#include "support/TempDir.h"

namespace {

using CalorviewTest::ManualTickClock;
using CalorviewTest::TempDir;

constexpr uint32_t kStart = 100000;
constexpr uint32_t kFrameMs = 40;  // 25 frames a second

// A tracker on a hand-moved clock, with what it reported.
struct EpisodeRun {
    EpisodeRun() : clock(kStart) {
        TickClock::Install(&clock);
        QObject::connect(&tracker, &AlarmEpisodeTracker::episodeStarted,
                         [this](const AlarmEpisode& e) { started.push_back(e); });
        QObject::connect(&tracker, &AlarmEpisodeTracker::episodeEnded,
                         [this](const AlarmEpisode& e) { ended.push_back(e); });
    }
    ~EpisodeRun() { TickClock::Install(nullptr); }

    // The camera's display time `ms` after the start.
    static std::string CameraTime(uint32_t ms) {
        return QTime(9, 15, 0)
            .addMSecs(static_cast<int>(ms))
            .toString("'2026-12-08 'HH:mm:ss")
            .toStdString();
    }
    uint32_t Elapsed() const { return clock.now.load() - kStart; }
    // Alarm frames until `untilMs`, the GUI thread looking in every 200 ms as its timer would.
    void Alarm(uint32_t untilMs, int32_t tenths) {
        while (Elapsed() < untilMs) {
            tracker.OnAlarmFrame(CameraTime(Elapsed()).c_str(), tenths, 0);
            Step();
        }
    }
    void Quiet(uint32_t untilMs) {
        while (Elapsed() < untilMs) {
            Step();
        }
    }
    void Step() {
        clock.now += kFrameMs;
        if (!guiHeldUp && Elapsed() % 200 == 0) {
            tracker.Sync();
        }
    }

    bool guiHeldUp = false;  // the GUI thread does not look in
    ManualTickClock clock;
    AlarmEpisodeTracker tracker;
    std::vector<AlarmEpisode> started;
    std::vector<AlarmEpisode> ended;
};

QStringList LogLines(const std::filesystem::path& file) {
    const QString text = QString::fromStdString(CalorviewTest::readFile(file.string()));
    QStringList lines = text.split("\r\n");
    EXPECT_EQ(lines.takeLast(), "") << "every line ends with CRLF";
    return lines;
}

AlarmEpisode Episode(const QDateTime& first, const QDateTime& last) {
    AlarmEpisode e;
    e.firstCameraTime = first.toString("yyyy-MM-dd HH:mm:ss");
    e.lastCameraTime = last.toString("yyyy-MM-dd HH:mm:ss");
    e.firstTime = first;
    e.lastTime = last;
    e.peakTemperature = 38.5;
    return e;
}

}  // namespace

// Two alarms 6 s apart are two episodes; one 3 s after the second is merged into it by the
// 5-s hold. Each episode is started once (with its first snapshot, or empty after 1 s without
// one) and ended once, and each is one line of the day's log.
TEST(AlarmEpisode, HoldSplitsAndMergesAlarmsIntoLogLines) {
    EpisodeRun run;
    run.Alarm(500, 385);
    ASSERT_TRUE(run.started.empty()) << "waits for the first alarm's snapshot";
    run.tracker.OnSnapshotOutcome("/data/AlarmImages/Alarm_20261208_091500_0.png");
    ASSERT_EQ(run.started.size(), 1u);
    EXPECT_EQ(run.started[0].firstSnapshot, "Alarm_20261208_091500_0.png");
    run.Alarm(1000, 395);
    run.tracker.OnSnapshotOutcome("/data/AlarmImages/Alarm_20261208_091500_12.png");
    run.Quiet(7000);  // 6 s after the first alarm's last frame
    ASSERT_EQ(run.ended.size(), 1u);

    run.Alarm(7500, 401);
    // This episode's first snapshot fails; its recording starts.
    run.tracker.OnSnapshotOutcome(QString());
    run.tracker.OnRecordingStarted("/data/AlarmRecords/20261208_091507.mp4", true);
    run.Quiet(10500);  // 3 s: the hold holds
    run.Alarm(11000, 398);
    run.tracker.OnSnapshotOutcome("/data/AlarmImages/Alarm_20261208_091510_40.png");
    run.Quiet(15900);
    EXPECT_EQ(run.ended.size(), 1u) << "not ended before the hold has passed";
    run.Quiet(16200);
    run.tracker.OnRecordingFinished("/data/AlarmRecords/20261208_091507.mp4", true);
    ASSERT_EQ(run.started.size(), 2u);
    ASSERT_EQ(run.ended.size(), 2u);
    EXPECT_EQ(run.started[1].firstSnapshot, "") << "the failed save is its first outcome";

    const AlarmEpisode first = run.ended[0];
    EXPECT_EQ(first.serial, 1u);
    EXPECT_EQ(first.firstCameraTime, "2026-12-08 09:15:00");
    EXPECT_EQ(first.lastCameraTime, "2026-12-08 09:15:00");
    EXPECT_DOUBLE_EQ(first.peakTemperature, 39.5);
    EXPECT_EQ(first.snapshots, 2);
    EXPECT_EQ(first.firstSnapshot, "Alarm_20261208_091500_0.png");
    EXPECT_EQ(first.lastSnapshot, "Alarm_20261208_091500_12.png");
    EXPECT_EQ(first.recording, "");
    EXPECT_LE(first.firstTime, first.lastTime);

    const AlarmEpisode second = run.ended[1];
    EXPECT_EQ(second.serial, 2u);
    EXPECT_EQ(second.firstCameraTime, "2026-12-08 09:15:07");
    EXPECT_EQ(second.lastCameraTime, "2026-12-08 09:15:10");
    EXPECT_DOUBLE_EQ(second.peakTemperature, 40.1) << "the peak of all its frames";
    EXPECT_EQ(second.snapshots, 1);
    EXPECT_EQ(second.firstSnapshot, "Alarm_20261208_091510_40.png");
    EXPECT_EQ(second.lastSnapshot, "Alarm_20261208_091510_40.png");
    EXPECT_EQ(second.recording, "20261208_091507.mp4");

    // A third episode: no snapshot outcome ever comes, so it starts 1 s after its first frame;
    // a clean shutdown ends it.
    run.Alarm(16600, 390);
    run.Quiet(17000);
    EXPECT_EQ(run.started.size(), 2u);
    run.Quiet(17400);
    ASSERT_EQ(run.started.size(), 3u);
    EXPECT_EQ(run.started[2].recording, "") << "the alarm recording had finished";
    run.tracker.EndEpisodeInProgress();
    ASSERT_EQ(run.ended.size(), 3u);
    EXPECT_EQ(run.ended[2].serial, 3u);

    TempDir dir;
    AlarmLog log;
    for (const AlarmEpisode& episode : run.ended) {
        ASSERT_TRUE(log.Append(episode, QString::fromStdString(dir.path().string())));
    }
    const auto file = dir.path() / AlarmLog::FileName(first.firstTime.date()).toStdString();
    const QStringList lines = LogLines(file);
    ASSERT_EQ(lines.size(), 4) << lines.join("|").toStdString();
    EXPECT_EQ(lines[0] + "\r\n", QString::fromLatin1(AlarmLog::Header()));
    const QRegularExpression iso(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d)$)");
    const QStringList fields = lines[2].split(',');
    ASSERT_EQ(fields.size(), 10) << lines[2].toStdString();
    EXPECT_EQ(fields[0], "2026-12-08 09:15:07");
    EXPECT_TRUE(iso.match(fields[1]).hasMatch()) << fields[1].toStdString();
    EXPECT_EQ(fields[2], "2026-12-08 09:15:10");
    EXPECT_TRUE(iso.match(fields[3]).hasMatch()) << fields[3].toStdString();
    EXPECT_EQ(fields.mid(4), QStringList({"40.1", "C", "1", "Alarm_20261208_091510_40.png",
                                          "Alarm_20261208_091510_40.png", "20261208_091507.mp4"}));
}

// The capture thread feeds two alarms 6 s apart, the GUI thread held up or looking in as often
// as it can: whichever of the two sees the hold pass first (the GUI thread ends the episode, or
// the capture thread keeps it apart for the GUI thread), the same two episodes come out.
TEST(AlarmEpisode, CaptureAndGuiThreadsAgreeOnTheEpisodes) {
    for (const bool guiLooks : {false, true}) {
        EpisodeRun run;
        std::atomic<bool> done{false};
        std::thread capture([&run, &done] {
            for (uint32_t ms = 0; ms < 12000; ms += kFrameMs) {
                run.clock.now = kStart + ms;
                if (ms < 1000 || ms >= 7000) {
                    run.tracker.OnAlarmFrame(EpisodeRun::CameraTime(ms).c_str(),
                                             ms < 1000 ? 400 : 380, 2);
                }
                std::this_thread::yield();
            }
            done = true;
        });
        while (guiLooks && !done) {
            run.tracker.Sync();
        }
        capture.join();
        run.tracker.Sync();
        ASSERT_EQ(run.ended.size(), 1u) << guiLooks;
        EXPECT_EQ(run.ended[0].serial, 1u);
        EXPECT_DOUBLE_EQ(run.ended[0].peakTemperature, 40.0);
        EXPECT_EQ(run.ended[0].unitKind, 2);
        EXPECT_EQ(run.ended[0].lastCameraTime, "2026-12-08 09:15:00");
        ASSERT_EQ(run.started.size(), 2u) << "the second one has begun";
        EXPECT_EQ(run.started[1].serial, 2u);
        EXPECT_EQ(run.started[1].firstCameraTime, "2026-12-08 09:15:07");
    }
}

// The GUI thread held up over several holds (a slow disk, a stuck resolver): the capture thread
// keeps every episode apart, however many end before the GUI thread looks again.
TEST(AlarmEpisode, AGuiThreadHeldUpForSeveralHoldsStillGetsEveryEpisode) {
    EpisodeRun run;
    run.guiHeldUp = true;
    for (uint32_t start = 0; start < 28000; start += 7000) {
        run.Alarm(start + 1000, static_cast<int32_t>(380 + start / 1000));
        run.Quiet(start + 7000);
    }
    run.tracker.Sync();
    ASSERT_EQ(run.ended.size(), 4u);
    for (uint32_t i = 0; i < 4; ++i) {
        const AlarmEpisode& episode = run.ended[i];
        EXPECT_EQ(episode.serial, i + 1);
        EXPECT_EQ(episode.firstCameraTime.toStdString(), EpisodeRun::CameraTime(i * 7000));
        EXPECT_EQ(episode.lastCameraTime.toStdString(), EpisodeRun::CameraTime(i * 7000 + 960));
        EXPECT_DOUBLE_EQ(episode.peakTemperature, 38.0 + 0.7 * i);
    }
}

// The file's own rules: the day the episode began, the header only in a new file, a line that
// a crash cut left alone, RFC 4180 quoting, a failing folder logged once, and a link or FIFO
// planted under the day's name refused.
TEST(AlarmLog, FileRules) {
    const QTimeZone zone(3600);
    const QDateTime beforeMidnight(QDate(2026, 12, 8), QTime(23, 59, 58), zone);
    const QDateTime afterMidnight(QDate(2026, 12, 9), QTime(0, 0, 4), zone);
    TempDir dir;
    const QString folder = QString::fromStdString(dir.path().string());
    const auto day1 = dir.path() / "AlarmLog_20261208.csv";
    AlarmLog log;

    // A line cut by a crash stays; the next starts on its own line; no second header.
    const std::string cut = std::string(AlarmLog::Header().constData()) + "2026-12-08 09:00:00,20";
    CalorviewTest::writeFile(day1.string(), cut);
    AlarmEpisode spanning = Episode(beforeMidnight, afterMidnight);
    spanning.unitKind = 1;
    spanning.recording = "night, \"north\" gate.mp4";
    ASSERT_TRUE(log.Append(spanning, folder));
    const std::string expectedLine =
        "2026-12-08 23:59:58,2026-12-08T23:59:58+01:00,2026-12-09 00:00:04,"
        "2026-12-09T00:00:04+01:00,38.5,F,0,,,\"night, \"\"north\"\" gate.mp4\"\r\n";
    EXPECT_EQ(CalorviewTest::readFile(day1.string()), cut + "\r\n" + expectedLine);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "AlarmLog_20261209.csv"))
        << "an episode over midnight belongs to the day it began";

    // An empty file (made by "Open alarm log") gets the header before its first line.
    const auto day2 = dir.path() / "AlarmLog_20261209.csv";
    CalorviewTest::writeFile(day2.string(), "");
    ASSERT_TRUE(log.Append(Episode(afterMidnight, afterMidnight), folder));
    const QStringList lines = LogLines(day2);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0] + "\r\n", QString::fromLatin1(AlarmLog::Header()));
    EXPECT_TRUE(lines[1].startsWith("2026-12-09 00:00:04,2026-12-09T00:00:04+01:00,"));

    // "Open alarm log" on a day without an episode: today's file with only its header, named
    // absolutely although the folder setting is relative; asked again, it stays so.
    SettingStore& settings = SettingStore::instance();
    settings.setPath(QString::fromStdString(dir.file("kvs.ini")));
    settings.setAlarmImagesPath("./Images");
    std::filesystem::create_directory(dir.path() / "Images");
    const QString previous = QDir::currentPath();
    QDir::setCurrent(folder);
    const QString today = AlarmLog::EnsureToday();
    EXPECT_EQ(AlarmLog::EnsureToday(), today);
    QDir::setCurrent(previous);
    EXPECT_EQ(today, folder + "/Images/" + AlarmLog::FileName(QDate::currentDate()));
    EXPECT_EQ(CalorviewTest::readFile(today.toStdString()), AlarmLog::Header().toStdString());

    // A folder that is not there: false, and the log says so once, not per episode.
    CalorviewTest::CapturedMessages messages;
    const QString missing = folder + "/gone";
    EXPECT_FALSE(log.Append(spanning, missing));
    EXPECT_FALSE(log.Append(spanning, missing));
    EXPECT_EQ(messages.count("AlarmLog: cannot append"), 1);
    EXPECT_TRUE(log.Append(spanning, folder));
    EXPECT_FALSE(log.Append(spanning, missing));
    EXPECT_EQ(messages.count("AlarmLog: cannot append"), 2) << "a new failure after a success";

    // Someone plants a link (or a FIFO) under the name: its target gets nothing, and "Open alarm
    // log" does not open it.
    const auto target = dir.path() / "target";
    CalorviewTest::writeFile(target.string(), "keep");
    const auto todays =
        dir.path() / "Images" / AlarmLog::FileName(QDate::currentDate()).toStdString();
    for (const bool fifo : {false, true}) {
        std::filesystem::remove(todays);
        if (fifo) {
            ASSERT_EQ(::mkfifo(todays.c_str(), 0644), 0);
        } else {
            std::filesystem::create_symlink(target, todays);
        }
        AlarmEpisode now = Episode(QDateTime::currentDateTime(), QDateTime::currentDateTime());
        EXPECT_FALSE(log.Append(now, QString::fromStdString((dir.path() / "Images").string())));
        QDir::setCurrent(folder);
        EXPECT_EQ(AlarmLog::EnsureToday(), QString());
        QDir::setCurrent(previous);
    }
    EXPECT_EQ(CalorviewTest::readFile(target.string()), "keep");
}
