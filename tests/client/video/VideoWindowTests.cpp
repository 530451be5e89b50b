#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QImage>
#include <QSignalSpy>
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "client/video/FrameTestSupport.h"
#include "media/ColourConversion.h"
#include "media/TimeBurnIn.h"
#include "platform/TickClock.h"
#include "support/FakeDiskSpace.h"
#include "support/ManualTickClock.h"
#include "support/TempDir.h"
#include "video/D3DVideoRenderer.h"
#include "video/DeviceConnectionManager.h"
#include "video/FrameFacts.h"
#include "video/OSDWindow.h"
#include "video/VideoWindow.h"

using CalorviewTest::flatUyvy;

// The file syncs of this process go through here: each is noted with the path of its descriptor,
// and a folder's fsync also with whether g_watched existed at that moment.
namespace {
std::mutex g_syncMutex;
std::vector<std::string> g_syncs;  // guarded by g_syncMutex
std::string g_watched;             // guarded by g_syncMutex

void NoteSync(const char* call, int fd) {
    char path[4096] = {};
    const ssize_t length =
        ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), path, sizeof path - 1);
    std::string note = std::string(call) + " " + std::string(path, std::max<ssize_t>(length, 0));
    std::lock_guard lock(g_syncMutex);
    if (!g_watched.empty() && std::filesystem::is_directory(note.substr(note.find(' ') + 1))) {
        note += std::filesystem::exists(g_watched) ? " (named)" : " (not named yet)";
    }
    g_syncs.push_back(note);
}
}  // namespace

extern "C" __attribute__((visibility("default"))) int fdatasync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fdatasync"));
    NoteSync("fdatasync", fd);
    return real(fd);
}
extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
    static const auto real = reinterpret_cast<int (*)(int)>(::dlsym(RTLD_NEXT, "fsync"));
    NoteSync("fsync", fd);
    return real(fd);
}

namespace {

// A flat frame as a snapshot shows it: RGB, with `timeOfDay` burnt in.
QImage snapshotPicture(int width, int height, unsigned char y, int timeOfDay, unsigned char u = 128,
                       unsigned char v = 128) {
    const auto uyvy = flatUyvy(width, height, y, u, v);
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 3);
    UyvyToRgb24(uyvy.data(), rgb.data(), width, height);
    DrawTimeOnFrame(rgb.data(), width, height, timeOfDay);
    return QImage(rgb.data(), width, height, width * 3, QImage::Format_RGB888).copy();
}

class VideoWindowTest : public testing::Test {
protected:
    void SetUp() override { TickClock::Install(&m_clock); }
    void TearDown() override {
        m_window.reset();
        TickClock::Install(nullptr);
    }
    void frame(int width, int height, unsigned char y, int bShowRect = 0,
               const CaptureTime& time = {20, 7, 17, 12, 34, 56},
               const char* fileTime = "20200717_123456") {
        const auto picture = flatUyvy(width, height, y);
        m_window->OnFrame(picture.data(), width, height, bShowRect, fileTime, time);
    }
    CalorviewTest::ManualTickClock m_clock{0};
    std::unique_ptr<VideoWindow> m_window = std::make_unique<VideoWindow>();
};

TEST_F(VideoWindowTest, BuffersFollowTheFrameSizeAndTheOverlayLearnsIt) {
    int width = -1, height = -1;
    std::vector<unsigned char> snapshot{1};
    m_window->SnapshotCopy(&snapshot, &width, &height);
    EXPECT_TRUE(snapshot.empty());
    EXPECT_EQ(width, 0);

    m_window->resize(400, 600);
    m_window->osdWindow()->FollowParent();
    frame(640, 480, 90);
    m_window->CopyFrameForSnapshot();
    m_window->SnapshotCopy(&snapshot, &width, &height);
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
    EXPECT_EQ(snapshot, flatUyvy(640, 480, 90));
    EXPECT_EQ(m_window->osdWindow()->PictureRect(), QRect(0, 150, 399, 299));

    frame(480, 640, 60);
    m_window->SnapshotCopy(&snapshot, &width, &height);
    EXPECT_EQ(width, 480);
    EXPECT_EQ(snapshot, std::vector<unsigned char>(480 * 640 * 2, 0))
        << "a new size replaces the snapshot buffer too";
    frame(480, 640, 70, 0, {20, 7, 17, 12, 34, 57}, "20200717_123457");
    char time[32] = {};
    m_window->CopyFrameForSnapshot(time);
    EXPECT_STREQ(time, "20200717_123457");
    m_window->SnapshotCopy(&snapshot, &width, &height);
    EXPECT_EQ(snapshot, flatUyvy(480, 640, 70));
    EXPECT_EQ(m_window->osdWindow()->PictureRect(), QRect(0, 33, 399, 532));
}

TEST_F(VideoWindowTest, EachFrameTellsTheOverlayItsClockAndRectangle) {
    QSignalSpy spy(m_window.get(), &VideoWindow::notifyUpdateOSD);
    frame(4, 4, 10, 1, {20, 1, 1, 13, 45, 10});
    frame(4, 4, 10, 0, {20, 1, 1, 0, 0, 59});
    ASSERT_EQ(spy.count(), 2);
    EXPECT_EQ(spy[0][0].toBool(), true);
    EXPECT_EQ(spy[0][1].toBool(), false) << "no recording";
    EXPECT_EQ(spy[0][2].toInt(), 825);
    EXPECT_EQ(spy[1][0].toBool(), false);
    EXPECT_EQ(spy[1][2].toInt(), 0);
    EXPECT_EQ(m_window->TimeOfDay(), 59);
    frame(4, 4, 10, 0, {20, 1, 1, 13, 45, 10});
    EXPECT_EQ(m_window->TimeOfDay(), 49510);
}

TEST_F(VideoWindowTest, StreamIsAliveForTwoSecondsAfterTheLastFrame) {
    const struct {
        uint32_t frameTick;
        uint32_t now;
        bool alive;
    } cases[] = {
        {100000, 100000, true},     {100000, 102000, true},      {100000, 102001, false},
        {0xFFFFFF00u, 0x6D0, true}, {0xFFFFFF00u, 0x6D1, false},  // across the wrap
    };
    m_clock.now = 2000;
    EXPECT_TRUE(m_window->IsStillRecvYUV()) << "before any frame the last tick is 0";
    m_clock.now = 2001;
    EXPECT_FALSE(m_window->IsStillRecvYUV());
    for (const auto& c : cases) {
        m_clock.now = c.frameTick;
        frame(4, 4, 10);
        m_clock.now = c.now;
        EXPECT_EQ(m_window->IsStillRecvYUV(), c.alive) << c.frameTick << " " << c.now;
    }
}

TEST_F(VideoWindowTest, StartVideoBindsTheRendererAndRegistersTheConsumer) {
    EXPECT_EQ(VideoWindow::instance(), m_window.get());
    EXPECT_EQ(m_window->objectName(), "VideoWindow");
    EXPECT_EQ(OSDWindow::instance(), m_window->osdWindow());
    EXPECT_TRUE(m_window->osdWindow()->isHidden());

    D3DVideoRenderer::instance()->Init(nullptr);
    frame(4, 4, 10);  // the failed render rebinds the renderer to this window
    const auto picture = flatUyvy(4, 4, 10);
    EXPECT_TRUE(D3DVideoRenderer::instance()->RenderFrame(picture.data(), 4, 4));

    m_window->StartVideo();
    DeviceConnectionManager* manager = DeviceConnectionManager::instance();
    EXPECT_EQ(manager->FrameConsumerOf(), &VideoWindow::VideoFrameConsumer);
    EXPECT_EQ(manager->FrameUserOf(), m_window.get());
    m_window.reset();
    EXPECT_EQ(VideoWindow::instance(), nullptr);
    EXPECT_EQ(OSDWindow::instance(), nullptr);
    EXPECT_EQ(manager->FrameConsumerOf(), nullptr) << "the destructor unregisters";
    EXPECT_FALSE(D3DVideoRenderer::instance()->RenderFrame(picture.data(), 4, 4))
        << "and releases the renderer";
}

TEST_F(VideoWindowTest, OverlayHidesWithTheWindowAndReturnsOnTheNextUpdate) {
    m_window->resize(320, 240);
    m_window->show();
    OSDWindow* osd = m_window->osdWindow();
    frame(4, 4, 10);
    QApplication::processEvents();
    EXPECT_TRUE(osd->isVisible());
    EXPECT_EQ(osd->geometry(), m_window->rect());

    m_window->hide();
    EXPECT_TRUE(osd->isHidden());
    m_window->show();
    EXPECT_FALSE(osd->isVisible()) << "stays hidden until the next update";
    frame(4, 4, 10);
    QApplication::processEvents();
    EXPECT_TRUE(osd->isVisible());
}

// The window as the user sees it: the picture letterboxed in black bars, under the overlay.
TEST_F(VideoWindowTest, PaintsThePictureLetterboxedBetweenBlackBars) {
    m_window->resize(1280, 670);
    m_window->show();
    m_window->StartVideo();
    frame(480, 640, 200);
    QApplication::processEvents();
    const QImage shot = m_window->grab().toImage();
    ASSERT_EQ(shot.size(), QSize(1280, 670));
    const int y = 500;  // below the clock text
    EXPECT_EQ(shot.pixel(100, y), qRgb(0, 0, 0));
    EXPECT_EQ(shot.pixel(388, y), qRgb(0, 0, 0));
    EXPECT_EQ(shot.pixel(390, y), qRgb(200, 200, 200));
    EXPECT_EQ(shot.pixel(640, y), qRgb(200, 200, 200));
    EXPECT_EQ(shot.pixel(889, y), qRgb(200, 200, 200));
    EXPECT_EQ(shot.pixel(892, y), qRgb(0, 0, 0));
    EXPECT_EQ(shot.pixel(1200, 5), qRgb(0, 0, 0));
}

// The alarm intake copies its alarm frame with its facts, and the GUI saves later: the file
// shows the last frame copied, and its texts and burnt-in time must be that frame's, not those
// of a newer frame. The snapshot button's copy and save, whenever they fall in between, take
// neither the alarm's frame nor its facts, nor give it theirs.
TEST_F(VideoWindowTest, ASnapshotTellsTheFactsAndTimeOfTheFrameItShows) {
    CalorviewTest::TempDir dir;
    CalorviewTest::FakeDiskSpace disk;
    frame(240, 320, 50, 0, {20, 7, 17, 12, 34, 56}, "20200717_123456");
    m_window->CopyFrameForSnapshot(FrameFacts{"20200717_123456", "2020-07-17 12:34:56", 385, 0});
    frame(240, 320, 80, 0, {20, 7, 17, 12, 34, 57}, "20200717_123457");
    m_window->CopyFrameForSnapshot(FrameFacts{"20200717_123457", "2020-07-17 12:34:57", 1031, 1});
    frame(240, 320, 110, 0, {20, 7, 17, 13, 0, 0}, "20200717_130000");
    // The snapshot button between the alarm's copy and its save.
    char time[32] = {};
    m_window->CopyFrameForSnapshot(time);
    frame(240, 320, 140, 0, {20, 7, 17, 13, 0, 1}, "20200717_130001");
    int result = 0;
    ASSERT_TRUE(m_window->StartSnapshotSave(dir.file("alarm.png").c_str(), &result, QSize()));
    ASSERT_TRUE(m_window->WaitForSnapshotSave(5000));
    QImage image(QString::fromStdString(dir.file("alarm.png")));
    const auto text = [&](const char* key) { return image.text(key).toStdString(); };
    EXPECT_EQ(text("Camera time"), "2020-07-17 12:34:57");
    EXPECT_EQ(text("Temperature"), "103.1\u2109");
    EXPECT_EQ(text("Alarm word"), "1031");
    EXPECT_EQ(text("Software").rfind("Calorview ", 0), 0u) << text("Software");
    EXPECT_EQ(image.convertToFormat(QImage::Format_RGB888),
              snapshotPicture(240, 320, 80, 12 * 3600 + 34 * 60 + 57));

    // The snapshot button's copy tells only the frame's own capture time, though an alarm's copy
    // came between it and its save.
    m_window->CopyFrameForSnapshot(FrameFacts{"20200717_130001", "2020-07-17 13:00:01", 990, 0});
    ASSERT_TRUE(m_window->SaveSnapshot(dir.file("manual.png").c_str(), &result));
    image.load(QString::fromStdString(dir.file("manual.png")));
    EXPECT_EQ(text("Camera time"), "20200717_130000");
    EXPECT_EQ(text("Temperature"), "");
    EXPECT_EQ(image.convertToFormat(QImage::Format_RGB888),
              snapshotPicture(240, 320, 110, 13 * 3600));

    // A coloured frame (a palette's) takes the RGB path: the same picture in colour.
    const auto coloured = flatUyvy(240, 320, 100, 90, 170);
    m_window->OnFrame(coloured.data(), 240, 320, 0, "20200717_130002", {20, 7, 17, 13, 0, 2});
    m_window->CopyFrameForSnapshot(time);
    ASSERT_TRUE(m_window->SaveSnapshot(dir.file("palette.png").c_str(), &result));
    image.load(QString::fromStdString(dir.file("palette.png")));
    EXPECT_EQ(image.convertToFormat(QImage::Format_RGB888),
              snapshotPicture(240, 320, 100, 13 * 3600 + 2, 90, 170));
}

// An alarm snapshot is named in the alarm log and the station events once it is reported: its
// data reaches the disk under the temporary name, then its name (the folder's sync, after the
// rename), both before the report.
TEST_F(VideoWindowTest, AnAlarmSnapshotIsOnDiskBeforeItIsReported) {
    CalorviewTest::TempDir dir;
    CalorviewTest::FakeDiskSpace disk;
    const std::string folder = std::filesystem::canonical(dir.path()).string();
    {
        std::lock_guard lock(g_syncMutex);
        g_syncs.clear();
        g_watched = folder + "/Alarm_20200717_123456_0.png";
    }
    frame(240, 320, 50);
    m_window->CopyFrameForSnapshot(FrameFacts{"20200717_123456", "2020-07-17 12:34:56", 385, 0});
    int result = 0;
    ASSERT_TRUE(m_window->StartSnapshotSave((folder + "/Alarm_20200717_123456_0.png").c_str(),
                                            &result, QSize(8, 10)));
    ASSERT_TRUE(m_window->WaitForSnapshotSave(5000));
    std::vector<std::string> syncs;
    {
        std::lock_guard lock(g_syncMutex);
        g_watched.clear();
        for (const std::string& sync : g_syncs) {
            if (sync.find(folder) != std::string::npos) {
                syncs.push_back(sync);
            }
        }
    }
    ASSERT_EQ(syncs.size(), 2u) << testing::PrintToString(syncs);
    EXPECT_EQ(syncs[0].rfind("fdatasync " + folder + "/.Alarm_20200717_123456_0.png.", 0), 0u)
        << syncs[0];
    EXPECT_EQ(syncs[1], "fsync " + folder + " (named)");
}

// A recorded frame's I420 picture, time burnt in, is the one the RGB path gives, whether it
// takes the grey path (flat or noisy luma) or has colour, at the camera's size and a small one.
TEST(RecordedPictureTest, EveryPathBurnsInTheTimeAsTheRgbPathDoes) {
    std::mt19937 random(3);
    std::vector<unsigned char> scratch;
    constexpr int kTime = 23 * 3600 + 59 * 60 + 58;
    for (const auto& [width, height] : {std::pair{480, 640}, std::pair{64, 48}}) {
        for (const int kind : {0, 1, 2}) {  // flat grey, noisy grey, coloured
            auto uyvy = flatUyvy(width, height, 90, kind == 2 ? 100 : 128);
            for (size_t i = 1; kind != 0 && i < uyvy.size(); i += 2) {
                uyvy[i] = static_cast<unsigned char>(random());
            }
            const size_t pixels = static_cast<size_t>(width) * height;
            std::vector<unsigned char> rgb(pixels * 3);
            std::vector<unsigned char> expected(pixels * 3 / 2);
            UyvyToRgb24(uyvy.data(), rgb.data(), width, height);
            DrawTimeOnFrame(rgb.data(), width, height, kTime);
            Rgb24ToI420(expected.data(), rgb.data(), width, height);
            std::vector<unsigned char> i420(pixels * 3 / 2);
            MakeRecordedPicture(i420.data(), uyvy.data(), width, height, kTime, &scratch);
            EXPECT_EQ(i420, expected) << width << "x" << height << ", kind " << kind;
        }
    }
}

// The alarm intake hands its frame to the snapshot buffer by swapping buffers: a copy that
// follows without a new frame in between, or a second alarm copy, must still see that frame.
TEST_F(VideoWindowTest, ACopyAfterTheAlarmsSwapStillSeesTheLatestFrame) {
    CalorviewTest::TempDir dir;
    CalorviewTest::FakeDiskSpace disk;
    const FrameFacts facts{"20200717_123456", "2020-07-17 12:34:56", 385, 0};
    frame(240, 320, 50, 0, {20, 7, 17, 12, 34, 56}, "20200717_123456");
    m_window->CopyFrameForSnapshot(facts);
    frame(240, 320, 80, 0, {20, 7, 17, 12, 34, 57}, "20200717_123457");
    m_window->CopyFrameForSnapshot(facts);
    m_window->CopyFrameForSnapshot(facts);
    char time[32] = {};
    m_window->CopyFrameForSnapshot(time);
    int result = 0;
    ASSERT_TRUE(m_window->SaveSnapshot(dir.file("after-swap.png").c_str(), &result));
    const QImage image(QString::fromStdString(dir.file("after-swap.png")));
    EXPECT_EQ(image.convertToFormat(QImage::Format_RGB888),
              snapshotPicture(240, 320, 80, 12 * 3600 + 34 * 60 + 57));
}

// A snapshot's name may be taken (another run, a camera clock that does not run): the file there
// stays as it was, the new one gets "_1", "_2", ...; a save that cannot be placed leaves nothing,
// and no temporary file ever stays behind.
TEST_F(VideoWindowTest, ASnapshotNeverReplacesAFileNorLeavesAPartialOne) {
    CalorviewTest::TempDir dir;
    CalorviewTest::FakeDiskSpace disk;
    frame(24, 32, 90);
    m_window->CopyFrameForSnapshot();
    CalorviewTest::writeFile(dir.file("shot.png"), "keep");
    CalorviewTest::writeFile(dir.file("plain"), "keep");
    const struct {
        std::string path;
        bool saved;
        std::string written;  // the file that must appear
    } cases[] = {
        {dir.file("shot.png"), true, dir.file("shot_1.png")},
        {dir.file("shot.png"), true, dir.file("shot_2.png")},
        {dir.file("plain"), true, dir.file("plain_1")},
        {dir.file("missing/shot.png"), false, ""},
    };
    for (const auto& c : cases) {
        int result = 0;
        EXPECT_EQ(m_window->SaveSnapshot(c.path.c_str(), &result), c.saved) << c.path;
        EXPECT_EQ(result, 0);
        if (!c.written.empty()) {
            EXPECT_EQ(QImage(QString::fromStdString(c.written)).size(), QSize(24, 32)) << c.written;
        }
    }
    EXPECT_EQ(CalorviewTest::readFile(dir.file("shot.png")), "keep");
    EXPECT_EQ(CalorviewTest::readFile(dir.file("plain")), "keep");
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"plain", "plain_1", "shot.png", "shot_1.png",
                                               "shot_2.png"}));
}

}  // namespace
