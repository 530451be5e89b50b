// PVF, our own crash-safe container (docs/pvf.md): a small header, then one self-checking record
// per frame. Each record goes to the sink in a single write and a failed write is cut back off,
// so the file only ever holds whole records; after a crash at most the record being written is
// torn, and PvfReader stops cleanly in front of it. Nothing is ever rewritten, so Finish() is
// only a Sync().
//
// Threads: one thread at a time (see ContainerWriter).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "media/ContainerWriter.h"
#include "media/FileSink.h"

namespace Media {

class PvfWriter : public ContainerWriter {
public:
    // `sink` must not be null. `creationTime`: seconds since 1970 (the camera clock when the
    // recording started), stored in the header.
    PvfWriter(std::unique_ptr<FileSink> sink, int64_t creationTime);
    PvfWriter(const PvfWriter&) = delete;
    PvfWriter& operator=(const PvfWriter&) = delete;

    // The header goes out with the first frame. Empty frames and frames over 16 MiB are
    // refused with EINVAL.
    bool WriteFrame(const EncodedFrame& frame) override;
    bool Sync() override;
    // Writes the header if no frame did, then syncs.
    bool Finish() override;
    int Error() const override { return m_error; }

private:
    void AppendHeader();
    bool WriteBuffer();

    std::unique_ptr<FileSink> m_sink;
    int64_t m_creationTime;
    bool m_headerWritten = false;
    std::vector<uint8_t> m_buffer;  // header (once) + one record, reused for every frame
    int m_error = 0;
};

}  // namespace Media
