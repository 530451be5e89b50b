// The video window's recording: start answers, file names, formats, the encoder instance that
// matches the frames, the hand-over of a size change, which recording a signal belongs to, and
// the key frames at a file's start and after a lost frame. Frames are fed on this thread.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <QDir>
#include <QSignalSpy>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <memory>

#include "client/video/FrameTestSupport.h"
#include "media/PosixFileSink.h"
#include "media/PvfReader.h"
#include "media/StreamConverter.h"
#include "settings/SettingStore.h"
#include "support/FakeDiskSpace.h"
#include "support/Ffprobe.h"
#include "support/FullDiskSink.h"
#include "support/TempDir.h"
#include "support/Wait.h"
#include "video/VideoWindow.h"

namespace {

using CalorviewTest::flatUyvy;

// A real file whose write number `failAt` (from 0) fails once with EIO, a loss the recording
// survives. `writes` counts the writes tried, so the test knows how far the writer thread got.
class FailOnceSink : public Media::PosixFileSink {
public:
    FailOnceSink(int fd, const std::string& path, int failAt, std::atomic<int>* writes)
        : PosixFileSink(fd, path), m_failAt(failAt), m_writes(writes) {}

    static void InstallFor(int failAt, std::atomic<int>* writes) {
        Media::FileSink::InstallFactory([=](const std::string& path, int* error) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            *error = fd < 0 ? errno : 0;
            return std::unique_ptr<Media::FileSink>(
                fd < 0 ? nullptr : new FailOnceSink(fd, path, failAt, writes));
        });
    }

    bool Write(const void* data, size_t size) override {
        if (m_writes->fetch_add(1) == m_failAt) {
            m_failed = true;
            return false;
        }
        return PosixFileSink::Write(data, size);
    }
    int Error() const override { return m_failed ? EIO : PosixFileSink::Error(); }

private:
    int m_failAt;
    std::atomic<int>* m_writes;
    bool m_failed = false;
};

// The key-frame flags of a PVF file's records, in order.
std::vector<bool> keyFlags(const std::string& path) {
    std::string error;
    const std::unique_ptr<Media::PvfReader> reader = Media::PvfReader::Open(path, &error);
    std::vector<bool> flags;
    Media::EncodedFrame frame;
    while (reader && reader->Next(&frame)) {
        flags.push_back(frame.keyFrame);
    }
    return flags;
}

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
        Media::FileSink::InstallFactory({});
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

// A failure or size change still queued when the next recording starts (the 8-minute split, a
// size restart) belongs to the recording before: the owner can tell it from the running one's.
TEST_F(RecordingTest, SignalsOfAnEarlierRecordingAreToldFromTheRunningOnes) {
    QSignalSpy failed(m_window.get(), &VideoWindow::recordingFailed);
    QSignalSpy sizeChanged(m_window.get(), &VideoWindow::recordingSizeChanged);
    CalorviewTest::FullDiskSink::InstallFor(0);
    frames(1);
    ASSERT_EQ(m_window->StartRecord(false), 1);
    // The hand-over after the writer thread met the full disk tells of it.
    ASSERT_TRUE(CalorviewTest::waitUntil([&] {
        frames(1);
        return failed.count() == 1;
    }));
    const quint64 first = failed[0][0].value<quint64>();
    EXPECT_TRUE(m_window->IsCurrentRecording(first));
    m_window->StopRecord();
    Media::FileSink::InstallFactory({});
    ASSERT_EQ(m_window->StartRecord(false), 1);
    EXPECT_FALSE(m_window->IsCurrentRecording(first)) << "it must not end the next recording";

    frames(1, 240, 320);
    ASSERT_EQ(sizeChanged.count(), 1);
    const quint64 second = sizeChanged[0][0].value<quint64>();
    EXPECT_TRUE(m_window->IsCurrentRecording(second));
    m_window->StopRecord();
    EXPECT_FALSE(m_window->IsCurrentRecording(second)) << "none is running";
}

// A write that saw the recording flag before a stop can take the recording lock while the next
// recording creates its file, after its encoder opened and before its container is set. That
// write must leave the new encoder alone, so the new file still starts with its key frame.
TEST_F(RecordingTest, AWriteCaughtBetweenStopAndStartLeavesTheNewFileItsKeyFrame) {
    SettingStore::instance().setRecordType(1);
    frames(1);
    ASSERT_EQ(m_window->StartRecord(false), 1);
    frames(3);
    m_window->StopRecord();
    Media::FileSink::InstallFactory([this](const std::string& path, int* error) {
        m_window->WriteRecordFrame();  // the late write, while StartRecord creates the file
        return Media::PosixFileSink::Open(path, error);
    });
    ASSERT_EQ(m_window->StartRecord(false), 1);
    Media::FileSink::InstallFactory({});
    frames(3);
    m_window->StopRecord();
    SC_WaitFinished();
    const std::vector<bool> flags = keyFlags(record("20261207_081500_1.pvf"));
    ASSERT_EQ(flags.size(), 3u);
    EXPECT_TRUE(flags[0]) << "the file must start where a player can";
}

// A lost frame is one the next frames refer to: the encoder starts afresh with a key frame as
// soon as the loss is known, not at the next second.
TEST_F(RecordingTest, AfterALostFrameTheNextEncodedFrameIsAKeyFrame) {
    SettingStore::instance().setRecordType(1);
    std::atomic<int> writes{0};
    FailOnceSink::InstallFor(2, &writes);
    frames(1);
    ASSERT_EQ(m_window->StartRecord(false), 1);
    for (int i = 0; i < 6; ++i) {
        frames(1);
        ASSERT_TRUE(CalorviewTest::waitUntil([&] { return writes >= i + 1; }));
    }
    m_window->StopRecord();
    SC_WaitFinished();
    // Frame 2's write fails. Frame 3's hand-over tells of it, after frame 3 was encoded, so
    // frame 4 is the first that can start afresh.
    const std::vector<bool> flags = keyFlags(record("20261207_081500.pvf"));
    ASSERT_EQ(flags.size(), 5u);
    EXPECT_TRUE(flags[3]) << "frame 4, the first encoded after the loss was told";
}

}  // namespace

namespace {

class PreAlarmTest : public RecordingTest {
protected:
    void SetUp() override {
        RecordingTest::SetUp();
        SettingStore::instance().setRecordType(1);  // PVF: its records tell their key frames
        SettingStore::instance().setAlarmRecordsPath(QString::fromStdString(m_records.string()));
        SettingStore::instance().setPreAlarmSeconds(3);
    }
    void TearDown() override {
        SettingStore::instance().setPreAlarmSeconds(0);
        SettingStore::instance().setAlarmRecordEnabled(true);
        RecordingTest::TearDown();
    }
    size_t held() const {
        size_t frames = 0, bytes = 0, capacity = 0;
        m_window->PreAlarmHeld(&frames, &bytes, &capacity);
        return frames;
    }
};

// The frames before an alarm lead its file, and the live ones continue their stream: one key
// frame at the head, none added at the alarm. After the stop the holding starts again at once.
TEST_F(PreAlarmTest, AnAlarmRecordingBeginsWithTheHeldFramesAndGoesOnInTheirStream) {
    frames(10);
    EXPECT_EQ(held(), 10u);
    ASSERT_EQ(m_window->StartRecord(true), 1);
    EXPECT_EQ(held(), 0u) << "moved into the file";
    frames(5);
    m_window->StopRecord();
    frames(4);
    EXPECT_EQ(held(), 4u) << "the encoder stayed open and made a key frame for the new start";
    ASSERT_EQ(m_window->StartRecord(true), 1);
    frames(2);
    m_window->StopRecord();
    SC_WaitFinished();

    std::vector<bool> expected(15, false);
    expected[0] = true;
    EXPECT_EQ(keyFlags(record("20261207_081500.pvf")), expected);
    expected.resize(6);
    EXPECT_EQ(keyFlags(record("20261207_081500_1.pvf")), expected);
}

// What empties the held frames, and what a manual recording makes of them: nothing, its file
// starts at the button with a key frame of its own.
TEST_F(PreAlarmTest, ManualRecordingsSizeChangesAndTheSettingsDropTheHeldFrames) {
    frames(10);
    ASSERT_EQ(m_window->StartRecord(false), 1);
    EXPECT_EQ(held(), 0u);
    frames(3);
    m_window->StopRecord();
    SC_WaitFinished();
    EXPECT_EQ(keyFlags(record("20261207_081500.pvf")), (std::vector<bool>{true, false, false}));

    frames(6);
    frames(2, 240, 320);
    EXPECT_EQ(held(), 2u) << "a new size, a new encoder, a new start";
    int width = 0, height = 0;
    m_window->EncoderSize(&width, &height);
    EXPECT_EQ(std::make_pair(width, height), std::make_pair(240, 320));

    SettingStore::instance().setAlarmRecordEnabled(false);
    frames(1, 240, 320);
    EXPECT_EQ(held(), 0u) << "no alarm recording, nothing to hold";
    SettingStore::instance().setAlarmRecordEnabled(true);
    frames(3, 240, 320);
    EXPECT_EQ(held(), 3u);
    SettingStore::instance().setPreAlarmSeconds(0);
    frames(1, 240, 320);
    EXPECT_EQ(held(), 0u);
}

}  // namespace
