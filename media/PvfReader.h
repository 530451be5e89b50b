// Reads a PVF file (docs/pvf.md): checks the header, then walks the records, skipping any that
// fail their checks. Works on a file cut short by a crash: everything after the last whole,
// valid record is reported as a damaged tail. A file still being written reads as it was at
// Open(); its last record may show as a damaged tail.
//
// Threads: one thread at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/ContainerWriter.h"

namespace Media {

class PvfReader {
public:
    struct Summary {
        int64_t fileSize = 0;
        int64_t frames = 0;
        int64_t keyFrames = 0;
        // Last timestamp minus first, plus the last frame's interval (the one before it), the
        // length an MP4 player shows; 0 for fewer than two frames.
        int64_t durationUs = 0;
        int64_t creationTime = 0;  // seconds since 1970
        // Bytes after the last valid record; damagedTailBytes 0 when the file ends cleanly.
        int64_t damagedTailOffset = 0;
        int64_t damagedTailBytes = 0;
        // Damage between valid records, skipped by searching for the next record.
        int64_t skippedBytes = 0;
        int64_t skippedRegions = 0;
    };

    // Null with *error set to one line ("not a PVF file", "unsupported PVF version 2",
    // "cannot open: <reason>", ...) when the file cannot be read as PVF.
    static std::unique_ptr<PvfReader> Open(const std::string& path, std::string* error);
    ~PvfReader();
    PvfReader(const PvfReader&) = delete;
    PvfReader& operator=(const PvfReader&) = delete;

    int64_t CreationTime() const { return m_creationTime; }
    int64_t FileSize() const { return m_fileSize; }

    // The next valid record; frame->data stays valid until the next call. False at the end,
    // or on a read error (ErrorText() then not empty).
    bool Next(EncodedFrame* frame);
    // Back to the first record.
    void Rewind();
    // Reads every record from the start, then rewinds. False on a read error (ErrorText()).
    bool Summarize(Summary* summary);

    // After Next() returned false: where the valid records ended (file size when clean).
    int64_t DamagedTailOffset() const { return m_tailOffset; }
    int64_t SkippedBytes() const { return m_skippedBytes; }
    int64_t SkippedRegions() const { return m_skippedRegions; }
    const std::string& ErrorText() const { return m_errorText; }

private:
    enum class Check { Valid, Invalid, ReadError };

    PvfReader(int fd, int64_t fileSize, int64_t headerSize, int64_t creationTime);
    bool ReadAt(int64_t offset, void* data, size_t size);
    Check CheckRecord(int64_t offset, EncodedFrame* frame, int64_t* recordSize);
    Check FindRecord(int64_t from, int64_t* found, EncodedFrame* frame, int64_t* recordSize);

    int m_fd;
    int64_t m_fileSize;
    int64_t m_headerSize;
    int64_t m_creationTime;
    int64_t m_position;
    int64_t m_tailOffset;
    int64_t m_skippedBytes = 0;
    int64_t m_skippedRegions = 0;
    std::vector<uint8_t> m_payload;  // the current record's payload, reused
    std::vector<uint8_t> m_scan;     // search window when looking for the next record
    std::string m_errorText;
};

}  // namespace Media
