// The pictures of one recording, MP4 or PVF, decoded with libavcodec's H.264 decoder for the
// History page's player. What the file is comes from its content, never its name: PVF by its
// magic, anything else must be an MP4 that libavformat reads through a descriptor we opened.
//
// Open() walks the whole file once to index its frames (time, key frame, where it is), so
// seeking needs no guessing and a damaged file is known for what it is before it plays: the
// frames that are whole play, and ErrorText() says what is missing. Timestamps count from the
// first playable frame.
//
// Threads: one thread at a time (the player's worker). Texts are translated (tr), so a
// QCoreApplication with its translator is set up first.
#pragma once

#include <QCoreApplication>
#include <QImage>
#include <QSize>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "media/PvfReader.h"

struct AVCodecContext;
struct AVCodecParameters;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;

class RecordingDecoder {
    Q_DECLARE_TR_FUNCTIONS(RecordingDecoder)

public:
    // Null with *error set to one line for the user ("Not a recording", "The file is missing",
    // ...) when nothing of the file can be played. A damaged file that still has whole frames
    // opens, with ErrorText() telling what is lost.
    static std::unique_ptr<RecordingDecoder> Open(const std::string& path, std::string* error);
    ~RecordingDecoder();
    RecordingDecoder(const RecordingDecoder&) = delete;
    RecordingDecoder& operator=(const RecordingDecoder&) = delete;

    int64_t FrameCount() const { return static_cast<int64_t>(m_Timestamps.size()); }
    // Last timestamp plus the last frame's interval, as an MP4 player counts; 0 for one frame.
    int64_t DurationUs() const { return m_DurationUs; }
    QSize FrameSize() const { return m_FrameSize; }
    // Every playable frame's time, rising.
    const std::vector<int64_t>& Timestamps() const { return m_Timestamps; }

    // Decodes the next frame into `image` (RGB32). False at the end of what is playable, or on
    // a read error (ErrorText() then tells).
    bool Next(QImage* image, int64_t* timestampUs);
    // The next Next() returns the frame at `us` or the first after it; false, positioned at the
    // end, when no frame is there.
    bool Seek(int64_t us);

    // Empty for a whole file; else why some of it cannot be played, one line for the user.
    const std::string& ErrorText() const { return m_Error; }

private:
    // One playable frame, in decoding order.
    struct Frame {
        int64_t us = 0;        // the file's own time, microseconds
        int64_t position = 0;  // PVF: record ordinal; MP4: decoding timestamp, stream time base
        bool key = false;
    };

    RecordingDecoder() = default;
    // Each indexes the file and returns why it cannot be played at all (empty when it can),
    // leaving what is lost of a damaged one in m_Error.
    std::string IndexPvf(const std::string& path);
    std::string IndexMp4();
    // Opens the H.264 decoder (`parameters`: the MP4's; null for PVF, whose key frames carry
    // their parameter sets) and decodes the first picture for the size.
    std::string Start(const AVCodecParameters* parameters);
    // The next frame's packet into m_pPacket, timestamps in microseconds.
    bool ReadPacket();
    bool Convert(QImage* image);
    // "The file cannot be read (why)".
    static std::string CannotRead(const char* why);

    std::unique_ptr<Media::PvfReader> m_pPvf;
    int64_t m_PvfOrdinal = 0;  // the record the PVF reader returns next
    int m_Fd = -1;             // MP4 only; the file libavformat reads through m_pIo
    AVIOContext* m_pIo = nullptr;
    AVFormatContext* m_pFormat = nullptr;
    int m_Stream = -1;
    AVCodecContext* m_pCodec = nullptr;
    AVPacket* m_pPacket = nullptr;
    AVFrame* m_pFrame = nullptr;

    std::vector<Frame> m_Frames;
    std::vector<int64_t> m_Timestamps;  // from the first playable frame, sorted
    int64_t m_OriginUs = 0;             // the first playable frame's own time
    int64_t m_DurationUs = 0;
    QSize m_FrameSize;
    size_t m_ReadIndex = 0;      // the frame whose packet goes to the decoder next
    bool m_Draining = false;     // every packet sent, the decoder is being emptied
    int64_t m_DropBeforeUs = 0;  // frames before this, decoded after a seek, are not shown
    std::string m_Error;
};
