// The alarm panel's actions against a connected virtual camera, with the tick clock and the
// free-space query in the test's hands: the intake under a burst, items and their limit,
// snapshots, the sound rules, and the ends of alarm and manual recordings.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QSoundEffect>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <map>
#include <thread>

#include "alarm/AlarmWindow.h"
#include "alarm/ImageView.h"
#include "media/StreamConverter.h"
#include "platform/TickClock.h"
#include "settings/SettingStore.h"
#include "support/FakeDiskSpace.h"
#include "support/ManualTickClock.h"
#include "support/ScenarioFile.h"
#include "support/Wait.h"
#include "ui/NotifyManager.h"
#include "ui/NotifyWidget.h"
#include "video/DeviceConnectionManager.h"
#include "video/VideoWindow.h"

namespace {

class AlarmActions : public testing::Test {
protected:
    void SetUp() override {
        SettingStore& s = SettingStore::instance();
        s.setPath(QString::fromStdString(m_dir.file("kvs.ini")));
        for (const char* folder : {"AlarmImages", "AlarmRecords", "Records", "Snapshot"}) {
            std::filesystem::create_directory(m_dir.path() / folder);
            m_folder[folder] = QString::fromStdString((m_dir.path() / folder).string());
        }
        s.setAlarmImagesPath(m_folder["AlarmImages"]);
        s.setAlarmRecordsPath(m_folder["AlarmRecords"]);
        s.setRecordPath(m_folder["Records"]);
        s.setSnapshotPath(m_folder["Snapshot"]);
        s.setAlarmSnapshotEnabled(true);
        s.setAlarmRecordEnabled(true);
        s.setAlarmSoundEnabled(true);
        s.setRecordType(0);
        TickClock::Install(&m_clock);
        CalorviewTest::writeFile(m_scenario, CalorviewTest::scenarioJson("Quiet", 160, 120, 50));
        CalorviewTest::useVirtualCameras({m_scenario});
        m_panel = std::make_unique<AlarmWindow>();
        m_panel->resize(800, 600);
        m_panel->show();
        SetNotifyArea(m_panel.get(), 0, 0, 800, 600);
        ASSERT_TRUE(DeviceConnectionManager::instance()->ConnectToDev(0));
        m_panel->videoWindow()->StartVideo();
        m_panel->EnableAlarm();
        ASSERT_TRUE(events([&] {
            char time[32] = {};
            m_panel->videoWindow()->CopyFrameForSnapshot(time);
            return time[0] != '\0';
        }));
    }
    void TearDown() override {
        DeviceConnectionManager::instance()->DisconnectDev();
        m_panel.reset();
        SC_WaitFinished();
        TickClock::Install(nullptr);
    }
    // Waits while queued signals are delivered.
    static bool events(const std::function<bool()>& condition, int seconds = 10) {
        return CalorviewTest::waitUntil(
            [&] {
                QCoreApplication::processEvents();
                return condition();
            },
            std::chrono::seconds(seconds));
    }
    // One alarm as the intake hands it over, handled to its end: the snapshot is written on the
    // video window's thread, and its report makes the item.
    void alarm(double temp = 38.5, int kind = 0) {
        const QString path = m_folder["AlarmImages"] + "/Alarm_20261207_091500_0.png";
        emit m_panel->pushAlarm(path, "20261207_091500", "2026-12-07 09:15:00", temp, kind, 0);
        QCoreApplication::processEvents();
        ASSERT_TRUE(m_panel->videoWindow()->WaitForSnapshotSave(5000));
        QCoreApplication::processEvents();
    }
    // Lets the clock run, then waits for the stop check that the next quiet frame brings.
    void advance(uint32_t ms) {
        m_clock.now += ms;
        events([] { return false; }, 0);
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        QCoreApplication::processEvents();
    }
    size_t files(const char* folder) const {
        const auto it = std::filesystem::directory_iterator(m_dir.path() / folder);
        return static_cast<size_t>(std::distance(begin(it), end(it)));
    }
    QString lastToast() const {
        const auto& toasts = NotifyManager::instance()->Toasts();
        return toasts.isEmpty() ? QString() : toasts.back()->TextLabel()->text();
    }
    QList<QWidget*> items() const { return m_panel->findChildren<QWidget*>("AlarmItem"); }

    CalorviewTest::TempDir m_dir;
    std::map<std::string, QString> m_folder;
    std::string m_scenario = m_dir.file("camera.json");
    CalorviewTest::ManualTickClock m_clock{100000};
    CalorviewTest::FakeDiskSpace m_disk;
    std::unique_ptr<AlarmWindow> m_panel;
};

TEST_F(AlarmActions, BurstWhileTheGuiIsBusyGivesOnePushAndAdvancesTheCounter) {
    SettingStore::instance().setAlarmRecordEnabled(false);
    QSignalSpy pushes(m_panel.get(), &AlarmWindow::pushAlarm);
    const int before = AlarmWindow::AlarmSnapshotCounter();
    const int32_t word = 385;
    for (int i = 0; i < 100; ++i) {  // no event is processed meanwhile
        m_panel->OnAlarmFrame(&word, " 20261207_09:15 01 ", "2026-12-07 09:15:01", 0, 1);
    }
    EXPECT_EQ(pushes.count(), 1);
    EXPECT_EQ(AlarmWindow::AlarmSnapshotCounter(), before + 100);
    // Trimmed, spaces to "_", colons removed: in the file name only, never the folder.
    EXPECT_EQ(pushes[0][0].toString(), m_folder["AlarmImages"] + "/Alarm_20261207_0915_01_" +
                                           QString::number(before) + ".png");
    EXPECT_DOUBLE_EQ(pushes[0][3].toDouble(), 38.5);
    events([&] { return items().size() == 1; });
    EXPECT_EQ(m_panel->SoundStarts(), 1) << "one sound request, not a backlog of 100";
    // Alarms off: alarm frames do nothing at all.
    m_panel->DisableAlarm();
    m_panel->OnAlarmFrame(&word, "20261207_091502", "2026-12-07 09:15:02", 0, 1);
    EXPECT_EQ(AlarmWindow::AlarmSnapshotCounter(), before + 100);
    EXPECT_EQ(pushes.count(), 1);
}

TEST_F(AlarmActions, ItemsShowTheAlarmAndTheListKeepsSixtyFive) {
    SettingStore::instance().setAlarmRecordEnabled(false);
    alarm(36.5, 1);
    ASSERT_EQ(items().size(), 1);
    QWidget* first = items()[0];
    const QString path = first->property("path").toString();
    EXPECT_FALSE(QFileInfo(path).fileName().startsWith('.'));
    EXPECT_TRUE(QFileInfo::exists(path));
    const auto labels = first->findChildren<QLabel*>();
    ASSERT_EQ(labels.size(), 4);
    EXPECT_EQ(labels[0]->objectName(), "ShowTime");
    EXPECT_EQ(labels[0]->text(), "2026-12-07 09:15:00");
    EXPECT_EQ(labels[1]->geometry(), QRect(10, 29, 80, 106));
    EXPECT_EQ(labels[1]->pixmap().size(), QSize(80, 100));
    // The thumbnail comes from memory; it must be the saved file's picture all the same.
    const QImage fromFile = QImage(path)
                                .scaled(80, 100, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                                .convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(labels[1]->pixmap().toImage().convertToFormat(QImage::Format_RGB32), fromFile);
    EXPECT_EQ(labels[3]->text(), QString("36.5") + QChar(0x2109));
    // The same name again: a new file beside the first, never over it.
    alarm();
    ASSERT_EQ(items().size(), 2);
    EXPECT_NE(items()[0]->property("path").toString(), items()[1]->property("path").toString());
    for (int i = 0; i < 64; ++i) {
        alarm();
    }
    events([&] { return items().size() == 65; });
    EXPECT_EQ(items().size(), 65);
    QStringList shown;
    for (QWidget* item : items()) {
        shown << item->property("path").toString();
    }
    EXPECT_FALSE(shown.contains(path)) << "the oldest alarm left the list";
    EXPECT_EQ(shown.removeDuplicates(), 0);
    // Its item was reused for the newest, on top.
    EXPECT_EQ(first->geometry(), QRect(10, 0, 256, 140));
    EXPECT_EQ(first->findChildren<QLabel*>().size(), 4);
    EXPECT_EQ(m_panel->findChild<QWidget*>("AlarmList")->height(), 65 * 150);
    EXPECT_EQ(files("AlarmImages"), 66u) << "each alarm's file, and nothing else";
}

TEST_F(AlarmActions, ValueTextCarriesTheUnit) {
    const struct {
        double temp;
        int kind;
        QString text;
    } cases[] = {{30, 0, QString("30") + QChar(0x2103)},
                 {0x12C / 10.0, 2, "30K"},
                 {36.5, 1, QString("36.5") + QChar(0x2109)},
                 {300.2, 2, "300.2K"},
                 {-1.25, 7, QString("-1.25") + QChar(0x2103)}};
    for (const auto& c : cases) {
        EXPECT_EQ(AlarmWindow::ValueText(c.temp, c.kind), c.text);
    }
}

TEST_F(AlarmActions, SoundRestartsAfterThreeSecondsAndLoopsMapOntoTheEffect) {
    // A file that cannot be played: the effect fails at once and never stays "playing".
    m_panel->SetAlarmSoundFile(QString::fromStdString(m_dir.file("missing.wav")));
    m_panel->PlayAlarmSound();
    EXPECT_EQ(m_panel->SoundStarts(), 1) << "kept also when the file cannot be played";
    ASSERT_TRUE(events([&] { return !m_panel->AlarmSound()->isPlaying(); }));
    m_clock.now += 2999;
    m_panel->PlayAlarmSound();
    EXPECT_EQ(m_panel->SoundStarts(), 1);
    m_clock.now += 1;
    m_panel->PlayAlarmSound();
    EXPECT_EQ(m_panel->SoundStarts(), 2);
    const std::pair<int, int> loopCounts[] = {
        {-1, QSoundEffect::Infinite}, {0, 1}, {-5, 1}, {1, 1}, {3, 3}};
    for (const auto& [stored, loops] : loopCounts) {
        EXPECT_EQ(AlarmWindow::LoopCountFor(stored), loops) << stored;
    }
}

TEST_F(AlarmActions, AlarmRecordingEndsFiveSecondsAfterTheLastAlarm) {
    alarm();
    ASSERT_TRUE(m_panel->IsRecording());
    EXPECT_EQ(files("AlarmRecords"), 1u);
    EXPECT_EQ(files("Records"), 0u);
    advance(3000);
    alarm();  // keeps it alive
    // Turning alarms off ignores alarm frames, but quiet frames still end the recording.
    m_panel->DisableAlarm();
    advance(4999);
    EXPECT_TRUE(m_panel->IsRecording());
    advance(1);
    EXPECT_FALSE(m_panel->IsRecording());
    EXPECT_EQ(lastToast(), "Recording finished!");
}

TEST_F(AlarmActions, EightMinutesEndAnAlarmRecordingAndSplitAManualOne) {
    alarm();
    ASSERT_TRUE(m_panel->IsRecording());
    for (int i = 0; i < 120; ++i) {  // an alarm every 4 s keeps the hold from ending it
        advance(4000);
        alarm();
    }
    ASSERT_TRUE(m_panel->IsRecording()) << "exactly 480000 ms is not more";
    advance(1);
    EXPECT_FALSE(m_panel->IsRecording());

    auto* record = m_panel->findChild<QPushButton*>("RecordButton");
    record->click();
    ASSERT_TRUE(m_panel->IsRecording());
    advance(480001);
    EXPECT_TRUE(m_panel->IsRecording()) << "a manual recording goes on...";
    EXPECT_EQ(lastToast(), "Recording Start!");
    SC_WaitFinished();
    EXPECT_EQ(files("Records"), 2u) << "...in a second file";
}

TEST_F(AlarmActions, SnapshotsOffStillRecordAndAddNoItem) {
    SettingStore::instance().setAlarmSnapshotEnabled(false);
    alarm();
    EXPECT_TRUE(m_panel->IsRecording());
    EXPECT_TRUE(items().isEmpty());
    EXPECT_EQ(files("AlarmImages"), 0u);
}

// Past the second's share an alarm goes without snapshot and item, but still records.
TEST_F(AlarmActions, SnapshotsPerSecondSkipsTheSnapshotNotTheRecording) {
    SettingStore::instance().setAlarmSnapshotsPerSecond(2);
    for (int i = 0; i < 3; ++i) {
        alarm();
    }
    EXPECT_TRUE(m_panel->IsRecording());
    EXPECT_EQ(items().size(), 2);
    EXPECT_EQ(files("AlarmImages"), 2u);
    m_clock.now += 1000;
    alarm();
    EXPECT_EQ(items().size(), 3) << "a new second, a new share";
}

TEST_F(AlarmActions, AfterAnAlarmRecordingFailsOrEndsRecordIsManual) {
    auto* record = m_panel->findChild<QPushButton*>("RecordButton");
    // The alarm's start fails (its folder is missing), then the user records.
    std::filesystem::remove(m_folder["AlarmRecords"].toStdString());
    alarm();
    EXPECT_FALSE(m_panel->IsRecording());
    EXPECT_EQ(lastToast(), "Recording failed!");
    std::filesystem::create_directory(m_folder["AlarmRecords"].toStdString());
    record->click();
    EXPECT_TRUE(m_panel->IsRecording());
    advance(0);  // a few frames: a recording without any leaves no file
    record->click();
    SC_WaitFinished();
    EXPECT_EQ(files("AlarmRecords"), 0u);
    EXPECT_EQ(files("Records"), 1u);
    // An alarm recording stopped by the user within the hold; the next press records manually
    // and is not ended by the hold.
    alarm();
    ASSERT_TRUE(m_panel->IsRecording());
    advance(1000);
    record->click();
    record->click();
    ASSERT_TRUE(m_panel->IsRecording());
    advance(6000);
    EXPECT_TRUE(m_panel->IsRecording());
    record->click();
    SC_WaitFinished();
    EXPECT_EQ(files("AlarmRecords"), 1u);
    EXPECT_EQ(files("Records"), 2u);
}

TEST_F(AlarmActions, AFullSnapshotDiskStopsOnlyARecordingOnTheSameDisk) {
    m_disk.otherDisk = m_folder["AlarmImages"].toStdString();
    m_disk.otherDiskBytes = (uint64_t{5} << 30) - 1;
    for (int i = 0; i < 3; ++i) {
        alarm();
        EXPECT_EQ(lastToast(), "DiskFreeSpace Not Enough");
        EXPECT_TRUE(m_panel->IsRecording()) << "the recordings' disk has room";
    }
    EXPECT_EQ(files("AlarmRecords"), 1u) << "one recording, not one per alarm";
    EXPECT_TRUE(items().isEmpty());
}

TEST_F(AlarmActions, LowDiskRefusesSnapshotsAndStopsTheRecording) {
    auto* grab = m_panel->findChild<QPushButton*>("GrabButton");
    grab->click();
    EXPECT_EQ(lastToast(), "Snapshot succeed!");
    EXPECT_EQ(files("Snapshot"), 1u);
    m_panel->findChild<QPushButton*>("RecordButton")->click();
    ASSERT_TRUE(m_panel->IsRecording());
    m_disk.bytes = (uint64_t{5} << 30) - 1;
    grab->click();
    EXPECT_EQ(lastToast(), "Recording finished!") << "the running recording is stopped";
    EXPECT_FALSE(m_panel->IsRecording());
    EXPECT_EQ(files("Snapshot"), 1u);
    alarm();
    EXPECT_EQ(lastToast(), "DiskFreeSpace Not Enough");
    EXPECT_TRUE(items().isEmpty());
    m_disk.bytes = uint64_t{5} << 30;
    std::filesystem::remove_all(m_folder["Snapshot"].toStdString());
    grab->click();
    EXPECT_EQ(lastToast(), "Snapshot failed!");
}

TEST_F(AlarmActions, ViewerOfAnItemPushedOutWhileOpenIsSafe) {
    SettingStore::instance().setAlarmRecordEnabled(false);
    alarm();
    QPointer<QWidget> viewed = items()[0];
    const QString viewedPath = viewed->property("path").toString();
    // While the viewer is open, a continuous alarm pushes its item out of the list; a later turn
    // of the viewer's loop closes it with Escape, as a user does.
    int step = 0;
    bool opened = false;
    QTimer user;
    QObject::connect(&user, &QTimer::timeout, [&] {
        auto* view = qobject_cast<ImageView*>(QApplication::activeModalWidget());
        if (view == nullptr) {
            return;
        }
        if (step == 0) {
            opened = view->height() == 120 + 40;
            for (int i = 0; i < 65; ++i) {
                alarm();
            }
        } else if (step == 1) {
            QTest::keyClick(view, Qt::Key_Escape);
        }
        ++step;
    });
    user.start(10);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(viewed, &release);
    ASSERT_TRUE(events([&] { return step >= 2 && QApplication::activeModalWidget() == nullptr; }));
    EXPECT_TRUE(opened);
    ASSERT_FALSE(viewed.isNull()) << "items are reused, never deleted";
    EXPECT_NE(viewed->property("path").toString(), viewedPath) << "it shows the newest alarm";
}

}  // namespace
