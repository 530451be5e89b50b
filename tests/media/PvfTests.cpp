#include <fcntl.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "media/AnnexB.h"
#include "media/Mp4Writer.h"
#include "media/PosixFileSink.h"
#include "media/PvfReader.h"
#include "media/PvfWriter.h"
#include "media/X264Encoder.h"
#include "support/Ffprobe.h"
#include "support/TempDir.h"

namespace {

using CalorviewTest::readFile;
using CalorviewTest::TempDir;
using CalorviewTest::writeFile;
using Media::PvfReader;
using Media::PvfWriter;

constexpr int64_t kCreationTime = 1714563912;  // 2024-05-01
constexpr int64_t kIntervalUs = 40000;
constexpr size_t kFileHeader = 36;
constexpr size_t kRecordHeader = 24;

struct Frame {
    std::string payload;
    int64_t timestampUs;
    bool keyFrame;
    bool operator==(const Frame&) const = default;
};

void PrintTo(const Frame& frame, std::ostream* out) {
    *out << frame.payload.size() << " bytes at " << frame.timestampUs
         << (frame.keyFrame ? " key" : "");
}

// Annex-B-like access units of varying size; some carry the record marker and the file magic,
// which must not confuse the reader.
std::vector<Frame> MakeFrames(int count, int keyEvery = 25) {
    std::vector<Frame> frames;
    for (int i = 0; i < count; ++i) {
        std::string payload = std::string("\0\0\0\1", 4) + (i % keyEvery == 0 ? '\x65' : '\x41');
        for (int j = 0; j < 40 + (i * 37) % 200; ++j) {
            payload += static_cast<char>(i * 7 + j * 13);
        }
        if (i % 3 == 1) {
            payload += std::string("PVFR\x10\0\0\0\x89PVF\r\n\x1a\n", 16);
        }
        frames.push_back({payload, i * kIntervalUs, i % keyEvery == 0});
    }
    return frames;
}

Media::EncodedFrame Encoded(const Frame& frame) {
    return {reinterpret_cast<const uint8_t*>(frame.payload.data()), frame.payload.size(),
            frame.timestampUs, frame.keyFrame};
}

// The file's contents and the offsets where its records start, the file's end last.
std::string WritePvf(const std::string& path, const std::vector<Frame>& frames,
                     std::vector<size_t>* starts = nullptr) {
    int error = 0;
    PvfWriter writer(Media::FileSink::Create(path, &error), kCreationTime);
    for (const Frame& frame : frames) {
        EXPECT_TRUE(writer.WriteFrame(Encoded(frame)));
    }
    EXPECT_TRUE(writer.Finish());
    for (size_t i = 0, at = kFileHeader; starts != nullptr && i <= frames.size(); ++i) {
        starts->push_back(at);
        at += i < frames.size() ? kRecordHeader + frames[i].payload.size() : 0;
    }
    return readFile(path);
}

struct Contents {
    PvfReader::Summary summary;
    std::vector<Frame> frames;
};

Contents Read(const std::string& path) {
    Contents contents;
    std::string error;
    const auto reader = PvfReader::Open(path, &error);
    EXPECT_NE(reader, nullptr) << error;
    if (reader != nullptr) {
        EXPECT_TRUE(reader->Summarize(&contents.summary));
        Media::EncodedFrame frame;
        while (reader->Next(&frame)) {
            contents.frames.push_back(
                {std::string(reinterpret_cast<const char*>(frame.data), frame.size),
                 frame.timestampUs, frame.keyFrame});
        }
        EXPECT_EQ(reader->ErrorText(), "");
    }
    return contents;
}

std::string Le(uint64_t value, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) {
        out += static_cast<char>(value >> (8 * i));
    }
    return out;
}

std::string Crc(const std::string& bytes) {
    return Le(
        crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())), 4);
}

TEST(PvfTest, OneFrameFileHasTheDocumentedLayout) {
    TempDir dir;
    const Frame frame{std::string("\0\0\0\1\x65\x88\x84", 7), 0, true};
    std::string header = std::string("\x89PVF\r\n\x1a\n", 8) + Le(1, 2) + Le(36, 2) + "H264" +
                         Le(1000000, 4) + Le(0, 4) + Le(kCreationTime, 8);
    header += Crc(header);
    const std::string record = "PVFR" + Le(7, 4) + Le(0, 8) + Le(1, 4);
    EXPECT_EQ(WritePvf(dir.file("a.pvf"), {frame}),
              header + record + Crc(record + frame.payload) + frame.payload);
}

TEST(PvfTest, ReadsBackWhatWasWritten) {
    const struct {
        int frames;
        int keyFrames;
        int64_t durationUs;  // last minus first plus the last interval
    } cases[] = {{0, 0, 0}, {1, 1, 0}, {2, 1, 2 * kIntervalUs}, {60, 3, 60 * kIntervalUs}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.frames) + " frames");
        TempDir dir;
        const std::vector<Frame> frames = MakeFrames(c.frames);
        const std::string file = WritePvf(dir.file("a.pvf"), frames);
        const Contents read = Read(dir.file("a.pvf"));
        EXPECT_EQ(read.frames, frames);  // also after Summarize, which rewinds
        EXPECT_EQ(read.summary.fileSize, static_cast<int64_t>(file.size()));
        EXPECT_EQ(read.summary.frames, c.frames);
        EXPECT_EQ(read.summary.keyFrames, c.keyFrames);
        EXPECT_EQ(read.summary.durationUs, c.durationUs);
        EXPECT_EQ(read.summary.creationTime, kCreationTime);
        EXPECT_EQ(read.summary.damagedTailBytes + read.summary.skippedBytes, 0);
    }
}

// What a crash leaves: the last record torn anywhere, or the whole records followed by zeros
// (power loss) or by garbage.
TEST(PvfTest, DamagedTailFollowsTheLastWholeRecord) {
    TempDir dir;
    const std::vector<Frame> frames = MakeFrames(5);
    std::vector<size_t> starts;
    const std::string whole = WritePvf(dir.file("a.pvf"), frames, &starts);
    const size_t last = starts[4];
    for (size_t cut = last; cut < whole.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        writeFile(dir.file("cut.pvf"), whole.substr(0, cut));
        const Contents read = Read(dir.file("cut.pvf"));
        EXPECT_EQ(read.frames, std::vector<Frame>(frames.begin(), frames.end() - 1));
        EXPECT_EQ(read.summary.damagedTailOffset, static_cast<int64_t>(last));
        EXPECT_EQ(read.summary.damagedTailBytes, static_cast<int64_t>(cut - last));
    }
    const std::string tails[] = {
        std::string(8192, '\0'),
        std::string(3000, '\xa7') + "PVFR" + std::string(70, 'x'),
        "PVFR" + Le(0xffffffff, 4) + std::string(100, '\0'),  // length over the limit
        "PVFR" + Le(5000, 4) + std::string(200, '\1'),        // length past the end
        "PVF",
    };
    for (const std::string& tail : tails) {
        SCOPED_TRACE("tail " + tail.substr(0, 8));
        writeFile(dir.file("tail.pvf"), whole + tail);
        const Contents read = Read(dir.file("tail.pvf"));
        EXPECT_EQ(read.frames, frames);
        EXPECT_EQ(read.summary.damagedTailOffset, static_cast<int64_t>(whole.size()));
        EXPECT_EQ(read.summary.damagedTailBytes, static_cast<int64_t>(tail.size()));
    }
}

// A damaged record costs that record only: the reader searches on for the next valid one.
TEST(PvfTest, DamagedRecordIsSkipped) {
    TempDir dir;
    const std::vector<Frame> frames = MakeFrames(5);
    std::vector<size_t> starts;
    const std::string whole = WritePvf(dir.file("a.pvf"), frames, &starts);
    auto flipped = [&](size_t at) {
        std::string file = whole;
        file[starts[2] + at] ^= 0x10;
        return file;
    };
    auto replaced = [&](size_t size) {
        return whole.substr(0, starts[2]) + std::string(size, 'Z') + whole.substr(starts[3]);
    };
    const size_t recordSize = starts[3] - starts[2];
    const struct {
        const char* name;
        std::string file;
        size_t skipped;
    } cases[] = {
        {"marker", flipped(1), recordSize},
        {"length", flipped(5), recordSize},
        {"timestamp", flipped(9), recordSize},
        {"flags", flipped(16), recordSize},
        {"checksum", flipped(22), recordSize},
        {"payload", flipped(30), recordSize},
        // The search reads 64 KiB windows from one byte into the damage: with 65535 bytes the
        // next marker straddles two of them.
        {"straddling", replaced(65535), 65535},
        {"long", replaced(200000), 200000},
    };
    std::vector<Frame> expected = frames;
    expected.erase(expected.begin() + 2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(dir.file("d.pvf"), c.file);
        const Contents read = Read(dir.file("d.pvf"));
        EXPECT_EQ(read.frames, expected);
        EXPECT_EQ(read.summary.skippedBytes, static_cast<int64_t>(c.skipped));
        EXPECT_EQ(read.summary.skippedRegions, 1);
        EXPECT_EQ(read.summary.damagedTailBytes, 0);
    }
}

TEST(PvfTest, OpenSaysWhyAFileIsNotReadable) {
    TempDir dir;
    const std::string good = WritePvf(dir.file("good.pvf"), MakeFrames(1));
    auto patched = [&](size_t at, const std::string& bytes, bool fixCrc) {
        std::string file = good;
        file.replace(at, bytes.size(), bytes);
        return fixCrc ? file.replace(32, 4, Crc(file.substr(0, 32))) : file;
    };
    const struct {
        std::string content;
        const char* error;
    } cases[] = {
        {"", "empty file, no PVF header"},
        {"{\"frames\": []}\n", "not a PVF file"},
        {good.substr(0, 20), "damaged header (file too short)"},
        {patched(8, Le(2, 2), false), "unsupported PVF version 2"},
        {patched(10, Le(8, 2), false), "damaged header (header size 8)"},
        {patched(26, "\x01", false), "damaged header (checksum mismatch)"},
        {patched(12, "H265", true), "unsupported codec 'H265'"},
        {patched(16, Le(90000, 4), true), "unsupported timestamp unit (90000 per second)"},
    };
    for (const auto& c : cases) {
        writeFile(dir.file("bad.pvf"), c.content);
        std::string error;
        EXPECT_EQ(PvfReader::Open(dir.file("bad.pvf"), &error), nullptr) << c.error;
        EXPECT_EQ(error, c.error);
    }
    std::string error;
    EXPECT_EQ(PvfReader::Open(dir.file("absent.pvf"), &error), nullptr);
    EXPECT_EQ(error, "cannot open: No such file or directory");
}

// Fails the `failAt`-th write (1-based) with ENOSPC after half its bytes reached the file, as a
// disk filling up mid-write does.
class FailingSink : public Media::PosixFileSink {
public:
    FailingSink(const std::string& path, int failAt)
        : PosixFileSink(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644), path),
          m_failAt(failAt) {}
    bool Write(const void* data, size_t size) override {
        return ++m_writes != m_failAt ? PosixFileSink::Write(data, size)
                                      : (PosixFileSink::Write(data, size / 2), false);
    }
    int Error() const override { return m_writes >= m_failAt ? ENOSPC : 0; }

private:
    int m_failAt;
    int m_writes = 0;
};

TEST(PvfTest, FailedWriteLeavesOnlyWholeRecordsAndWritingContinues) {
    for (int failAt : {1, 3}) {  // the first write also carries the header
        SCOPED_TRACE("write " + std::to_string(failAt) + " fails");
        TempDir dir;
        PvfWriter writer(std::make_unique<FailingSink>(dir.file("a.pvf"), failAt), kCreationTime);
        const std::vector<Frame> frames = MakeFrames(5);
        std::vector<Frame> written;
        for (int i = 0; i < 5; ++i) {
            const bool ok = i + 1 != failAt;
            EXPECT_EQ(writer.WriteFrame(Encoded(frames[i])), ok) << "frame " << i;
            if (ok) {
                written.push_back(frames[i]);
            }
        }
        EXPECT_EQ(writer.Error(), ENOSPC);
        EXPECT_TRUE(writer.Finish());
        const Contents read = Read(dir.file("a.pvf"));
        EXPECT_EQ(read.frames, written);
        EXPECT_EQ(read.summary.damagedTailBytes + read.summary.skippedBytes, 0);
    }
}

// The writer refuses what the reader would reject, so no file holds an unreadable record.
TEST(PvfTest, WriterAndReaderAgreeOnThePayloadLimit) {
    TempDir dir;
    int error = 0;
    PvfWriter writer(Media::FileSink::Create(dir.file("a.pvf"), &error), kCreationTime);
    const std::string largest(16 << 20, '\x41');
    const std::string tooLarge = largest + '\x41';
    EXPECT_FALSE(writer.WriteFrame(Encoded({"", 0, true})));
    EXPECT_EQ(writer.Error(), EINVAL);
    EXPECT_FALSE(writer.WriteFrame(Encoded({tooLarge, 0, true})));
    ASSERT_TRUE(writer.WriteFrame(Encoded({largest, 0, true})));
    ASSERT_TRUE(writer.Finish());

    // Made by hand with a correct checksum, a record over the limit is damage all the same.
    const int64_t end = static_cast<int64_t>(readFile(dir.file("a.pvf")).size());
    const std::string record = "PVFR" + Le(tooLarge.size(), 4) + Le(kIntervalUs, 8) + Le(0, 4);
    std::ofstream(dir.file("a.pvf"), std::ios::binary | std::ios::app)
        << record + Crc(record + tooLarge) + tooLarge;
    const Contents read = Read(dir.file("a.pvf"));
    EXPECT_EQ(read.frames, (std::vector<Frame>{{largest, 0, true}}));
    EXPECT_EQ(read.summary.damagedTailOffset, end);
}

// `count` real H.264 frames (480 x 640, a key frame every 25), 40 ms apart: what the recorder
// puts into a PVF, and what an MP4 can take its decoder configuration from.
std::vector<Frame> EncodeFrames(int count) {
    constexpr int kWidth = 480;
    constexpr int kHeight = 640;
    X264Encoder::Settings settings;
    settings.width = kWidth;
    settings.height = kHeight;
    const auto encoder = X264Encoder::Open(settings);
    std::vector<unsigned char> planes(kWidth * kHeight * 3 / 2, 128);
    std::vector<unsigned char> out(kWidth * kHeight * 2);
    std::vector<Frame> frames;
    for (int i = 0; encoder && i < count; ++i) {
        for (int y = 0; y < kHeight; ++y) {
            std::fill_n(planes.begin() + y * kWidth, kWidth, 40 + (y + i * 3) % 190);
        }
        unsigned char* y = planes.data();
        const EncPicture picture{y, y + kWidth * kHeight, y + kWidth * kHeight * 5 / 4, {}};
        const int n = encoder->Encode(picture, out.data(), static_cast<int>(out.size()), i * 40);
        const std::string payload(reinterpret_cast<const char*>(out.data()), std::max(n, 0));
        frames.push_back({payload, i * kIntervalUs,
                          Media::IsKeyFrame(out.data(), static_cast<size_t>(std::max(n, 0)))});
    }
    return frames;
}

// Copies every valid record of the PVF `in` into the new MP4 `out`, as pvf-tool to-mp4 does;
// false, with *error the writer's errno, when the MP4 is not finished.
bool ConvertToMp4(const std::string& in, const std::string& out, int* error) {
    std::string text;
    const auto reader = PvfReader::Open(in, &text);
    auto sink = Media::FileSink::Create(out, error);
    if (reader == nullptr || sink == nullptr) {
        return false;
    }
    Media::Mp4Writer writer(std::move(sink), reader->CreationTime());
    Media::EncodedFrame frame;
    bool ok = true;
    while (ok && reader->Next(&frame)) {
        ok = writer.WriteFrame(frame);
    }
    ok = writer.Finish() && ok;
    *error = writer.Error();
    return ok;
}

// PVF to MP4 under names libavformat would read as URLs, relative to the current folder, beside
// a link and a file under the old predictable temporary name: every frame arrives in a
// progressive MP4 of that very name, and the link's target and the file stay as they were.
TEST(PvfTest, ConvertsToMp4UnderAnyName) {
    TempDir dir;
    const std::vector<Frame> frames = EncodeFrames(30);
    ASSERT_EQ(frames.size(), 30u);
    ASSERT_TRUE(frames[0].keyFrame);
    WritePvf(dir.file("in.pvf"), frames);
    writeFile(dir.file("target"), "not yours");
    std::filesystem::create_symlink("target", dir.file("clip-10:30.mp4.part"));
    writeFile(dir.file("pipe:1.mp4.part"), "keep me");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    for (const char* name : {"clip-10:30.mp4", "pipe:1.mp4"}) {
        int error = -1;
        EXPECT_TRUE(ConvertToMp4("in.pvf", name, &error)) << name;
        EXPECT_EQ(error, 0) << name;
    }
    std::filesystem::current_path(previous);
    for (const char* name : {"clip-10:30.mp4", "pipe:1.mp4"}) {
        const std::string mp4 = readFile(dir.file(name));
        EXPECT_EQ(CalorviewTest::probedFrames(dir.file(name)), 30) << name;
        EXPECT_LT(mp4.find("moov"), mp4.find("mdat")) << name;
        EXPECT_EQ(mp4.find("moof"), std::string::npos) << name;
    }
    // Compared as a truth value: a mismatch would print a whole MP4.
    EXPECT_TRUE(readFile(dir.file("target")) == "not yours");
    EXPECT_EQ(std::filesystem::read_symlink(dir.file("clip-10:30.mp4.part")), "target");
    EXPECT_TRUE(readFile(dir.file("pipe:1.mp4.part")) == "keep me");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                            std::filesystem::directory_iterator()),
              6);  // in.pvf, target, the two .part names, the two MP4s: no temporary file left
}

// A PVF whose one key frame is damaged still has whole frames, but none an MP4 can start
// from: the reader counts no key frame (what pvf-tool refuses on), and a writer given the
// frames anyway makes no file.
TEST(PvfTest, DamagedOnlyKeyFrameLeavesNothingToStartFrom) {
    TempDir dir;
    const std::vector<Frame> frames = EncodeFrames(16);
    std::vector<size_t> starts;
    std::string file = WritePvf(dir.file("in.pvf"), frames, &starts);
    file[starts[0] + kRecordHeader + 40] ^= 0x5a;
    writeFile(dir.file("damaged.pvf"), file);
    const Contents read = Read(dir.file("damaged.pvf"));
    EXPECT_EQ(read.summary.frames, 15);
    EXPECT_EQ(read.summary.keyFrames, 0);
    EXPECT_EQ(read.summary.skippedBytes, static_cast<int64_t>(starts[1] - starts[0]));
    int error = -1;
    EXPECT_TRUE(ConvertToMp4(dir.file("damaged.pvf"), dir.file("out.mp4"), &error));
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.mp4")));
}

}  // namespace
