// MP4 (H.264) through libavformat. While recording the file is fragmented MP4: a fragment per
// key frame (one a second), each appended whole and synced, so a crash loses at most the
// fragment being gathered. Finish() rewrites it as a progressive MP4 with its index in front
// (every player reads it and seeks at once), replacing the fragmented file atomically; if that
// fails the fragmented file stays as it is, still playable, and Error() says why.
//
// The rewrite goes to a new file beside the recording, NAME.XXXXXXXXXXXX.part with 12 random
// letters and digits, created exclusively: a file or link someone put there is never opened,
// followed or replaced. Files are opened by the program and handed to libavformat as
// descriptors (DescriptorIo), never by name, so a name with a colon ("clip-10:30.mp4",
// "pipe:1.mp4", a folder "ab:cd") is a name and not a URL.
//
// Threads: one thread at a time (see ContainerWriter).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/ContainerWriter.h"
#include "media/FileSink.h"

struct AVFormatContext;
struct AVIOContext;
struct AVPacket;

namespace Media {

class Mp4Writer : public ContainerWriter {
public:
    // `creationTime`: seconds since 1970, stored as the file's creation time; a non-empty
    // `comment` (UTF-8) is stored as its comment.
    Mp4Writer(std::unique_ptr<FileSink> sink, int64_t creationTime,
              const std::string& comment = std::string());
    ~Mp4Writer() override;
    Mp4Writer(const Mp4Writer&) = delete;
    Mp4Writer& operator=(const Mp4Writer&) = delete;

    // Frames before the first key frame are dropped (an MP4 takes its parameter sets from it).
    bool WriteFrame(const EncodedFrame& frame) override;
    bool Sync() override;
    bool Finish() override;
    int Error() const override { return m_error; }
    // After Finish(): true when the progressive rewrite was put in place of the fragmented file
    // (also if Finish() failed on the fragmented file's last bytes), with the rewrite's device
    // and inode, so that a caller removing a failed file can tell it from one put there since.
    bool Rewritten(uint64_t* device, uint64_t* inode) const {
        *device = m_rewrittenDevice;
        *inode = m_rewrittenInode;
        return m_rewritten;
    }

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    int m_error = 0;
    bool m_rewritten = false;
    uint64_t m_rewrittenDevice = 0;
    uint64_t m_rewrittenInode = 0;
};

}  // namespace Media
