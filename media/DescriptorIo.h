// libavformat I/O through a descriptor the program opened itself. A file's name never reaches
// libavformat: given a name, it reads what comes before a colon as a protocol, so
// "clip-10:30.mp4" fails ("protocol not found"), "pipe:1.mp4" is standard output and a folder
// "ab:cd" cannot be opened at all.
//
// Threads: one context is used by one thread at a time.
#pragma once

struct AVIOContext;

namespace Media {

class DescriptorIo {
public:
    // A seekable AVIOContext on `fd` starting at offset 0, with its own position (pread and
    // pwrite), so that several contexts can share one descriptor. It reads and, if `writable`,
    // writes. The descriptor stays the caller's to close. Null when out of memory.
    static AVIOContext* Open(int fd, bool writable);
    // Writes out what is buffered and frees `*io` (null afterwards; null is fine). Returns the
    // first errno any I/O of the context met, 0 when none.
    static int Close(AVIOContext** io);
    // The first errno the context's I/O met so far, 0 when none (and for null).
    static int Error(const AVIOContext* io);
};

}  // namespace Media
