// An episode exported as one zip, read back with minizip and ffprobe as a recipient would: real
// snapshots and recordings (MP4, PVF, a PVF cut short), and exports that cannot be written.
#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QImage>
#include <QRandomGenerator>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "history/EpisodeExporter.h"
#include "media/PvfConversion.h"
#include "support/Ffprobe.h"
#include "support/SampleRecording.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using CalorviewTest::readFile;
using CalorviewTest::RecordingFormat;
using CalorviewTest::TempDir;

const char* const kHeader = "start,end,peak_temperature,unit,recording\r\n";
const char* const kLine =
    "2025-12-06 06:46:40,2025-12-06 06:47:02,38.5,\xe2\x84\x83,\"a,\"\"b\"\".mp4\"";

// What a request holds by default: the whole episode.
const std::vector<std::string> kEpisode{"snap-1.png",  "snap-\xc3\xa9t\xc3\xa9.png",
                                        "large.png",   "back\\slash.png",
                                        "missing.png", "rec-a.mp4",
                                        "fifo.mp4",    "rec-b.pvf",
                                        "rec-a.pvf"};

struct Entry {
    std::string bytes;
    int method = -1;
    bool utf8Flag = false;
};

// Every entry of the zip; a failed CRC check fails the test.
std::map<std::string, Entry> ReadZip(const std::string& path) {
    std::map<std::string, Entry> entries;
    unzFile zip = unzOpen64(path.c_str());
    EXPECT_NE(zip, nullptr) << path;
    for (int at = zip ? unzGoToFirstFile(zip) : UNZ_EOF; at == UNZ_OK; at = unzGoToNextFile(zip)) {
        unz_file_info64 info{};
        char name[512] = {};
        EXPECT_EQ(unzGetCurrentFileInfo64(zip, &info, name, sizeof name, nullptr, 0, nullptr, 0),
                  UNZ_OK);
        Entry& entry = entries[name];
        entry.method = static_cast<int>(info.compression_method);
        entry.utf8Flag = (info.flag & (1 << 11)) != 0;
        EXPECT_EQ(unzOpenCurrentFile(zip), UNZ_OK);
        char block[65536];
        for (int n; (n = unzReadCurrentFile(zip, block, sizeof block)) > 0;) {
            entry.bytes.append(block, static_cast<size_t>(n));
        }
        EXPECT_EQ(unzCloseCurrentFile(zip), UNZ_OK) << name;
    }
    if (zip != nullptr) {
        unzClose(zip);
    }
    return entries;
}

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

int ProbedFrames(const TempDir& dir, const std::string& bytes) {
    CalorviewTest::writeFile(dir.file("probe.mp4"), bytes);
    return CalorviewTest::probedFrames(dir.file("probe.mp4"));
}

QString Strerror(int error) {
    return QString::fromLocal8Bit(std::strerror(error));  // the test may run in any language
}

// An episode's files, made once: small snapshots (names with non-ASCII letters, a backslash),
// a 4 MB one of noise, an MP4, a PVF, a PVF cut inside its last record, a missing file and a FIFO.
class EpisodeExport : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_sources = new TempDir;
        QImage image(64, 48, QImage::Format_RGB32);
        for (const auto& [name, colour] : {std::pair{"snap-1.png", Qt::darkRed},
                                           std::pair{"snap-\xc3\xa9t\xc3\xa9.png", Qt::yellow},
                                           std::pair{"back\\slash.png", Qt::blue}}) {
            image.fill(colour);
            ASSERT_TRUE(image.save(QString::fromStdString(Source(name))));
        }
        QImage noise(1024, 1024, QImage::Format_ARGB32);
        QRandomGenerator random(7);
        random.fillRange(reinterpret_cast<quint32*>(noise.bits()), 1024 * 1024);
        ASSERT_TRUE(noise.save(QString::fromStdString(Source("large.png"))));
        for (const auto& [name, format, frames] :
             {std::tuple{"rec-a.mp4", RecordingFormat::kMp4, 30},
              std::tuple{"rec-b.pvf", RecordingFormat::kPvf, 40},
              std::tuple{"rec-a.pvf", RecordingFormat::kPvf, 60}}) {
            ASSERT_EQ(CalorviewTest::writeSampleRecording(Source(name), format, frames), "");
        }
        fs::resize_file(Source("rec-a.pvf"), fs::file_size(Source("rec-a.pvf")) - 100);
        ASSERT_EQ(::mkfifo(Source("fifo.mp4").c_str(), 0644), 0);
    }
    static void TearDownTestSuite() { delete s_sources; }

    static std::string Source(const std::string& name) { return s_sources->file(name); }

    // The episode of `names` (.png its snapshots, the rest its recordings), by default all of it.
    static EpisodeExporter::Request Request(const std::string& zipPath,
                                            std::vector<std::string> names = {}) {
        if (names.empty()) {
            names = kEpisode;
        }
        EpisodeExporter::Request request{zipPath, {}, {}, kHeader, kLine};
        for (const std::string& name : names) {
            (name.ends_with(".png") ? request.snapshots : request.recordings)
                .push_back(Source(name));
        }
        return request;
    }

    static TempDir* s_sources;
};

TempDir* EpisodeExport::s_sources = nullptr;

TEST_F(EpisodeExport, ZipHoldsEveryReadableFileAsARecipientPlaysIt) {
    TempDir out;
    const std::string zipPath = out.file("episode.zip");
    CalorviewTest::writeFile(zipPath, "an older export");  // replaced: the save dialog asked
    std::vector<std::pair<int64_t, int64_t>> reports;
    const auto result = EpisodeExporter::Export(
        Request(zipPath), [&](int64_t done, int64_t total) { reports.emplace_back(done, total); });
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    std::string error;
    Media::PvfReader::Summary cut;
    ASSERT_TRUE(Media::OpenSummarizedPvf(Source("rec-a.pvf"), &cut, &error)) << error;
    ASSERT_GT(cut.damagedTailBytes, 0);
    ASSERT_LT(cut.frames, 60);
    EXPECT_EQ(result.notes,
              QStringList(
                  {"left out: missing.png (" + Strerror(ENOENT) + ")",
                   "left out: fifo.mp4 (not a regular file)",
                   QString("left out: %1 damaged bytes of rec-a.pvf").arg(cut.damagedTailBytes)}));
    EXPECT_EQ(Names(out.path()), std::vector<std::string>{"episode.zip"});  // no temporary file

    auto entries = ReadZip(zipPath);
    std::vector<std::string> names;
    for (const auto& [name, entry] : entries) {
        names.push_back(name);
        EXPECT_EQ(entry.method, name == "episode.csv" ? Z_DEFLATED : 0) << name;
        EXPECT_EQ(entry.utf8Flag, name == "snap-\xc3\xa9t\xc3\xa9.png") << name;
    }
    EXPECT_EQ(names, (std::vector<std::string>{"back_slash.png", "episode.csv", "large.png",
                                               "rec-a-2.mp4", "rec-a.mp4", "rec-b.mp4",
                                               "snap-1.png", "snap-\xc3\xa9t\xc3\xa9.png"}));
    for (const char* name :
         {"large.png", "rec-a.mp4", "snap-1.png", "snap-\xc3\xa9t\xc3\xa9.png"}) {
        EXPECT_TRUE(entries[name].bytes == readFile(Source(name))) << name;  // not printed whole
    }
    EXPECT_EQ(entries["episode.csv"].bytes, std::string(kHeader) + kLine + "\r\n");
    EXPECT_EQ(ProbedFrames(out, entries["rec-a.mp4"].bytes), 30);
    EXPECT_EQ(ProbedFrames(out, entries["rec-b.mp4"].bytes), 40);
    EXPECT_EQ(ProbedFrames(out, entries["rec-a-2.mp4"].bytes), cut.frames);

    ASSERT_GE(reports.size(), 3u);
    EXPECT_EQ(reports.front().first, 0);
    EXPECT_EQ(reports.back().first, reports.back().second);
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
}

// The log's line end is kept (given on either line, else CRLF); no line, no episode.csv.
TEST_F(EpisodeExport, EpisodeCsvEndsLinesAsTheLogDoes) {
    const struct {
        const char* header;
        const char* line;
        const char* csv;
    } cases[] = {
        {"h1,h2\r\n", "a,b", "h1,h2\r\na,b\r\n"},
        {"h1,h2", "a,b\n", "h1,h2\na,b\n"},
        {"h1,h2", "a,b", "h1,h2\r\na,b\r\n"},
        {"h1,h2\r\n", "", "(none)"},
    };
    for (const auto& row : cases) {
        TempDir out;
        auto request = Request(out.file("e.zip"), {"snap-1.png"});
        request.logHeader = row.header;
        request.logLine = row.line;
        ASSERT_TRUE(EpisodeExporter::Export(request).ok) << row.line;
        const auto entries = ReadZip(request.zipPath);
        const auto csv = entries.find("episode.csv");
        EXPECT_EQ(csv == entries.end() ? "(none)" : csv->second.bytes, row.csv) << row.line;
    }
}

// Exports in a child process with the file size limit `limit` (a full disk without filling one);
// the error it gives.
QString ExportWithSizeLimit(const EpisodeExporter::Request& request, rlim_t limit) {
    int pipe[2];
    if (::pipe(pipe) != 0) {
        return "no pipe";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limits{limit, limit};
        ::setrlimit(RLIMIT_FSIZE, &limits);
        const QByteArray error = EpisodeExporter::Export(request).error.toUtf8();
        ::_exit(::write(pipe[1], error.constData(), error.size()) == error.size() ? 0 : 1);
    }
    ::close(pipe[1]);
    QByteArray error;
    char block[512];
    for (ssize_t n; (n = ::read(pipe[0], block, sizeof block)) > 0;) {
        error.append(block, n);
    }
    ::close(pipe[0]);
    int status = -1;
    return child > 0 && ::waitpid(child, &status, 0) == child && status == 0 ? QString(error)
                                                                             : "no child";
}

// Exports that fail say why in one line and leave nothing: no zip, no temporary file. A full disk
// is the target's failure, hit by the zip's own writes or by a PVF's conversion beside it.
TEST_F(EpisodeExport, FailedOrCancelledExportLeavesNothing) {
    const QString cannotWrite = "Cannot write %1: ";
    const struct {
        const char* what;
        const char* zipName;
        std::vector<std::string> names;  // empty: the whole episode
        rlim_t sizeLimit;                // 0: none
        bool cancelMidway;
        QString error;  // %1: the zip's path
    } cases[] = {
        {"target under a file", "file/e.zip", {}, 0, false, cannotWrite + Strerror(ENOTDIR)},
        {"full disk, the zip", "e.zip", {}, 1 << 20, false, cannotWrite + Strerror(EFBIG)},
        {"full disk, a conversion",
         "e.zip",
         {"snap-1.png", "rec-b.pvf"},
         4096,
         false,
         cannotWrite + Strerror(EFBIG)},
        {"nothing readable",
         "e.zip",
         {"missing.png", "fifo.mp4"},
         0,
         false,
         "Nothing to export: none of the episode's files could be read"},
        {"cancelled", "e.zip", {}, 0, true, ""},
    };
    for (const auto& row : cases) {
        TempDir out;
        CalorviewTest::writeFile(out.file("file"), "x");
        const auto request = Request(out.file(row.zipName), row.names);
        std::atomic<bool> cancel{false};
        bool midway = false;
        int late = 0;  // reports after the cancel: it is seen within the file being copied
        EpisodeExporter::Result result;
        if (row.sizeLimit > 0) {
            result.error = ExportWithSizeLimit(request, row.sizeLimit);
        } else {
            result = EpisodeExporter::Export(
                request,
                [&](int64_t done, int64_t total) {
                    late += cancel ? 1 : 0;
                    midway = midway || (done > 0 && done < total);
                    cancel = row.cancelMidway && midway;
                },
                &cancel);
        }
        EXPECT_FALSE(result.ok) << row.what;
        EXPECT_EQ(result.error, row.error.arg(QString::fromStdString(request.zipPath))) << row.what;
        EXPECT_EQ(result.cancelled, row.cancelMidway) << row.what;
        EXPECT_EQ(midway, row.cancelMidway) << row.what;
        EXPECT_EQ(late, 0) << row.what;
        EXPECT_EQ(Names(out.path()), std::vector<std::string>{"file"}) << row.what;
    }
}

}  // namespace
