// A PVF recording (docs/pvf.md) copied into a new MP4 record by record, without re-encoding:
// pvf-tool's to-mp4 and the History page's export both convert through here.
//
// The MP4 is created exclusively (O_EXCL | O_NOFOLLOW): an existing file or link under its name
// is never opened, followed or overwritten. A PVF without a whole key frame creates nothing (an
// MP4 must begin with one). A conversion that fails or is stopped removes the MP4 it created, or
// the writer's progressive rewrite that replaced it, never a file put under that name since.
// Both names are names, never URLs (see Mp4Writer).
//
// Threads: any thread; a conversion runs entirely on the thread that calls it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "media/PvfReader.h"

namespace Media {

struct PvfConversionResult {
    enum class Outcome : uint8_t { kDone, kInputFailed, kOutputFailed, kStopped };
    Outcome outcome = Outcome::kDone;
    // One line on what failed: the PVF (kInputFailed: "not a PVF file", "no whole key frame to
    // start from", ...) or the MP4 (kOutputFailed: the errno's text, "File exists", ...).
    std::string reason;
    int64_t frames = 0;        // copied, when done
    int64_t damagedBytes = 0;  // damaged parts of the PVF left out, when done
};

// Called after each frame copied, with the frames copied so far and the PVF's whole frames;
// returning false stops the conversion (kStopped).
using PvfProgress = std::function<bool(int64_t copied, int64_t total)>;

// Opens the PVF `path` and reads it through once; null, with *error one line, when either fails.
std::unique_ptr<PvfReader> OpenSummarizedPvf(const std::string& path, PvfReader::Summary* summary,
                                             std::string* error);

PvfConversionResult ConvertPvfToMp4(const std::string& pvfPath, const std::string& mp4Path,
                                    const PvfProgress& progress = nullptr);

}  // namespace Media
