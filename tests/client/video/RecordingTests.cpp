// The video window's recording: start answers, file names, formats, the encoder instance that
// matches the frames, and the hand-over of a size change. Frames are fed on this thread.
#include <gtest/gtest.h>

#include <QDir>
#include <QSignalSpy>
#include <filesystem>
#include <memory>

#include "client/video/FrameTestSupport.h"
#include "media/StreamConverter.h"
#include "settings/SettingStore.h"
#include "support/FakeDiskSpace.h"
#include "support/Ffprobe.h"
#include "support/TempDir.h"
#include "video/VideoWindow.h"

namespace {

using CalorviewTest::flatUyvy;

class RecordingTest : public testing::Test {
protected:
    void SetUp() override {
        SettingStore::instance().setPath(QString::fromStdString(m_dir.file("kvs.ini")));
        std::filesystem::create_directory(m_records);
        SettingStore::instance().setRecordPath(QString::fromStdString(m_records.string()));
        SettingStore::instance().setAlarmRecordsPath(QString::fromStdString(m_dir.file("absent")));
        SettingStore::instance().setRecordType(0);
    }
    void TearDown() override {
        m_window.reset();
        SC_WaitFinished();
    }
    void frames(int count, int width = 480, int height = 640,
                const char* fileTime = "20261207_081500") {
        const auto picture = flatUyvy(width, height, 90);
        for (int i = 0; i < count; ++i) {
            m_window->OnFrame(picture.data(), width, height, 0, fileTime,
                              CaptureTime{26, 12, 7, 8, 15, 0});
        }
    }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_records)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string record(const std::string& name) const { return (m_records / name).string(); }

    CalorviewTest::TempDir m_dir;
    std::filesystem::path m_records = m_dir.path() / "Records";
    CalorviewTest::FakeDiskSpace m_disk;
    std::unique_ptr<VideoWindow> m_window = std::make_unique<VideoWindow>();
};

TEST_F(RecordingTest, StartAnswersByFreeSpaceFolderAndFirstFrame) {
    EXPECT_EQ(m_window->StartRecord(false), 0) << "no frame yet, so no name for the file";
    frames(1);
    const uint64_t fiveGiB = uint64_t{5} << 30;
    m_disk.bytes = fiveGiB - 1;
    EXPECT_EQ(m_window->StartRecord(false), 2);
    EXPECT_FALSE(m_window->IsRecording());
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(m_window->StartRecord(true), 2) << "the alarm folder is asked too";
    m_disk.answers = false;  // a folder that cannot be asked is not refused for space...
    EXPECT_EQ(m_window->StartRecord(true), 0) << "...but a missing folder fails the open";
    m_disk.answers = true;
    m_disk.bytes = fiveGiB;
    EXPECT_EQ(m_window->StartRecord(false), 1);
    EXPECT_TRUE(m_window->IsRecording());
    m_window->StopRecord();
    EXPECT_FALSE(m_window->IsRecording());
}

TEST_F(RecordingTest, RecordTypeChoosesTheContainerAndTakenNamesGetSuffixes) {
    frames(1);
    CalorviewTest::writeFile(record("20261207_081500_1.mp4"), "someone else's");
    const struct {
        int type;
        const char* expected;
    } cases[] = {{0, "20261207_081500.mp4"},
                 {1, "20261207_081500.pvf"},
                 {2, "20261207_081500_2.mp4"},
                 {1, "20261207_081500_1.pvf"}};
    for (const auto& c : cases) {
        SettingStore::instance().setRecordType(c.type);
        ASSERT_EQ(m_window->StartRecord(false), 1);
        frames(3);
        m_window->StopRecord();
        SC_WaitFinished();
        EXPECT_TRUE(std::filesystem::exists(record(c.expected))) << c.expected;
    }
    EXPECT_EQ(CalorviewTest::readFile(record("20261207_081500_1.mp4")), "someone else's");
    EXPECT_EQ(CalorviewTest::probedFrames(record("20261207_081500.mp4")), 3);
}

TEST_F(RecordingTest, EncoderAlwaysMatchesTheFrames) {
    int width = 0, height = 0;
    m_window->EncoderSize(&width, &height);
    EXPECT_EQ(std::make_pair(width, height), std::make_pair(480, 640)) << "opened in advance";

    // A smaller camera: a new instance, never the 480 x 640 one reading past the picture.
    frames(1, 240, 320);
    ASSERT_EQ(m_window->StartRecord(false), 1);
    m_window->EncoderSize(&width, &height);
    EXPECT_EQ(std::make_pair(width, height), std::make_pair(240, 320));
    frames(5, 240, 320);

    // The frames change size mid-recording: the owner hears it once and restarts.
    QSignalSpy sizeChanged(m_window.get(), &VideoWindow::recordingSizeChanged);
    frames(4, 480, 640);
    QCoreApplication::processEvents();
    EXPECT_EQ(sizeChanged.count(), 1);
    m_window->StopRecord();
    ASSERT_EQ(m_window->StartRecord(false), 1);
    frames(6, 480, 640);
    m_window->StopRecord();
    SC_WaitFinished();

    const auto first = CalorviewTest::probeVideo(record("20261207_081500.mp4"));
    EXPECT_EQ(first.at("width") + "x" + first.at("height"), "240x320");
    EXPECT_EQ(first.at("nb_read_frames"), "5");
    // Named by the same camera second, so the next free name.
    const auto second = CalorviewTest::probeVideo(record("20261207_081500_1.mp4"));
    EXPECT_EQ(second.at("width") + "x" + second.at("height"), "480x640");
    EXPECT_EQ(second.at("nb_read_frames"), "6");
}

}  // namespace
