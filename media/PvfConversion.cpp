#include "media/PvfConversion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "media/Mp4Writer.h"
#include "media/PosixFileSink.h"

namespace Media {

namespace {

// What an errno says; never "Success" for a failure that did not tell why. strerror_r: exports
// convert on worker threads.
std::string Reason(int error) {
    char text[256];
    return strerror_r(error != 0 ? error : EIO, text, sizeof text);
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
        m_sink = std::make_unique<PosixFileSink>(fd, path);
        return true;
    }
    std::unique_ptr<FileSink> TakeSink() { return std::move(m_sink); }
    // Removes the file if it is still the one created or the writer's rewrite of it, never
    // what someone else has put there since.
    void Remove(const Mp4Writer& writer) {
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
    std::unique_ptr<FileSink> m_sink;
};

PvfConversionResult Failed(PvfConversionResult::Outcome outcome, std::string reason) {
    PvfConversionResult result;
    result.outcome = outcome;
    result.reason = std::move(reason);
    return result;
}

}  // namespace

std::unique_ptr<PvfReader> OpenSummarizedPvf(const std::string& path, PvfReader::Summary* summary,
                                             std::string* error) {
    auto reader = PvfReader::Open(path, error);
    if (reader && !reader->Summarize(summary)) {
        *error = reader->ErrorText();
        reader.reset();
    }
    return reader;
}

PvfConversionResult ConvertPvfToMp4(const std::string& pvfPath, const std::string& mp4Path,
                                    const PvfProgress& progress) {
    using Outcome = PvfConversionResult::Outcome;
    // Read through once first so that nothing is created for a file without a playable frame.
    PvfReader::Summary summary;
    std::string error;
    const auto reader = OpenSummarizedPvf(pvfPath, &summary, &error);
    if (!reader) {
        return Failed(Outcome::kInputFailed, error);
    }
    if (summary.frames == 0) {
        return Failed(Outcome::kInputFailed, "no whole frame to copy");
    }
    if (summary.keyFrames == 0) {
        // An MP4 takes its decoder configuration from the key frame it begins with.
        return Failed(Outcome::kInputFailed, "no whole key frame to start from");
    }
    CreatedOutput output;
    int createError = 0;
    if (!output.Create(mp4Path, &createError)) {
        return Failed(Outcome::kOutputFailed, Reason(createError));
    }
    Mp4Writer writer(output.TakeSink(), summary.creationTime);
    auto failed = [&output, &writer](Outcome outcome, const std::string& reason) {
        output.Remove(writer);
        return Failed(outcome, reason);
    };
    PvfConversionResult result;
    EncodedFrame frame;
    while (reader->Next(&frame)) {
        if (!writer.WriteFrame(frame)) {
            return failed(Outcome::kOutputFailed, Reason(writer.Error()));
        }
        ++result.frames;
        if (progress && !progress(result.frames, summary.frames)) {
            return failed(Outcome::kStopped, "stopped");
        }
    }
    if (!reader->ErrorText().empty()) {
        return failed(Outcome::kInputFailed, reader->ErrorText());
    }
    if (!writer.Finish()) {
        return failed(Outcome::kOutputFailed, Reason(writer.Error()));
    }
    result.damagedBytes = summary.damagedTailBytes + summary.skippedBytes;
    return result;
}

}  // namespace Media
