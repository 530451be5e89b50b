// The "Record" button against virtual cameras: its states, a camera of another size taking over
// mid-recording, and a disk that fills up.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QPushButton>
#include <cerrno>
#include <filesystem>

#include "alarm/AlarmWindow.h"
#include "media/FileSink.h"
#include "media/StreamConverter.h"
#include "settings/SettingStore.h"
#include "support/FakeDiskSpace.h"
#include "support/Ffprobe.h"
#include "support/FullDiskSink.h"
#include "support/ScenarioFile.h"
#include "support/Wait.h"
#include "video/DeviceConnectionManager.h"
#include "video/VideoWindow.h"

namespace {

DeviceConnectionManager& manager() {
    return *DeviceConnectionManager::instance();
}

// Waits while the GUI thread's queued signals are delivered.
bool waitWithEvents(const std::function<bool()>& condition, int seconds = 10) {
    return CalorviewTest::waitUntil(
        [&] {
            QCoreApplication::processEvents();
            return condition();
        },
        std::chrono::seconds(seconds));
}

class RecordToggle : public testing::Test {
protected:
    void SetUp() override {
        SettingStore::instance().setPath(QString::fromStdString(m_dir.file("kvs.ini")));
        std::filesystem::create_directory(m_records);
        SettingStore::instance().setRecordPath(QString::fromStdString(m_records.string()));
        SettingStore::instance().setRecordType(0);
        CalorviewTest::writeFile(m_big, CalorviewTest::scenarioJson("Big", 480, 640, 25));
        CalorviewTest::writeFile(m_small, CalorviewTest::scenarioJson("Small", 240, 320, 25));
        CalorviewTest::useVirtualCameras({m_big, m_small});
        m_panel.resize(800, 600);
        m_panel.show();
    }
    void TearDown() override {
        manager().DisconnectDev();
        SC_WaitFinished();
        Media::FileSink::InstallFactory(nullptr);
    }
    void connect(int index) {
        ASSERT_TRUE(manager().ConnectToDev(index));
        m_panel.videoWindow()->StartVideo();
        ASSERT_TRUE(waitWithEvents([&] { return m_panel.videoWindow()->IsStillRecvYUV(); }));
    }
    QVariant working() const { return m_record->property("working"); }
    std::vector<std::string> files() const {
        std::vector<std::string> paths;
        for (const auto& entry : std::filesystem::directory_iterator(m_records)) {
            paths.push_back(entry.path().string());
        }
        std::sort(paths.begin(), paths.end());
        return paths;
    }

    CalorviewTest::TempDir m_dir;
    std::filesystem::path m_records = m_dir.path() / "Records";
    std::string m_big = m_dir.file("big.json");
    std::string m_small = m_dir.file("small.json");
    CalorviewTest::FakeDiskSpace m_disk;
    AlarmWindow m_panel;
    QPushButton* m_record = m_panel.findChild<QPushButton*>("RecordButton");
};

TEST_F(RecordToggle, PressesStartAndStopOnlyWhileConnected) {
    m_record->click();
    EXPECT_FALSE(working().isValid()) << "disconnected: nothing happens";
    connect(0);
    m_disk.bytes = (uint64_t{5} << 30) - 1;
    m_record->click();
    EXPECT_FALSE(working().isValid()) << "refused for space: stays idle";
    m_disk.bytes = uint64_t{1} << 40;
    m_record->click();
    EXPECT_EQ(working(), QVariant(true));
    EXPECT_TRUE(m_panel.IsRecording());
    EXPECT_TRUE(m_panel.videoWindow()->IsRecording());
    waitWithEvents([] { return false; }, 1);
    m_record->click();
    EXPECT_EQ(working(), QVariant(false));
    EXPECT_FALSE(m_panel.videoWindow()->IsRecording());
    SC_WaitFinished();
    ASSERT_EQ(files().size(), 1u);
    EXPECT_NEAR(CalorviewTest::probedFrames(files()[0]), 25, 5);
}

TEST_F(RecordToggle, CameraOfAnotherSizeContinuesInASecondFile) {
    connect(0);
    m_record->click();
    waitWithEvents([] { return false; }, 1);
    connect(1);  // 240 x 320 frames now reach the running recording
    ASSERT_TRUE(waitWithEvents([&] { return files().size() == 2; }));
    waitWithEvents([] { return false; }, 1);
    EXPECT_EQ(working(), QVariant(true));
    m_record->click();
    SC_WaitFinished();
    const auto first = CalorviewTest::probeVideo(files()[0]);
    const auto second = CalorviewTest::probeVideo(files()[1]);
    EXPECT_EQ(first.at("width") + "x" + first.at("height"), "480x640");
    EXPECT_EQ(second.at("width") + "x" + second.at("height"), "240x320");
    EXPECT_GT(std::stoi(first.at("nb_read_frames")), 10);
    EXPECT_GT(std::stoi(second.at("nb_read_frames")), 10);
}

TEST_F(RecordToggle, FullDiskEndsTheRecordingAndKeepsWhatWasWritten) {
    connect(0);
    for (const int type : {0, 1}) {
        SettingStore::instance().setRecordType(type);
        CalorviewTest::FullDiskSink::InstallFor(200000);
        m_record->click();
        ASSERT_EQ(working(), QVariant(true));
        // The panel hears of it from the capture thread and ends the recording itself.
        ASSERT_TRUE(waitWithEvents([&] { return working() == QVariant(false); }, 20)) << type;
        EXPECT_FALSE(m_panel.IsRecording());
        EXPECT_FALSE(m_panel.videoWindow()->IsRecording());
        // The picture goes on.
        EXPECT_TRUE(m_panel.videoWindow()->IsStillRecvYUV());
        Media::FileSink::InstallFactory(nullptr);
        SC_WaitFinished();
    }
    const std::vector<std::string> written = files();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_GT(CalorviewTest::probedFrames(written[0]), 0) << written[0];
    EXPECT_LE(std::filesystem::file_size(written[1]), 200000u);
}

}  // namespace
