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
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "media/PvfConversion.h"

namespace {

constexpr int kFailed = 1;
constexpr int kUsage = 2;

int Usage() {
    std::fprintf(stderr, "usage: pvf-tool info FILE | pvf-tool to-mp4 FILE OUT.mp4 | --help\n");
    return kUsage;
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

int Info(const std::string& path) {
    Media::PvfReader::Summary summary;
    std::string error;
    if (!Media::OpenSummarizedPvf(path, &summary, &error)) {
        return Fail(path, error);
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

int ToMp4(const std::string& path, const std::string& outPath) {
    using Outcome = Media::PvfConversionResult::Outcome;
    const Media::PvfConversionResult result = Media::ConvertPvfToMp4(path, outPath);
    if (result.outcome != Outcome::kDone) {
        return Fail(result.outcome == Outcome::kInputFailed ? path : outPath, result.reason);
    }
    if (result.damagedBytes > 0) {
        std::fprintf(stderr, "pvf-tool: %s: %" PRId64 " damaged bytes left out\n", path.c_str(),
                     result.damagedBytes);
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
