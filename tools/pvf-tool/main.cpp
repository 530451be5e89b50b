// pvf-tool: looks into PVF recordings (docs/pvf.md) and turns them into MP4.
//
//   pvf-tool info FILE              size, frames, duration, key frames, creation time, damage
//   pvf-tool to-mp4 FILE OUT.mp4    copies every whole record into a new MP4 (no re-encode)
//
// Exit status: 0 done, 1 failed (one line on stderr says why), 2 wrong usage.
//
// Names are names: FILE and OUT.mp4 are opened by the program itself, never handed to
// libavformat as URLs ("clip-10:30.mp4", "pipe:1.mp4"). FILE must be a regular file (a FIFO is
// refused, never waited on). A conversion that fails, or has nothing playable to write, exits 1
// and removes the OUT.mp4 it created.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "media/Mp4Writer.h"
#include "media/PosixFileSink.h"
#include "media/PvfReader.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

int Usage() {
    std::fprintf(stderr, "usage: pvf-tool info FILE | pvf-tool to-mp4 FILE OUT.mp4 | --help\n");
    return kUsage;
}

// What an errno says; never "Success" for a failure that did not tell why.
std::string Reason(int error) {
    return std::strerror(error != 0 ? error : EIO);
}

int Fail(const std::string& subject, const std::string& reason) {
    std::fprintf(stderr, "pvf-tool: %s: %s\n", subject.c_str(), reason.c_str());
    return kFailed;
}

void Help() {
    std::printf(
        "usage: pvf-tool info FILE\n"
        "       pvf-tool to-mp4 FILE OUT.mp4\n"
        "\n"
        "info     prints the file's size, frame count, duration, key frames, creation time\n"
        "         (local time) and whether its end is damaged (what a crash leaves)\n"
        "to-mp4   writes every whole frame record into the new file OUT.mp4 as it is\n"
        "         (no re-encoding); an existing OUT.mp4 is never overwritten, and a\n"
        "         conversion that fails or finds no whole key frame leaves no OUT.mp4\n"
        "\n"
        "FILE must be a regular file. FILE and OUT.mp4 are file names, never URLs.\n"
        "Exit status: 0 done, 1 failed (one line on stderr says why), 2 wrong usage.\n");
}

// ISO 8601 in local time with the UTC offset, e.g. 2024-05-01T13:45:12+02:00.
std::string LocalIsoTime(int64_t seconds) {
    const time_t time = static_cast<time_t>(seconds);
    struct tm local = {};
    if (localtime_r(&time, &local) == nullptr) {
        return std::to_string(seconds) + " s since 1970";
    }
    char text[64];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    const long offsetMinutes = local.tm_gmtoff / 60;
    const long absolute = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    std::snprintf(text + length, sizeof text - length, "%c%02ld:%02ld",
                  offsetMinutes < 0 ? '-' : '+', absolute / 60, absolute % 60);
    return text;
}

// Opens `path` and reads it through once; null, after saying why, when either fails.
std::unique_ptr<Media::PvfReader> OpenSummarized(const std::string& path,
                                                 Media::PvfReader::Summary* summary) {
    std::string error;
    auto reader = Media::PvfReader::Open(path, &error);
    if (!reader) {
        Fail(path, error);
    } else if (!reader->Summarize(summary)) {
        Fail(path, reader->ErrorText());
        reader.reset();
    }
    return reader;
}

int Info(const std::string& path) {
    Media::PvfReader::Summary summary;
    if (!OpenSummarized(path, &summary)) {
        return kFailed;
    }
    std::printf("size: %" PRId64 " bytes\n", summary.fileSize);
    std::printf("frames: %" PRId64 "\n", summary.frames);
    std::printf("duration: %.3f s\n", static_cast<double>(summary.durationUs) / 1e6);
    std::printf("key frames: %" PRId64 "\n", summary.keyFrames);
    std::printf("created: %s\n", LocalIsoTime(summary.creationTime).c_str());
    if (summary.skippedRegions > 0) {
        std::printf("damaged inside: %" PRId64 " bytes in %" PRId64 " %s, skipped\n",
                    summary.skippedBytes, summary.skippedRegions,
                    summary.skippedRegions == 1 ? "place" : "places");
    }
    if (summary.damagedTailBytes > 0) {
        std::printf("damaged tail: %" PRId64 " bytes at offset %" PRId64 "\n",
                    summary.damagedTailBytes, summary.damagedTailOffset);
    } else {
        std::printf("damaged tail: none\n");
    }
    return 0;
}

// The output file a conversion created, removed again when the conversion fails. Only that
// file: if something else has taken its name meanwhile, it stays.
class CreatedOutput {
public:
    // Creates `path` exclusively (an existing file or link there is never opened).
    bool Create(const std::string& path, int* error) {
        int fd;
        do {
            fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0 || ::fstat(fd, &m_status) != 0) {
            *error = errno;
            if (fd >= 0) {
                ::close(fd);
                ::unlink(path.c_str());
            }
            return false;
        }
        m_path = path;
        m_sink = std::make_unique<Media::PosixFileSink>(fd, path);
        return true;
    }
    std::unique_ptr<Media::FileSink> TakeSink() { return std::move(m_sink); }
    // Removes the file if it is still the one created or the writer's rewrite of it, never
    // what someone else has put there since.
    void Remove(const Media::Mp4Writer& writer) {
        m_sink.reset();
        uint64_t device = 0;
        uint64_t inode = 0;
        const bool rewritten = writer.Rewritten(&device, &inode);
        struct stat now = {};
        if (m_path.empty() || ::lstat(m_path.c_str(), &now) != 0) {
            return;
        }
        const bool created = now.st_dev == m_status.st_dev && now.st_ino == m_status.st_ino;
        const bool rewrite = rewritten && static_cast<uint64_t>(now.st_dev) == device &&
                             static_cast<uint64_t>(now.st_ino) == inode;
        if (created || rewrite) {
            ::unlink(m_path.c_str());
        }
    }

private:
    std::string m_path;
    struct stat m_status = {};
    std::unique_ptr<Media::FileSink> m_sink;
};

int ToMp4(const std::string& path, const std::string& outPath) {
    // Read through once first so that nothing is created for a file without a playable frame.
    Media::PvfReader::Summary summary;
    const auto reader = OpenSummarized(path, &summary);
    if (!reader) {
        return kFailed;
    }
    if (summary.frames == 0) {
        return Fail(path, "no whole frame to copy");
    }
    if (summary.keyFrames == 0) {
        return Fail(path, "no whole key frame to start from");  // an MP4 needs one to begin
    }
    CreatedOutput output;
    int createError = 0;
    if (!output.Create(outPath, &createError)) {
        return Fail(outPath, std::strerror(createError));
    }
    Media::Mp4Writer writer(output.TakeSink(), summary.creationTime);
    auto failed = [&output, &writer](const std::string& subject, const std::string& reason) {
        output.Remove(writer);
        return Fail(subject, reason);
    };
    Media::EncodedFrame frame;
    while (reader->Next(&frame)) {
        if (!writer.WriteFrame(frame)) {
            return failed(outPath, Reason(writer.Error()));
        }
    }
    if (!reader->ErrorText().empty()) {
        return failed(path, reader->ErrorText());
    }
    if (!writer.Finish()) {
        return failed(outPath, Reason(writer.Error()));
    }
    const int64_t damaged = summary.damagedTailBytes + summary.skippedBytes;
    if (damaged > 0) {
        std::fprintf(stderr, "pvf-tool: %s: %" PRId64 " damaged bytes left out\n", path.c_str(),
                     damaged);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        Help();
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "info") == 0) {
        return Info(argv[2]);
    }
    if (argc == 4 && std::strcmp(argv[1], "to-mp4") == 0) {
        return ToMp4(argv[2], argv[3]);
    }
    return Usage();
}
