// The capture thread feeds frames whose size keeps changing while the GUI thread copies
// snapshots, asks whether the stream is alive and paints: every copy must be one whole frame of
// one size, and every paint must see one whole picture.
#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <thread>

#include "client/video/FrameTestSupport.h"
#include "media/StreamConverter.h"
#include "settings/SettingStore.h"
#include "support/FakeDiskSpace.h"
#include "support/Ffprobe.h"
#include "support/TempDir.h"
#include "video/D3DVideoRenderer.h"
#include "video/FrameFacts.h"
#include "video/VideoWindow.h"

using CalorviewTest::flatUyvy;

namespace {

// Two sizes, each with its own flat grey, so a torn or mixed copy shows.
struct Shape {
    int width, height;
    unsigned char y;
};
constexpr Shape kShapes[] = {{64, 48, 40}, {32, 96, 200}};

bool isWholeFrame(const std::vector<unsigned char>& copy, int width, int height) {
    if (width == 0 && copy.empty()) {
        return true;  // before the first frame
    }
    for (const Shape& shape : kShapes) {
        if (width == shape.width && height == shape.height &&
            copy.size() == static_cast<size_t>(width) * height * 2) {
            // A buffer just replaced for a new size is zero until the next copy into it.
            return copy == flatUyvy(width, height, shape.y) ||
                   std::all_of(copy.begin(), copy.end(), [](unsigned char b) { return b == 0; });
        }
    }
    return false;
}

TEST(VideoWindowThreadedTest, SnapshotsAndPaintsSeeWholeFramesWhileTheSizeChanges) {
    VideoWindow window;
    // Small enough that Qt paints on this thread alone: above about a hundred rows its raster
    // engine spreads a scaled picture over a thread pool that ThreadSanitizer cannot see into.
    window.resize(120, 80);
    window.show();
    window.StartVideo();
    std::atomic<bool> done{false};
    std::atomic<int> checks{0};  // the capture thread goes on until the GUI side did its share
    std::thread capture([&] {
        const std::vector<unsigned char> pictures[] = {
            flatUyvy(kShapes[0].width, kShapes[0].height, kShapes[0].y),
            flatUyvy(kShapes[1].width, kShapes[1].height, kShapes[1].y)};
        for (int i = 0; i < 600 || (checks < 200 && i < 1000000); ++i) {
            const Shape& shape = kShapes[(i / 3) % 2];
            VideoWindow::VideoFrameConsumer(pictures[(i / 3) % 2].data(), shape.width, shape.height,
                                            &window, i % 2, "20200717_123456", 20, 7, 17, 12, 34,
                                            i % 60);
            if (i % 5 == 0) {
                window.CopyFrameForSnapshot();  // as the alarm intake does
            }
        }
        done = true;
    });

    std::vector<unsigned char> copy;
    while (!done) {
        char time[32] = {};
        window.CopyFrameForSnapshot(time);
        int width = 0, height = 0;
        window.SnapshotCopy(&copy, &width, &height);
        ASSERT_TRUE(isWholeFrame(copy, width, height)) << width << "x" << height;
        ASSERT_TRUE(std::string(time).empty() || std::string(time) == "20200717_123456");
        window.IsStillRecvYUV();
        // Paints synchronously; the posted events wait until the capture thread is done, since
        // Qt's own event queue is invisible to ThreadSanitizer (Qt is not instrumented).
        window.repaint();
        ++checks;
    }
    capture.join();
    QApplication::processEvents();

    const QImage shot = window.grab().toImage();
    const QRgb centre = shot.pixel(60, 40);
    EXPECT_TRUE(centre == qRgb(40, 40, 40) || centre == qRgb(200, 200, 200));
    EXPECT_GE(checks, 200);
    EXPECT_GT(D3DVideoRenderer::instance()->GetStats().shown, 0u);
}

// A camera's streaming thread: a 480 x 640 frame for `window` every 2 ms until stopped.
class FrameFeeder {
public:
    explicit FrameFeeder(VideoWindow* window)
        : m_thread([this, window] {
              const std::vector<unsigned char> picture = flatUyvy(480, 640, 120);
              while (!m_done) {
                  VideoWindow::VideoFrameConsumer(picture.data(), 480, 640, window, 0,
                                                  "20261207_090000", 26, 12, 7, 9, 0, 0);
                  ++m_delivered;
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          }) {}
    ~FrameFeeder() { Stop(); }
    FrameFeeder(const FrameFeeder&) = delete;
    FrameFeeder& operator=(const FrameFeeder&) = delete;

    // Returns once `count` more frames have been delivered.
    void WaitFrames(int count) const {
        const int before = m_delivered;
        while (m_delivered < before + count) {
            std::this_thread::yield();
        }
    }
    void Stop() {
        m_done = true;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

private:
    std::atomic<bool> m_done{false};
    std::atomic<int> m_delivered{0};
    std::thread m_thread;  // last: starts once the counters exist
};

// Recordings start and stop on this thread while frames keep arriving on another: a stop waits
// for the frame being encoded, and every file is whole.
TEST(VideoWindowThreadedTest, RecordingsStartAndStopWhileFramesArrive) {
    CalorviewTest::TempDir dir;
    CalorviewTest::FakeDiskSpace disk;
    SettingStore::instance().setPath(QString::fromStdString(dir.file("kvs.ini")));
    SettingStore::instance().setRecordPath(QString::fromStdString(dir.path().string()));
    VideoWindow window;
    FrameFeeder capture(&window);
    capture.WaitFrames(1);
    for (int i = 0; i < 6; ++i) {
        SettingStore::instance().setRecordType(i % 2);
        ASSERT_EQ(window.StartRecord(false), 1);
        capture.WaitFrames(5);
        window.StopRecord();
    }
    capture.Stop();
    SC_WaitFinished();
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.path().extension() == ".mp4") {
            EXPECT_GE(CalorviewTest::probedFrames(entry.path().string()), 4) << entry.path();
            ++files;
        } else if (entry.path().extension() == ".pvf") {
            EXPECT_GT(std::filesystem::file_size(entry.path()), 1000u);
            ++files;
        }
    }
    EXPECT_EQ(files, 6);
}

// With pre-alarm seconds, the capture thread encodes into the ring while this thread starts
// alarm recordings (which take the ring over) and stops them (after which the ring refills):
// every file begins with the frames held before its start and plays.
TEST(VideoWindowThreadedTest, AlarmRecordingsTakeOverThePreAlarmFramesWhileFramesArrive) {
    CalorviewTest::TempDir dir;
    CalorviewTest::FakeDiskSpace disk;
    SettingStore::instance().setPath(QString::fromStdString(dir.file("kvs.ini")));
    SettingStore::instance().setAlarmRecordsPath(QString::fromStdString(dir.path().string()));
    SettingStore::instance().setRecordType(0);
    SettingStore::instance().setPreAlarmSeconds(1);
    VideoWindow window;
    FrameFeeder capture(&window);
    for (int i = 0; i < 4; ++i) {
        capture.WaitFrames(12);
        size_t frames = 0, bytes = 0, capacity = 0;
        window.PreAlarmHeld(&frames, &bytes, &capacity);
        EXPECT_GE(frames, 10u);
        ASSERT_EQ(window.StartRecord(true), 1);
        capture.WaitFrames(5);
        window.StopRecord();
    }
    capture.Stop();
    SettingStore::instance().setPreAlarmSeconds(0);
    SC_WaitFinished();
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        if (entry.path().extension() == ".mp4") {
            EXPECT_GE(CalorviewTest::probedFrames(entry.path().string()), 15) << entry.path();
            ++files;
        }
    }
    EXPECT_EQ(files, 4);
}

// Alarm snapshots are saved on their own thread while frames arrive and the intake copies them:
// every save reports a complete file under a name of its own, a window destroyed with a save in
// flight finishes it first, and no temporary file is left.
TEST(VideoWindowThreadedTest, AlarmSnapshotsSaveOnTheirThreadWhileFramesArrive) {
    CalorviewTest::TempDir dir;
    CalorviewTest::FakeDiskSpace disk;
    auto window = std::make_unique<VideoWindow>();
    QObject receiver;
    std::vector<std::string> reported;  // this thread only: the signal is queued
    QObject::connect(window.get(), &VideoWindow::snapshotSaved, &receiver,
                     [&](const QString& file, const QImage& thumbnail) {
                         EXPECT_EQ(thumbnail.size(), QSize(8, 10));
                         reported.push_back(file.toStdString());
                     });
    std::atomic<bool> done{false};
    std::atomic<int> delivered{0};
    std::thread capture([&] {
        const std::vector<unsigned char> picture = flatUyvy(64, 48, 120);
        while (!done) {
            VideoWindow::VideoFrameConsumer(picture.data(), 64, 48, window.get(), 0,
                                            "20261207_090000", 26, 12, 7, 9, 0, 0);
            window->CopyFrameForSnapshot(
                FrameFacts{"20261207_090000", "2026-12-07 09:00:00", 385, 0});
            ++delivered;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    while (delivered == 0) {
        std::this_thread::yield();
    }
    const std::string name = dir.file("Alarm_20261207_090000_0.png");
    constexpr int kSaves = 12;
    for (int i = 0; i < kSaves; ++i) {
        int result = 0;
        // The same name each time; the next request waits for the save before it.
        ASSERT_TRUE(window->StartSnapshotSave(name.c_str(), &result, QSize(8, 10)));
        if (i % 3 == 0) {
            ASSERT_TRUE(window->WaitForSnapshotSave(5000));
            QCoreApplication::processEvents();
        }
    }
    done = true;
    capture.join();
    window.reset();  // the last save is still in flight, or just done
    QCoreApplication::processEvents();

    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        files.insert(entry.path().string());
        EXPECT_EQ(QImage(QString::fromStdString(entry.path().string())).size(), QSize(64, 48))
            << entry.path();
    }
    EXPECT_EQ(files.size(), static_cast<size_t>(kSaves)) << "one file per save, no temporary";
    EXPECT_EQ(std::set<std::string>(reported.begin(), reported.end()), files);
    EXPECT_EQ(reported.size(), static_cast<size_t>(kSaves));
}

}  // namespace
