#include "history/RecordingDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixfmt.h>
}

#include <fcntl.h>
#include <libyuv/convert_argb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "media/DescriptorIo.h"
#include "media/PvfFormat.h"

namespace {

constexpr AVRational kMicroseconds = {1, 1000000};

std::string Text(const QString& text) {
    return text.toStdString();
}

}  // namespace

std::unique_ptr<RecordingDecoder> RecordingDecoder::Open(const std::string& path,
                                                         std::string* error) {
    int fd;
    do {
        // Without waiting: a FIFO is refused below, never waited on.
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int code = errno;
        *error = code == ENOENT                    ? Text(tr("The file is missing"))
                 : code == EACCES || code == EPERM ? Text(tr("The file may not be read"))
                                                   : CannotRead(std::strerror(code));
        return nullptr;
    }
    std::unique_ptr<RecordingDecoder> decoder(new RecordingDecoder);
    decoder->m_Fd = fd;
    struct stat status = {};
    uint8_t magic[sizeof Media::Pvf::kMagic] = {};
    std::string fatal;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        fatal = Text(tr("Not a recording (not a regular file)"));
    } else if (status.st_size == 0) {
        fatal = Text(tr("The recording is empty"));
    } else if (::pread(fd, magic, sizeof magic, 0) == static_cast<ssize_t>(sizeof magic) &&
               std::memcmp(magic, Media::Pvf::kMagic, sizeof magic) == 0) {
        ::close(std::exchange(decoder->m_Fd, -1));  // the PVF reader opens it itself
        fatal = decoder->IndexPvf(path);
    } else {
        fatal = decoder->IndexMp4();
    }
    if (fatal.empty()) {
        fatal = decoder->Start(decoder->m_pFormat != nullptr
                                   ? decoder->m_pFormat->streams[decoder->m_Stream]->codecpar
                                   : nullptr);
    }
    if (!fatal.empty()) {
        *error = fatal;
        return nullptr;
    }
    return decoder;
}

RecordingDecoder::~RecordingDecoder() {
    av_frame_free(&m_pFrame);
    av_packet_free(&m_pPacket);
    avcodec_free_context(&m_pCodec);
    avformat_close_input(&m_pFormat);
    Media::DescriptorIo::Close(&m_pIo);
    if (m_Fd >= 0) {
        ::close(m_Fd);
    }
}

std::string RecordingDecoder::IndexPvf(const std::string& path) {
    std::string error;
    m_pPvf = Media::PvfReader::Open(path, &error);
    if (!m_pPvf) {
        return Text(tr("The recording's header is damaged or of an unknown version"));
    }
    Media::EncodedFrame frame;
    for (int64_t ordinal = 0; m_pPvf->Next(&frame); ++ordinal) {
        // Nothing before the first key frame can be decoded.
        if (frame.keyFrame || !m_Frames.empty()) {
            m_Frames.push_back({frame.timestampUs, ordinal, frame.keyFrame});
        }
    }
    if (!m_pPvf->ErrorText().empty()) {
        return CannotRead(m_pPvf->ErrorText().c_str());
    }
    const auto playable = static_cast<qlonglong>(m_Frames.size());
    if (m_pPvf->DamagedTailOffset() < m_pPvf->FileSize()) {
        m_Error = Text(tr("The file ends early: %1 frames playable").arg(playable));
    } else if (m_pPvf->SkippedRegions() > 0) {
        m_Error = Text(tr("The file is damaged in places: %1 frames playable").arg(playable));
    }
    m_pPvf->Rewind();
    return {};
}

std::string RecordingDecoder::IndexMp4() {
    m_pIo = Media::DescriptorIo::Open(m_Fd, false);
    m_pFormat = avformat_alloc_context();
    if (m_pIo == nullptr || m_pFormat == nullptr) {
        return CannotRead(std::strerror(ENOMEM));
    }
    m_pFormat->pb = m_pIo;
    m_pFormat->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Only the MP4 reader: recordings are nothing else, and no other format's reader (playlists
    // that open further files among them) ever sees what the user picked.
    if (avformat_open_input(&m_pFormat, nullptr, av_find_input_format("mp4"), nullptr) < 0) {
        return Text(tr("Not a recording"));  // the context is freed and null
    }
    m_Stream = av_find_best_stream(m_pFormat, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (m_Stream < 0 || m_pFormat->streams[m_Stream]->codecpar->codec_id != AV_CODEC_ID_H264) {
        return Text(tr("Not a recording"));
    }
    for (unsigned i = 0; i < m_pFormat->nb_streams; ++i) {
        m_pFormat->streams[i]->discard =
            static_cast<int>(i) == m_Stream ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    const AVStream* stream = m_pFormat->streams[m_Stream];
    AVPacket* packet = av_packet_alloc();
    if (packet == nullptr) {
        return CannotRead(std::strerror(ENOMEM));
    }
    // A sample the file ends inside of comes back marked corrupt; a torn fragment ends the
    // reading with an error rather than the end of the file.
    bool cut = false;
    for (;;) {
        const int result = av_read_frame(m_pFormat, packet);
        if (result < 0) {
            cut = result != AVERROR_EOF;
            break;
        }
        if ((packet->flags & AV_PKT_FLAG_CORRUPT) != 0) {
            cut = true;
            break;
        }
        const bool key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
        if (key || !m_Frames.empty()) {
            const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            m_Frames.push_back(
                {av_rescale_q(time, stream->time_base, kMicroseconds), packet->dts, key});
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    if (const int error = Media::DescriptorIo::Error(m_pIo); error != 0) {
        return CannotRead(std::strerror(error));
    }
    const auto playable = static_cast<qlonglong>(m_Frames.size());
    // A finished recording lists its frames in front; a fragmented one (the recording stopped
    // by a crash) does not, and only a torn fragment shows it was cut.
    if (stream->nb_frames > playable) {
        m_Error = Text(tr("The file ends early: %1 of %2 frames playable")
                           .arg(playable)
                           .arg(static_cast<qlonglong>(stream->nb_frames)));
    } else if (cut) {
        m_Error = Text(tr("The file ends early: %1 frames playable").arg(playable));
    }
    return {};
}

std::string RecordingDecoder::Start(const AVCodecParameters* parameters) {
    if (m_Frames.empty()) {
        return Text(tr("The recording holds no playable picture"));
    }
    m_OriginUs = std::min_element(m_Frames.begin(), m_Frames.end(), [](auto& a, auto& b) {
                     return a.us < b.us;
                 })->us;
    for (const Frame& frame : m_Frames) {
        m_Timestamps.push_back(frame.us - m_OriginUs);
    }
    std::sort(m_Timestamps.begin(), m_Timestamps.end());
    if (m_Timestamps.size() >= 2) {
        const int64_t last = m_Timestamps.back();
        m_DurationUs = last + (last - m_Timestamps[m_Timestamps.size() - 2]);
    }

    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    m_pCodec = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    m_pPacket = av_packet_alloc();
    m_pFrame = av_frame_alloc();
    if (m_pCodec == nullptr || m_pPacket == nullptr || m_pFrame == nullptr ||
        (parameters != nullptr && avcodec_parameters_to_context(m_pCodec, parameters) < 0)) {
        return Text(tr("The recording cannot be decoded"));
    }
    // One thread: the player runs beside the live camera's capture and encoding, and one core
    // decodes a thermal picture many times faster than it plays.
    m_pCodec->thread_count = 1;
    m_pCodec->pkt_timebase = kMicroseconds;
    if (avcodec_open2(m_pCodec, codec, nullptr) < 0) {
        return Text(tr("The recording cannot be decoded"));
    }

    // The damage found while indexing is set aside: here only a failure to start counts.
    std::string damage = std::exchange(m_Error, {});
    QImage first;
    int64_t timestamp = 0;
    if (!Seek(0) || !Next(&first, &timestamp)) {
        return m_Error.empty() ? Text(tr("The recording holds no playable picture")) : m_Error;
    }
    m_FrameSize = first.size();
    m_Error = std::move(damage);
    Seek(0);
    return {};
}

bool RecordingDecoder::ReadPacket() {
    if (m_ReadIndex >= m_Frames.size()) {
        return false;
    }
    const Frame& wanted = m_Frames[m_ReadIndex];
    av_packet_unref(m_pPacket);
    if (m_pPvf) {
        Media::EncodedFrame frame;
        for (; m_PvfOrdinal <= wanted.position; ++m_PvfOrdinal) {
            if (!m_pPvf->Next(&frame)) {
                // Only a read error, or a file changed since it was indexed, ends it early.
                m_Error = m_pPvf->ErrorText().empty() ? Text(tr("The file changed while playing"))
                                                      : CannotRead(m_pPvf->ErrorText().c_str());
                return false;
            }
        }
        if (av_new_packet(m_pPacket, static_cast<int>(frame.size)) < 0) {
            return false;
        }
        std::memcpy(m_pPacket->data, frame.data, frame.size);
        m_pPacket->pts = m_pPacket->dts = wanted.us;
        m_pPacket->flags = wanted.key ? AV_PKT_FLAG_KEY : 0;
    } else {
        // After a seek the reader may start before the key frame asked for.
        for (;;) {
            if (av_read_frame(m_pFormat, m_pPacket) < 0) {
                if (const int error = Media::DescriptorIo::Error(m_pIo); error != 0) {
                    m_Error = CannotRead(std::strerror(error));
                }
                return false;
            }
            if (m_pPacket->dts >= wanted.position) {
                break;
            }
            av_packet_unref(m_pPacket);
        }
        av_packet_rescale_ts(m_pPacket, m_pFormat->streams[m_Stream]->time_base, kMicroseconds);
    }
    ++m_ReadIndex;
    return true;
}

bool RecordingDecoder::Next(QImage* image, int64_t* timestampUs) {
    for (;;) {
        const int received = avcodec_receive_frame(m_pCodec, m_pFrame);
        if (received == 0) {
            const int64_t time =
                m_pFrame->pts != AV_NOPTS_VALUE ? m_pFrame->pts : m_pFrame->best_effort_timestamp;
            const int64_t us = time - m_OriginUs;
            const bool shown = us >= m_DropBeforeUs;
            const bool converted = shown && Convert(image);
            av_frame_unref(m_pFrame);
            if (!shown) {
                continue;
            }
            if (!converted) {
                m_Error = Text(tr("The recording cannot be decoded"));
                return false;
            }
            *timestampUs = us;
            return true;
        }
        if (received != AVERROR(EAGAIN)) {
            return false;  // drained, or the decoder failed for good
        }
        if (m_Draining) {
            return false;
        }
        if (ReadPacket()) {
            // A packet the decoder rejects is skipped; it conceals what refers to it.
            avcodec_send_packet(m_pCodec, m_pPacket);
            av_packet_unref(m_pPacket);
        } else {
            // Everything is sent (or the file failed): what the decoder holds still shows.
            m_Draining = true;
            avcodec_send_packet(m_pCodec, nullptr);
        }
    }
}

bool RecordingDecoder::Seek(int64_t us) {
    avcodec_flush_buffers(m_pCodec);
    m_Draining = false;
    const auto at =
        std::lower_bound(m_Timestamps.begin(), m_Timestamps.end(), std::max<int64_t>(us, 0));
    if (at == m_Timestamps.end()) {
        m_ReadIndex = m_Frames.size();
        return false;
    }
    m_DropBeforeUs = *at;
    // Decoding starts at the last key frame at or before the target, in decoding order.
    size_t key = 0;
    for (size_t i = 0; i < m_Frames.size() && m_Frames[i].us - m_OriginUs <= *at; ++i) {
        if (m_Frames[i].key) {
            key = i;
        }
    }
    m_ReadIndex = key;
    if (m_pPvf) {
        // The reader only goes forward; ReadPacket skips up to the key frame.
        if (m_Frames[key].position < m_PvfOrdinal) {
            m_pPvf->Rewind();
            m_PvfOrdinal = 0;
        }
        return true;
    }
    if (av_seek_frame(m_pFormat, m_Stream, m_Frames[key].position, AVSEEK_FLAG_BACKWARD) < 0) {
        m_ReadIndex = m_Frames.size();
        m_Error = CannotRead(std::strerror(EIO));
        return false;
    }
    return true;
}

std::string RecordingDecoder::CannotRead(const char* why) {
    return Text(tr("The file cannot be read (%1)").arg(QString::fromLocal8Bit(why)));
}

bool RecordingDecoder::Convert(QImage* image) {
    const AVFrame& frame = *m_pFrame;
    if (frame.format != AV_PIX_FMT_YUV420P && frame.format != AV_PIX_FMT_YUVJ420P) {
        return false;
    }
    QImage out(frame.width, frame.height, QImage::Format_RGB32);
    if (out.isNull()) {
        return false;
    }
    // Our recordings hold full-range values (Rgb24ToI420's formulas) without saying so; only a
    // stream that says it is limited-range gets the studio-swing conversion. libyuv's ARGB is
    // B, G, R, A in memory: QImage's RGB32 on this little-endian machine.
    const bool limited =
        frame.color_range == AVCOL_RANGE_MPEG && frame.format != AV_PIX_FMT_YUVJ420P;
    const auto convert = limited ? &libyuv::I420ToARGB : &libyuv::J420ToARGB;
    convert(frame.data[0], frame.linesize[0], frame.data[1], frame.linesize[1], frame.data[2],
            frame.linesize[2], out.bits(), static_cast<int>(out.bytesPerLine()), frame.width,
            frame.height);
    *image = std::move(out);
    return true;
}
