// The encoder and container layers together, checked the way a user's player sees the files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "media/AnnexB.h"
#include "media/EncodedFrameRing.h"
#include "media/FileSink.h"
#include "media/Mp4Writer.h"
#include "media/PvfReader.h"
#include "media/StreamConverter.h"
#include "media/X264Encoder.h"
#include "support/Ffprobe.h"
#include "support/FullDiskSink.h"
#include "support/SampleRecording.h"
#include "support/TempDir.h"

namespace {

using CalorviewTest::TempDir;

constexpr int kWidth = 480;
constexpr int kHeight = 640;

// An I420 picture with a moving warm spot over a gradient, frame `n`.
struct Picture {
    std::vector<unsigned char> planes;
    explicit Picture(int n) : planes(kWidth * kHeight * 3 / 2, 128) {
        CalorviewTest::drawSamplePicture(n, kWidth, kHeight, &planes);
    }
    EncPicture enc() {
        unsigned char* y = planes.data();
        return EncPicture{y, y + kWidth * kHeight, y + kWidth * kHeight * 5 / 4, {}};
    }
};

// `count` encoded frames, 40 ms apart, as the recorder hands them to a container writer.
struct EncodedClip {
    std::vector<std::vector<uint8_t>> frames;
    explicit EncodedClip(int count) {
        const EncParams params = MakeEncParams(kWidth, kHeight);
        void* encoder = X264_Enc_Open(&params);
        std::vector<unsigned char> out(kWidth * kHeight * 2);
        for (int i = 0; i < count; ++i) {
            Picture picture(i);
            EncPicture in = picture.enc();
            EncOutput output{0, out.data(), static_cast<int32_t>(out.size())};
            const int n = X264_Enc_Start(encoder, &in, &output);
            EXPECT_GT(n, 0) << "frame " << i << ": no delay, one picture in, its bytes out";
            frames.emplace_back(out.begin(), out.begin() + std::max(n, 0));
        }
        X264_Enc_Close(encoder);
    }
    Media::EncodedFrame at(size_t i) const {
        return {frames[i].data(), frames[i].size(), static_cast<int64_t>(i) * 40000,
                Media::IsKeyFrame(frames[i].data(), frames[i].size())};
    }
};

// Encodes `count` frames spaced `gapUs` apart into the new file `path` of `format`.
void RecordTo(const std::string& path, int format, int count, int64_t gapUs) {
    const EncodedClip clip(count);
    void* file = nullptr;
    EXPECT_TRUE(SC_Init());
    EXPECT_EQ(SC_OpenFileAt(format, path.c_str(), static_cast<int>(path.size()), 1765000000,
                            "alarm 38.5 \u2103", &file),
              0);
    for (int i = 0; i < count; ++i) {
        const std::vector<uint8_t>& frame = clip.frames[static_cast<size_t>(i)];
        EXPECT_EQ(
            SC_InputDataAt(file, frame.data(), static_cast<int>(frame.size()), 5000000 + i * gapUs),
            0);
    }
    SC_FinishFile(file);
    SC_CloseFile(file);
    SC_Uninit();
    SC_WaitFinished();
}

// The same into `name` in `dir`; returns the path.
std::string Record(const TempDir& dir, const std::string& name, int format, int count,
                   int64_t gapUs) {
    const std::string path = dir.file(name);
    RecordTo(path, format, count, gapUs);
    return path;
}

// A clean stop's layout: the index in front of the pictures, no fragments.
void ExpectProgressive(const std::string& path) {
    const std::string bytes = CalorviewTest::readFile(path);
    EXPECT_NE(bytes.find("moov"), std::string::npos) << path;
    EXPECT_LT(bytes.find("moov"), bytes.find("mdat")) << path;
    EXPECT_EQ(bytes.find("moof"), std::string::npos) << path;
}

// The names in a folder, sorted.
std::vector<std::string> Names(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Runs the test in `folder` (relative names are relative to it) and goes back afterwards.
class InFolder {
public:
    explicit InFolder(const std::filesystem::path& folder)
        : m_previous(std::filesystem::current_path()) {
        std::filesystem::current_path(folder);
    }
    ~InFolder() { std::filesystem::current_path(m_previous); }
    InFolder(const InFolder&) = delete;
    InFolder& operator=(const InFolder&) = delete;

private:
    std::filesystem::path m_previous;
};

// Points standard input at /dev/null and standard output at `file` until destroyed.
class RedirectedStdio {
public:
    explicit RedirectedStdio(const std::string& file) {
        std::fflush(stdout);
        m_in = ::dup(0);
        m_out = ::dup(1);
        const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int out = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(nothing, 0);
        ::dup2(out, 1);
        ::close(nothing);
        ::close(out);
    }
    ~RedirectedStdio() {
        std::fflush(stdout);
        ::dup2(m_in, 0);
        ::dup2(m_out, 1);
        ::close(m_in);
        ::close(m_out);
    }
    RedirectedStdio(const RedirectedStdio&) = delete;
    RedirectedStdio& operator=(const RedirectedStdio&) = delete;

private:
    int m_in;
    int m_out;
};

TEST(RecordingMedia, EncoderRepeatsParameterSetsOnEveryKeyFrameOncePerSecond) {
    const EncParams params = MakeEncParams(kWidth, kHeight);
    void* encoder = X264_Enc_Open(&params);
    ASSERT_NE(encoder, nullptr);
    std::vector<unsigned char> out(kWidth * kHeight * 2);
    std::vector<int> keys;
    for (int i = 0; i < 60; ++i) {
        Picture picture(i);
        EncPicture in = picture.enc();
        EncOutput output{0, out.data(), static_cast<int32_t>(out.size())};
        const int n = X264_Enc_Start(encoder, &in, &output);
        ASSERT_GT(n, 0);
        if (Media::IsKeyFrame(out.data(), static_cast<size_t>(n))) {
            keys.push_back(i);
            // The parameter sets come first: SPS (type 7) right behind the start code.
            EXPECT_EQ(out[4] & 0x1F, 7);
            EXPECT_GT(Media::FirstSlice(out.data(), static_cast<size_t>(n)), out.data());
        }
    }
    X264_Enc_Close(encoder);
    EXPECT_EQ(keys, (std::vector<int>{0, 25, 50}));
}

TEST(RecordingMedia, EncoderRefusesBlocksThatDoNotDescribeAPicture) {
    for (const auto& [w, h, area] :
         {std::tuple{0, 640, 0}, {481, 640, 481 * 640}, {480, 640, 480 * 641}}) {
        EncParams params = MakeEncParams(480, 640);
        params.word[0] = w;
        params.word[1] = h;
        params.word[2] = area;
        EXPECT_EQ(X264_Enc_Open(&params), nullptr) << w << "x" << h;
    }
}

TEST(RecordingMedia, BothFormatsHoldEveryFrameWithArrivalTiming) {
    TempDir dir;
    // 9 frames a second: playback must still last as long as the recording did.
    const std::string mp4 = Record(dir, "slow.mp4", kScFormatMp4, 27, 111111);
    const auto probe = CalorviewTest::probeVideo(mp4);
    EXPECT_EQ(probe.at("codec_name"), "h264");
    EXPECT_EQ(probe.at("width"), "480");
    EXPECT_EQ(probe.at("height"), "640");
    EXPECT_EQ(probe.at("nb_read_frames"), "27");
    EXPECT_NEAR(std::stod(probe.at("duration")), 3.0, 0.02);
    EXPECT_EQ(probe.at("creation_time").substr(0, 19), "2025-12-06T05:46:40");
    EXPECT_EQ(probe.at("comment"), "alarm 38.5 \u2103");
    // A clean stop leaves the index in front of the pictures: players seek at once.
    const std::string bytes = CalorviewTest::readFile(mp4);
    EXPECT_LT(bytes.find("moov"), bytes.find("mdat"));
    EXPECT_EQ(bytes.find("moof"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(mp4 + ".part"));

    const std::string pvf = Record(dir, "normal.pvf", kScFormatPvf, 50, 40000);
    EXPECT_EQ(CalorviewTest::readFile(pvf).substr(0, 0), "");
    EXPECT_GT(std::filesystem::file_size(pvf), 1000u);
}

// The pre-alarm path: frames kept in the ring before the recording go first, with their own
// arrival times, and the live frames of the same encoder stream follow them.
TEST(RecordingMedia, HeldFramesLeadTheFileWithTheirOwnTimesInBothFormats) {
    TempDir dir;
    const EncodedClip clip(100);  // key frames at 0, 25, 50, 75
    for (const int format : {kScFormatMp4, kScFormatPvf}) {
        SCOPED_TRACE(format);
        Media::EncodedFrameRing ring;
        ring.SetSpanUs(2000000);
        constexpr int kHeld = 90;  // 0 to 89: the ring keeps 25 to 89, from a key frame
        for (int i = 0; i < kHeld; ++i) {
            const auto frame = clip.at(static_cast<size_t>(i));
            ring.Push(frame.data, frame.size, 5000000 + frame.timestampUs, frame.keyFrame);
        }
        const std::string path = dir.file(format == kScFormatMp4 ? "prealarm.mp4" : "prealarm.pvf");
        void* file = nullptr;
        ASSERT_EQ(SC_OpenFileAt(format, path.c_str(), static_cast<int>(path.size()), 1765000000,
                                "alarm", &file),
                  0);
        SC_InputHeldFrames(file, ring.Take());
        for (int i = kHeld; i < 100; ++i) {
            const auto frame = clip.at(static_cast<size_t>(i));
            EXPECT_EQ(SC_InputDataAt(file, frame.data, static_cast<int>(frame.size),
                                     5000000 + frame.timestampUs),
                      0);
        }
        SC_FinishFile(file);
        SC_CloseFile(file);
        SC_WaitFinished();

        if (format == kScFormatPvf) {
            std::string error;
            auto reader = Media::PvfReader::Open(path, &error);
            ASSERT_NE(reader, nullptr) << error;
            EXPECT_EQ(reader->CreationTime(), 1765000000) << "the alarm's, not the first frame's";
            Media::EncodedFrame frame;
            ASSERT_TRUE(reader->Next(&frame));
            EXPECT_TRUE(frame.keyFrame);
            EXPECT_EQ(frame.timestampUs, 0);
            Media::PvfReader::Summary summary;
            ASSERT_TRUE(reader->Summarize(&summary));
            EXPECT_EQ(summary.frames, 75);
            EXPECT_EQ(summary.durationUs, 3000000);
            continue;
        }
        const auto probe = CalorviewTest::probeVideo(path);
        EXPECT_EQ(probe.at("nb_read_frames"), "75");
        EXPECT_NEAR(std::stod(probe.at("duration")), 3.0, 0.02);
        EXPECT_EQ(probe.at("creation_time").substr(0, 19), "2025-12-06T05:46:40");
    }
}

TEST(RecordingMedia, OpenRefusesExistingFilesMissingFoldersAndUnknownFormats) {
    TempDir dir;
    const std::string taken = dir.file("taken.mp4");
    CalorviewTest::writeFile(taken, "keep me");
    const std::string missing = dir.file("absent/x.mp4");
    const std::string fresh = dir.file("fresh.mp4");
    void* file = nullptr;
    EXPECT_NE(SC_OpenFile(kScFormatMp4, taken.c_str(), static_cast<int>(taken.size()), &file), 0);
    EXPECT_EQ(CalorviewTest::readFile(taken), "keep me");
    EXPECT_NE(SC_OpenFile(kScFormatMp4, missing.c_str(), static_cast<int>(missing.size()), &file),
              0);
    EXPECT_NE(SC_OpenFile(7, fresh.c_str(), static_cast<int>(fresh.size()), &file), 0);
    EXPECT_FALSE(std::filesystem::exists(fresh));
}

TEST(RecordingMedia, FullDiskFailsTheRecordingAndKeepsWhatWasWritten) {
    for (const int format : {kScFormatMp4, kScFormatPvf}) {
        TempDir dir;
        CalorviewTest::FullDiskSink::InstallFor(50 * 1024);
        const std::string path = dir.file(format == kScFormatMp4 ? "full.mp4" : "full.pvf");
        void* file = nullptr;
        ASSERT_EQ(SC_OpenFile(format, path.c_str(), static_cast<int>(path.size()), &file), 0);
        const EncParams params = MakeEncParams(kWidth, kHeight);
        void* encoder = X264_Enc_Open(&params);
        std::vector<unsigned char> out(kWidth * kHeight * 2);
        int result = 0;
        for (int i = 0; i < 2000 && result != kScFailed; ++i) {
            Picture picture(i);
            EncPicture in = picture.enc();
            EncOutput output{0, out.data(), static_cast<int32_t>(out.size())};
            const int n = X264_Enc_Start(encoder, &in, &output);
            result = SC_InputDataAt(file, out.data(), n, i * 40000);
        }
        X264_Enc_Close(encoder);
        EXPECT_EQ(result, kScFailed) << format << " size " << std::filesystem::file_size(path);
        SC_FinishFile(file);
        SC_CloseFile(file);
        SC_WaitFinished();
        Media::FileSink::InstallFactory(nullptr);
        if (format == kScFormatMp4) {
            EXPECT_GT(CalorviewTest::probedFrames(path), 0);
        }
        EXPECT_LE(std::filesystem::file_size(path), 50u * 1024u);
    }
}

// The rewrite of a clean stop goes to a file of its own making: a file or a link someone put
// under the old, predictable name NAME.mp4.part is neither consumed nor followed.
TEST(RecordingMedia, FinishingLeavesPartFilesAndLinksBesideTheRecordingAlone) {
    TempDir dir;
    CalorviewTest::writeFile(dir.file("plain.mp4.part"), "keep me");
    CalorviewTest::writeFile(dir.file("target"), "not yours");
    std::filesystem::create_symlink("target", dir.file("linked.mp4.part"));
    std::filesystem::create_symlink("absent", dir.file("dangling.mp4.part"));
    for (const char* name : {"plain.mp4", "linked.mp4", "dangling.mp4"}) {
        const std::string path = Record(dir, name, kScFormatMp4, 30, 40000);
        SCOPED_TRACE(path);
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(path)));
        EXPECT_EQ(CalorviewTest::probedFrames(path), 30);
        ExpectProgressive(path);
    }
    // Compared as a truth value: a mismatch would print a whole MP4.
    EXPECT_TRUE(CalorviewTest::readFile(dir.file("plain.mp4.part")) == "keep me");
    EXPECT_TRUE(CalorviewTest::readFile(dir.file("target")) == "not yours");
    EXPECT_EQ(std::filesystem::read_symlink(dir.file("linked.mp4.part")), "target");
    EXPECT_EQ(std::filesystem::read_symlink(dir.file("dangling.mp4.part")), "absent");
    EXPECT_FALSE(std::filesystem::exists(dir.file("absent")));
    // Nothing else is left behind: the temporary files went into place.
    EXPECT_EQ(Names(dir.path()), (std::vector<std::string>{
                                     "dangling.mp4", "dangling.mp4.part", "linked.mp4",
                                     "linked.mp4.part", "plain.mp4", "plain.mp4.part", "target"}));
}

// libavformat reads "ab:" as a protocol in a name it is given; the recorder never gives it one.
// A record folder with a colon (the settings' path, relative to the program's folder) and a
// file named like a protocol both finish as progressive MP4, and nothing reaches standard
// output.
TEST(RecordingMedia, NamesWithAColonAreNamesNotUrls) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "ab:cd");
    {
        InFolder in(dir.path());
        RedirectedStdio stdio(dir.file("stdout"));
        RecordTo("ab:cd/20261207_081500.mp4", kScFormatMp4, 30, 40000);
        RecordTo("pipe:1.mp4", kScFormatMp4, 30, 40000);
        RecordTo("clip-10:30.mp4", kScFormatMp4, 30, 40000);
    }
    for (const char* name : {"ab:cd/20261207_081500.mp4", "pipe:1.mp4", "clip-10:30.mp4"}) {
        const std::string path = dir.file(name);
        SCOPED_TRACE(path);
        EXPECT_EQ(CalorviewTest::probedFrames(path), 30);
        ExpectProgressive(path);
    }
    EXPECT_EQ(CalorviewTest::readFile(dir.file("stdout")), "");
    EXPECT_EQ(Names(dir.path() / "ab:cd"), (std::vector<std::string>{"20261207_081500.mp4"}));
}

// A rewrite that cannot be done leaves the fragmented file, playable, and says why (an errno,
// never 0, which a caller would print as "Success").
TEST(RecordingMedia, FailedRewriteKeepsTheFragmentedFileAndSaysWhy) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "folder");
    int error = 0;
    auto sink = Media::FileSink::Create(dir.file("folder/clip.mp4"), &error);
    ASSERT_NE(sink, nullptr) << error;
    Media::Mp4Writer writer(std::move(sink), 1765000000);
    const EncodedClip clip(30);
    for (size_t i = 0; i < clip.frames.size(); ++i) {
        ASSERT_TRUE(writer.WriteFrame(clip.at(i))) << i;
    }
    // The folder moves away under the writer: the rewrite finds no file to read.
    std::filesystem::rename(dir.path() / "folder", dir.path() / "moved");
    EXPECT_FALSE(writer.Finish());
    EXPECT_EQ(writer.Error(), ENOENT);
    const std::string kept = dir.file("moved/clip.mp4");
    EXPECT_EQ(CalorviewTest::probedFrames(kept), 30);
    EXPECT_NE(CalorviewTest::readFile(kept).find("moof"), std::string::npos);
    EXPECT_EQ(Names(dir.path() / "moved"), (std::vector<std::string>{"clip.mp4"}));
}

}  // namespace
