// One snapshot from a copied frame to its PNG file: the frame converted to RGB, its camera time
// burnt in, encoded with the frame's facts in the text chunks (a frame without colour, the
// camera's own grey picture, goes straight from its luma to a grey PNG: only the time's rows
// pass through RGB, and the result is the very picture the RGB path gives), and written under a
// temporary name that becomes the real one only when the file is complete, never over an
// existing file ("_1", "_2", ... when the name is taken). Optionally a thumbnail of the written
// picture.
//
// Threads: a writer is used by one thread at a time; its buffers are kept between snapshots
// (during an alarm one is saved for nearly every frame). Fonts for the burn-in need a
// QGuiApplication.
#pragma once

#include <QImage>
#include <QSize>
#include <cstdint>
#include <string>
#include <vector>

#include "media/PngWriter.h"
#include "video/FrameFacts.h"

// What to save: a whole frame with its own time of day and facts, and where.
struct SnapshotRequest {
    std::vector<unsigned char> frame;  // UYVY, width x height x 2 bytes
    int width = 0;
    int height = 0;
    int timeOfDay = 0;  // seconds since midnight, burnt in as "hh:mm:ss"
    FrameFacts facts;
    std::string path;     // the wanted name (local 8-bit)
    QSize thumbnailSize;  // empty: no thumbnail
    // The file's data, then its name, reach the disk before Write returns (fdatasync before the
    // rename, the folder's fsync after it): for a snapshot that a log line or an event will
    // name, so that after a power cut the name never leads to an empty file.
    bool durable = false;
};

struct SnapshotResult {
    std::string path;  // the name written; empty when nothing was
    QImage thumbnail;  // the written picture scaled by nearest pixels, as Qt's fast scaling
};

class SnapshotWriter {
public:
    // True when the file is complete under result->path.
    bool Write(const SnapshotRequest& request, SnapshotResult* result);

private:
    // m_Png into a new file at `path` or its first free "_N" name, durable when asked; that
    // name, or empty.
    std::string WriteNewFile(const std::string& path, bool durable) const;
    // m_Grey as the picture with its time burnt in, when the frame has no colour: every chroma
    // sample 128, which the conversion turns into R = G = B = Y. False for a coloured frame.
    bool GreyPicture(const SnapshotRequest& request);
    // `samples` (1 grey or 3 RGB bytes a pixel) scaled to `size`.
    static QImage Thumbnail(const unsigned char* samples, int channels, int width, int height,
                            QSize size);

    std::vector<unsigned char> m_Rgb;   // the picture, time burnt in; a grey one's time rows only
    std::vector<unsigned char> m_Grey;  // a grey picture, time burnt in
    Media::PngWriter m_PngWriter;
    std::vector<uint8_t> m_Png;
};
