// The encoder and container layers together, checked the way a user's player sees the files.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "media/AnnexB.h"
#include "media/FileSink.h"
#include "media/StreamConverter.h"
#include "media/X264Encoder.h"
#include "support/Ffprobe.h"
#include "support/FullDiskSink.h"
#include "support/TempDir.h"

namespace {

using CalorviewTest::TempDir;

constexpr int kWidth = 480;
constexpr int kHeight = 640;

// An I420 picture with a moving warm spot over a gradient, frame `n`.
struct Picture {
    std::vector<unsigned char> planes;
    explicit Picture(int n) : planes(kWidth * kHeight * 3 / 2) {
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                const int dx = x - (n * 7) % kWidth;
                const int dy = y - kHeight / 2;
                planes[y * kWidth + x] =
                    static_cast<unsigned char>(dx * dx + dy * dy < 2500 ? 230 : 40 + y / 8);
            }
        }
        std::fill(planes.begin() + kWidth * kHeight, planes.end(), 128);
    }
    EncPicture enc() {
        unsigned char* y = planes.data();
        return EncPicture{y, y + kWidth * kHeight, y + kWidth * kHeight * 5 / 4, {}};
    }
};

// Encodes `count` frames spaced `gapUs` apart into a new file of `format`; returns the path.
std::string Record(const TempDir& dir, const std::string& name, int format, int count,
                   int64_t gapUs) {
    const std::string path = dir.file(name);
    const EncParams params = MakeEncParams(kWidth, kHeight);
    void* encoder = X264_Enc_Open(&params);
    void* file = nullptr;
    EXPECT_TRUE(SC_Init());
    EXPECT_EQ(SC_OpenFileAt(format, path.c_str(), static_cast<int>(path.size()), 1765000000,
                            "alarm 38.5 \u2103", &file),
              0);
    std::vector<unsigned char> out(kWidth * kHeight * 2);
    for (int i = 0; i < count; ++i) {
        Picture picture(i);
        EncPicture in = picture.enc();
        EncOutput output{0, out.data(), static_cast<int32_t>(out.size())};
        const int n = X264_Enc_Start(encoder, &in, &output);
        EXPECT_GT(n, 0) << "frame " << i << ": no delay, one picture in, its bytes out";
        EXPECT_EQ(SC_InputDataAt(file, out.data(), n, 5000000 + i * gapUs), 0);
    }
    X264_Enc_Close(encoder);
    SC_FinishFile(file);
    SC_CloseFile(file);
    SC_Uninit();
    SC_WaitFinished();
    return path;
}

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

}  // namespace
