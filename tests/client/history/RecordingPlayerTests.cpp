// Recordings played in place: MP4 and PVF files made by the recording code's encoder and
// writers, files cut short or damaged, files that are no recording, and the player widget's
// pacing, steps, seeks and teardown.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QKeyEvent>
#include <QRegularExpression>
#include <QSlider>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "history/RecordingDecoder.h"
#include "history/RecordingPlayer.h"
#include "media/AnnexB.h"
#include "media/Mp4Writer.h"
#include "media/PosixFileSink.h"
#include "media/PvfWriter.h"
#include "media/X264Encoder.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using CalorviewTest::TempDir;

constexpr int kWidth = 480;
constexpr int kHeight = 640;
constexpr int kFrames = 50;  // 2 s at 25 a second: key frames at 0 and 1 s
constexpr int64_t kGapUs = 40000;

// Frame n is flat: luma 40 + 3n with a red tint (V 160), so its brightness tells it from its
// neighbours and its channels show order and range. Full-range BT.601, as Rgb24ToI420 writes:
// R = Y + 1.402 (V - 128), G = Y - 0.714 (V - 128), B = Y.
int Luma(int n) {
    return 40 + 3 * n;
}

void ExpectFrame(const QImage& image, int n) {
    ASSERT_EQ(image.size(), QSize(kWidth, kHeight));
    double sum[3] = {};
    for (int y = 0; y < image.height(); y += 8) {
        for (int x = 0; x < image.width(); x += 8) {
            const QRgb pixel = image.pixel(x, y);
            sum[0] += qRed(pixel);
            sum[1] += qGreen(pixel);
            sum[2] += qBlue(pixel);
        }
    }
    const double count = (kWidth / 8) * (kHeight / 8);
    EXPECT_NEAR(sum[0] / count, Luma(n) + 44.9, 2.0) << "red, frame " << n;
    EXPECT_NEAR(sum[1] / count, Luma(n) - 22.8, 2.0) << "green, frame " << n;
    EXPECT_NEAR(sum[2] / count, Luma(n), 1.4) << "blue, frame " << n;
}

enum class Container { kPvf, kMp4, kCrashedMp4 };  // a crashed MP4 stays fragmented

void Record(const std::string& path, Container container, int frames) {
    X264Encoder::Settings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    auto encoder = X264Encoder::Open(settings);
    int error = 0;
    auto sink = Media::PosixFileSink::Open(path, &error);
    ASSERT_TRUE(encoder && sink) << path;
    std::unique_ptr<Media::ContainerWriter> writer;
    if (container == Container::kPvf) {
        writer = std::make_unique<Media::PvfWriter>(std::move(sink), 1765000000);
    } else {
        writer = std::make_unique<Media::Mp4Writer>(std::move(sink), 1765000000);
    }
    std::vector<unsigned char> planes(kWidth * kHeight * 3 / 2);
    std::vector<unsigned char> out(kWidth * kHeight * 2);
    for (int i = 0; i < frames; ++i) {
        unsigned char* y = planes.data();
        std::fill(y, y + kWidth * kHeight, static_cast<unsigned char>(Luma(i)));
        std::fill(y + kWidth * kHeight, y + kWidth * kHeight * 5 / 4, 128);
        std::fill(y + kWidth * kHeight * 5 / 4, y + planes.size(), 160);
        const EncPicture picture{y, y + kWidth * kHeight, y + kWidth * kHeight * 5 / 4, {}};
        const int n = encoder->Encode(picture, out.data(), static_cast<int>(out.size()), i * 40);
        ASSERT_GT(n, 0);
        ASSERT_TRUE(writer->WriteFrame({out.data(), static_cast<size_t>(n), i * kGapUs,
                                        Media::IsKeyFrame(out.data(), static_cast<size_t>(n))}));
    }
    if (container != Container::kCrashedMp4) {
        ASSERT_TRUE(writer->Finish());
    }
}

// The recordings every test reads, made once.
struct Samples {
    TempDir dir;
    std::string pvf = dir.file("20251206_054640.pvf");
    std::string mp4 = dir.file("clip-10:30.mp4");  // a name, never a URL
    std::string crashed = dir.file("crashed.mp4");
    Samples() {
        Record(pvf, Container::kPvf, kFrames);
        Record(mp4, Container::kMp4, kFrames);
        Record(crashed, Container::kCrashedMp4, kFrames + 10);
    }
    // A copy of `from` as `name`, changed by `damage`.
    std::string Damaged(const std::string& from, const std::string& name,
                        const std::function<void(const std::string&)>& damage) const {
        const std::string path = dir.file(name);
        fs::copy_file(from, path, fs::copy_options::overwrite_existing);
        damage(path);
        return path;
    }
};

const Samples& samples() {
    static const Samples instance;
    return instance;
}

void CutInHalf(const std::string& path) {
    fs::resize_file(path, fs::file_size(path) / 2);
}

std::unique_ptr<RecordingDecoder> OpenOrFail(const std::string& path) {
    std::string error;
    auto decoder = RecordingDecoder::Open(path, &error);
    EXPECT_TRUE(decoder) << path << ": " << error;
    return decoder;
}

TEST(RecordingDecoder, PlaysEveryFrameWithItsTimeAndColours) {
    // The crashed MP4 holds the whole fragments written before the crash: 2 of its 2.4 s.
    for (const std::string& path : {samples().pvf, samples().mp4, samples().crashed}) {
        const int frames = kFrames;
        SCOPED_TRACE(path);
        const auto decoder = OpenOrFail(path);
        ASSERT_TRUE(decoder);
        EXPECT_EQ(decoder->FrameCount(), frames);
        EXPECT_EQ(decoder->DurationUs(), frames * kGapUs);
        EXPECT_EQ(decoder->FrameSize(), QSize(kWidth, kHeight));
        EXPECT_EQ(decoder->ErrorText(), "");
        QImage image;
        int64_t us = -1;
        for (int i = 0; i < frames; ++i) {
            ASSERT_TRUE(decoder->Next(&image, &us)) << i;
            EXPECT_EQ(us, i * kGapUs);
            ExpectFrame(image, i);
        }
        EXPECT_FALSE(decoder->Next(&image, &us));
    }
}

TEST(RecordingDecoder, SeeksToTheFrameAtOrAfterATime) {
    // In this order: forward and back, across the key frame at 1 s, past both ends.
    const std::pair<int64_t, int64_t> seeks[] = {
        {1010000, 1040000},
        {40000, 40000},
        {1000000, 1000000},
        {960000, 960000},
        {1960000, 1960000},
        {2000000, -1},
        {-5, 0},
        {1999999, -1},
        {1500000, 1520000},
        {1, 40000},
    };
    for (const std::string& path : {samples().pvf, samples().mp4}) {
        const auto decoder = OpenOrFail(path);
        ASSERT_TRUE(decoder);
        for (const auto& [target, expected] : seeks) {
            SCOPED_TRACE(path + " to " + std::to_string(target));
            QImage image;
            int64_t us = -1;
            EXPECT_EQ(decoder->Seek(target), expected >= 0);
            ASSERT_EQ(decoder->Next(&image, &us), expected >= 0);
            if (expected >= 0) {
                EXPECT_EQ(us, expected);
                ExpectFrame(image, static_cast<int>(us / kGapUs));
            }
        }
    }
}

TEST(RecordingDecoder, DamagedFilesPlayTheirWholeFramesThenSaySo) {
    const auto overwriteMiddle = [](const std::string& path) {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(fs::file_size(path) / 2));
        file << std::string(64, 'x');
    };
    // A frame lost inside the file leaves the next ones until a key frame to concealment: only
    // a cut file's frames are all exact.
    const struct {
        std::string path;
        const char* reason;  // (\\d+): the frames that play
        bool exact;
    } cases[] = {
        {samples().Damaged(samples().pvf, "cut.pvf", CutInHalf),
         "The file ends early: (\\d+) frames playable", true},
        {samples().Damaged(samples().mp4, "cut.mp4", CutInHalf),
         "The file ends early: (\\d+) of 50 frames playable", true},
        {samples().Damaged(samples().crashed, "crashed-cut.mp4", CutInHalf),
         "The file ends early: (\\d+) frames playable", true},
        {samples().Damaged(samples().pvf, "hit.pvf", overwriteMiddle),
         "The file is damaged in places: (\\d+) frames playable", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const auto decoder = OpenOrFail(c.path);
        ASSERT_TRUE(decoder);
        const auto match = QRegularExpression(QString("^") + c.reason + "$")
                               .match(QString::fromStdString(decoder->ErrorText()));
        ASSERT_TRUE(match.hasMatch()) << decoder->ErrorText();
        const int playable = match.captured(1).toInt();
        EXPECT_GT(playable, 0);
        EXPECT_LT(playable, kFrames);
        EXPECT_EQ(decoder->FrameCount(), playable);
        QImage image;
        int64_t us = -1;
        int played = 0;
        while (decoder->Next(&image, &us)) {
            if (c.exact) {
                ExpectFrame(image, static_cast<int>(us / kGapUs));
            }
            ++played;
        }
        EXPECT_EQ(played, playable);
    }
}

TEST(RecordingDecoder, TellsWhyAFileIsNoRecording) {
    const TempDir dir;
    const auto write = [&](const std::string& name, const std::string& bytes) {
        CalorviewTest::writeFile(dir.file(name), bytes);
        return dir.file(name);
    };
    QImage(16, 16, QImage::Format_RGB32).save(QString::fromStdString(dir.file("shot.png")));
    ::mkfifo(dir.file("fifo.mp4").c_str(), 0600);
    const std::string headerOnly = dir.file("empty.pvf");
    int error = 0;
    Media::PvfWriter(Media::PosixFileSink::Open(headerOnly, &error), 0).Finish();
    const std::string pvf = CalorviewTest::readFile(samples().pvf);
    const std::pair<std::string, std::string> cases[] = {
        {dir.file("missing.mp4"), "The file is missing"},
        {dir.file("shot.png"), "Not a recording"},
        {write("text.mp4", "not a recording at all\n"), "Not a recording"},
        {write("zero.mp4", ""), "The recording is empty"},
        {dir.file("fifo.mp4"), "Not a recording (not a regular file)"},
        {dir.path().string(), "Not a recording (not a regular file)"},
        {headerOnly, "The recording holds no playable picture"},
        {write("header.pvf", pvf.substr(0, 20) + "!" + pvf.substr(21)),
         "The recording's header is damaged or of an unknown version"},
    };
    for (const auto& [path, reason] : cases) {
        std::string why;
        EXPECT_EQ(RecordingDecoder::Open(path, &why), nullptr) << path;
        EXPECT_EQ(why, reason) << path;
    }
}

// A player on screen, with what it showed.
struct Watched {
    RecordingPlayer* player = new RecordingPlayer;
    std::vector<int64_t> shown;
    int ended = 0;
    QString failed;
    Watched() {
        QObject::connect(player, &RecordingPlayer::frameShown,
                         [this](qint64 us) { shown.push_back(us); });
        QObject::connect(player, &RecordingPlayer::ended, [this] { ++ended; });
        QObject::connect(player, &RecordingPlayer::failed,
                         [this](const QString& why) { failed = why; });
        player->resize(300, 500);
        player->show();
    }
    ~Watched() { delete player; }
    // Waits for the frame at `us` to be shown last.
    bool Shows(int64_t us) {
        return QTest::qWaitFor([&] { return !shown.empty() && shown.back() == us; }, 5000);
    }
};

TEST(RecordingPlayer, PlaysToTheEndInRealTime) {
    for (const std::string& path : {samples().pvf, samples().mp4}) {
        SCOPED_TRACE(path);
        Watched watched;
        watched.player->Open(QString::fromStdString(path));
        ASSERT_TRUE(watched.Shows(0));
        const auto start = std::chrono::steady_clock::now();
        watched.player->Play();
        EXPECT_TRUE(watched.player->IsPlaying());
        ASSERT_TRUE(QTest::qWaitFor([&] { return watched.ended == 1; }, 10000));
        // Paced by the timestamps: the last frame is 1.96 s after the first.
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1900));
        std::vector<int64_t> expected;
        for (int i = 0; i < kFrames; ++i) {
            expected.push_back(i * kGapUs);
        }
        EXPECT_EQ(watched.shown, expected);
        EXPECT_FALSE(watched.player->IsPlaying());
        EXPECT_EQ(watched.player->PositionText(), "00:02 / 00:02");
        EXPECT_EQ(watched.player->Reason(), "");
        ExpectFrame(watched.player->Picture(), kFrames - 1);
    }
}

TEST(RecordingPlayer, StepsAndSeeksFromKeysAndSeekBar) {
    Watched watched;
    watched.player->Open(QString::fromStdString(samples().mp4));
    ASSERT_TRUE(watched.Shows(0));
    QSlider* seekBar = watched.player->findChild<QSlider*>("PlayerSeek");
    ASSERT_NE(seekBar, nullptr);
    const std::pair<std::function<void()>, int64_t> steps[] = {
        {[&] { QTest::keyClick(watched.player, Qt::Key_Period); }, 40000},
        {[&] { QTest::keyClick(watched.player, Qt::Key_Period); }, 80000},
        {[&] { QTest::keyClick(watched.player, Qt::Key_Comma); }, 40000},
        {[&] { watched.player->Seek(1500000); }, 1520000},
        // Back across the key frame at 1 s, then forward from the seek bar's drag.
        {[&] { watched.player->Step(-14); }, 960000},
        {[&] { seekBar->setSliderPosition(1700); }, 1720000},
        {[&] { QTest::keyClick(watched.player, Qt::Key_Comma); }, 1680000},
    };
    for (const auto& [act, expected] : steps) {
        act();
        ASSERT_TRUE(watched.Shows(expected)) << expected;
    }
    ExpectFrame(watched.player->Picture(), 1680000 / kGapUs);
    EXPECT_EQ(watched.player->PositionText(), "00:01 / 00:02");
    // On screen: scaled into the middle of the picture area (taller than 3:4), black above.
    const QImage screen = watched.player->findChild<QWidget*>("PlayerPicture")->grab().toImage();
    const QRgb middle = screen.pixel(screen.width() / 2, screen.height() / 2);
    EXPECT_NEAR(qBlue(middle), Luma(1680000 / kGapUs), 3);
    EXPECT_NEAR(qRed(middle), Luma(1680000 / kGapUs) + 44.9, 3);
    EXPECT_EQ(screen.pixel(screen.width() / 2, 0), qRgb(0, 0, 0));
    QTest::keyClick(watched.player, Qt::Key_Space);
    EXPECT_TRUE(watched.player->IsPlaying());
    QTest::keyClick(watched.player, Qt::Key_Space);
    EXPECT_FALSE(watched.player->IsPlaying());
    // The arrow keys are the page's.
    QKeyEvent left(QEvent::KeyPress, Qt::Key_Left, Qt::NoModifier);
    QCoreApplication::sendEvent(watched.player, &left);
    EXPECT_FALSE(left.isAccepted());
}

TEST(RecordingPlayer, SaysWhyAFilePlaysOnlyInPartOrNotAtAll) {
    Watched cut;
    const std::string path = samples().Damaged(samples().pvf, "player-cut.pvf", CutInHalf);
    const int64_t playable = OpenOrFail(path)->FrameCount();
    cut.player->Open(QString::fromStdString(path));
    cut.player->Play();
    ASSERT_TRUE(QTest::qWaitFor([&] { return cut.ended == 1; }, 10000));
    EXPECT_EQ(static_cast<int64_t>(cut.shown.size()), playable);
    EXPECT_EQ(cut.player->Reason(),
              QString("The file ends early: %1 frames playable").arg(playable));

    Watched garbage;
    garbage.player->Open(QString::fromStdString(samples().dir.file("nothing-here.mp4")));
    garbage.player->Play();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !garbage.failed.isEmpty(); }, 5000));
    EXPECT_EQ(garbage.failed, "The file is missing");
    EXPECT_EQ(garbage.player->Reason(), "The file is missing");
    EXPECT_FALSE(garbage.player->IsPlaying());
    EXPECT_TRUE(garbage.shown.empty());
}

TEST(RecordingPlayer, DestroyingItWhileItWorksIsPromptAndClean) {
    // While playing, and while the worker is still opening the file.
    for (const int framesFirst : {5, 0}) {
        Watched watched;
        watched.player->Open(QString::fromStdString(samples().mp4));
        watched.player->Play();
        ASSERT_TRUE(QTest::qWaitFor([&] { return watched.shown.size() >= size_t(framesFirst); }));
        const auto start = std::chrono::steady_clock::now();
        delete std::exchange(watched.player, nullptr);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
        const size_t shown = watched.shown.size();
        QTest::qWait(100);  // nothing it had sent arrives any more
        EXPECT_EQ(watched.shown.size(), shown);
    }
}

}  // namespace
