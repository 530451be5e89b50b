#include "media/Mp4Writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include "media/AnnexB.h"

namespace Media {

namespace {

constexpr AVRational kMicroseconds{1, 1000000};
constexpr AVRational kVideoTimeBase{1, 90000};
constexpr int kIoBufferSize = 64 * 1024;
// One frame at the nominal 25 fps: the length given to a recording's last frame when there is
// no earlier interval to copy.
constexpr int64_t kNominalFrameUs = 40000;

// "2026-12-07T08:15:00.000000Z", how MP4 metadata spells a creation time.
std::string IsoUtc(int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    gmtime_r(&t, &utc);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000000Z", &utc);
    return text;
}

// Width and height from the parameter sets of a key frame, as libavcodec's parser reads them.
bool PictureSize(const uint8_t* data, size_t size, int* width, int* height) {
    AVCodecParserContext* parser = av_parser_init(AV_CODEC_ID_H264);
    AVCodecContext* context = avcodec_alloc_context3(nullptr);
    bool found = false;
    if (parser != nullptr && context != nullptr) {
        parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
        uint8_t* out = nullptr;
        int outSize = 0;
        av_parser_parse2(parser, context, &out, &outSize, data, static_cast<int>(size),
                         AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
        *width = parser->width > 0 ? parser->width : context->width;
        *height = parser->height > 0 ? parser->height : context->height;
        found = *width > 0 && *height > 0;
    }
    avcodec_free_context(&context);
    av_parser_close(parser);
    return found;
}

bool SyncPath(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Rewrites the fragmented MP4 at `path` as a progressive one with the index in front, then
// puts it in place of the original in one rename. On any failure the original stays.
// `lastDuration` (in kVideoTimeBase) is the last frame's: the demuxer does not return it.
bool MakeProgressive(const std::string& path, int64_t lastDuration) {
    const std::string temp = path + ".part";
    AVFormatContext* in = nullptr;
    AVFormatContext* out = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVDictionary* options = nullptr;
    bool ok = packet != nullptr && avformat_open_input(&in, path.c_str(), nullptr, nullptr) == 0 &&
              in->nb_streams == 1 &&
              avformat_alloc_output_context2(&out, nullptr, "mp4", temp.c_str()) >= 0;
    AVStream* stream = ok ? avformat_new_stream(out, nullptr) : nullptr;
    ok = ok && stream != nullptr &&
         avcodec_parameters_copy(stream->codecpar, in->streams[0]->codecpar) >= 0;
    if (ok) {
        stream->codecpar->codec_tag = 0;
        stream->time_base = in->streams[0]->time_base;
        for (const char* key : {"creation_time", "comment"}) {
            if (const AVDictionaryEntry* entry = av_dict_get(in->metadata, key, nullptr, 0)) {
                av_dict_set(&out->metadata, key, entry->value, 0);
            }
        }
        av_dict_set(&options, "movflags", "+faststart", 0);
        ok = avio_open(&out->pb, temp.c_str(), AVIO_FLAG_WRITE) >= 0 &&
             avformat_write_header(out, &options) >= 0;
    }
    // Each packet waits for the next, so the last one can be given its real duration.
    AVPacket* next = av_packet_alloc();
    bool holding = false;
    while (ok && next != nullptr && av_read_frame(in, next) >= 0) {
        av_packet_rescale_ts(next, in->streams[0]->time_base, stream->time_base);
        next->stream_index = 0;
        next->pos = -1;
        if (holding) {
            ok = av_write_frame(out, packet) >= 0;
            av_packet_unref(packet);
        }
        av_packet_move_ref(packet, next);
        holding = true;
    }
    if (ok && holding) {
        packet->duration = av_rescale_q(lastDuration, kVideoTimeBase, stream->time_base);
        ok = av_write_frame(out, packet) >= 0;
        av_packet_unref(packet);
    }
    av_packet_free(&next);
    ok = ok && av_write_trailer(out) >= 0;
    if (out != nullptr) {
        ok = avio_closep(&out->pb) >= 0 && ok;
    }
    avformat_free_context(out);
    avformat_close_input(&in);
    av_packet_free(&packet);
    av_dict_free(&options);

    const std::string folder = std::filesystem::path(path).parent_path().string();
    ok = ok && SyncPath(temp, O_RDONLY) && std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        std::remove(temp.c_str());
        return false;
    }
    SyncPath(folder.empty() ? "." : folder, O_RDONLY | O_DIRECTORY);
    return true;
}

}  // namespace

struct Mp4Writer::Impl {
    std::unique_ptr<FileSink> sink;
    int64_t creationTime = 0;
    std::string comment;
    AVFormatContext* context = nullptr;
    AVStream* stream = nullptr;
    AVPacket* packet = nullptr;
    std::vector<uint8_t> pending;  // muxer output not yet in the file

    // Each frame waits for the next one, which tells its duration.
    std::vector<uint8_t> held;
    int64_t heldPts = 0;
    bool heldKey = false;
    bool holding = false;
    int64_t lastDuration = 0;
    int64_t lastPts = -1;

    static int Collect(void* opaque, uint8_t* data, int size) {
        auto* self = static_cast<Impl*>(opaque);
        self->pending.insert(self->pending.end(), data, data + size);
        return size;
    }

    ~Impl() {
        if (context != nullptr) {
            if (context->pb != nullptr) {
                av_freep(&context->pb->buffer);
                avio_context_free(&context->pb);
            }
            avformat_free_context(context);
        }
        av_packet_free(&packet);
    }

    bool Start(const EncodedFrame& frame) {
        int width = 0;
        int height = 0;
        if (!PictureSize(frame.data, frame.size, &width, &height) ||
            avformat_alloc_output_context2(&context, nullptr, "mp4", nullptr) < 0) {
            return false;
        }
        packet = av_packet_alloc();
        auto* ioBuffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
        AVIOContext* io = ioBuffer == nullptr ? nullptr
                                              : avio_alloc_context(ioBuffer, kIoBufferSize, 1, this,
                                                                   nullptr, &Collect, nullptr);
        if (io == nullptr) {
            av_free(ioBuffer);
            return false;
        }
        io->seekable = 0;
        context->pb = io;
        context->flags |= AVFMT_FLAG_CUSTOM_IO;
        stream = avformat_new_stream(context, nullptr);
        if (packet == nullptr || stream == nullptr) {
            return false;
        }
        // The decoder configuration is the key frame's parameter sets, everything before its
        // first picture slice.
        const size_t configSize =
            static_cast<size_t>(FirstSlice(frame.data, frame.size) - frame.data);
        AVCodecParameters* par = stream->codecpar;
        par->codec_type = AVMEDIA_TYPE_VIDEO;
        par->codec_id = AV_CODEC_ID_H264;
        par->width = width;
        par->height = height;
        par->extradata =
            static_cast<uint8_t*>(av_mallocz(configSize + AV_INPUT_BUFFER_PADDING_SIZE));
        if (par->extradata == nullptr) {
            return false;
        }
        std::copy(frame.data, frame.data + configSize, par->extradata);
        par->extradata_size = static_cast<int>(configSize);
        stream->time_base = kVideoTimeBase;
        av_dict_set(&context->metadata, "creation_time", IsoUtc(creationTime).c_str(), 0);
        if (!comment.empty()) {
            av_dict_set(&context->metadata, "comment", comment.c_str(), 0);
        }
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
        const bool ok = avformat_write_header(context, &options) >= 0;
        av_dict_free(&options);
        return ok;
    }

    // Writes the muxer's pending output as one append; a failed one is cut off again, so the
    // file only ever holds whole fragments.
    bool FlushPending() {
        avio_flush(context->pb);
        if (pending.empty()) {
            return true;
        }
        const int64_t good = sink->Size();
        const bool ok = sink->Write(pending.data(), pending.size());
        pending.clear();
        if (!ok) {
            sink->Truncate(good);
        }
        return ok;
    }

    bool WriteHeld(int64_t duration) {
        packet->data = held.data();
        packet->size = static_cast<int>(held.size());
        packet->pts = heldPts;
        packet->dts = heldPts;
        packet->duration = duration;
        packet->flags = heldKey ? AV_PKT_FLAG_KEY : 0;
        packet->stream_index = 0;
        const bool muxed = av_write_frame(context, packet) >= 0;
        lastDuration = duration;
        holding = false;
        return FlushPending() && muxed;
    }
};

Mp4Writer::Mp4Writer(std::unique_ptr<FileSink> sink, int64_t creationTime,
                     const std::string& comment)
    : m_impl(std::make_unique<Impl>()) {
    // libavformat's progress notes ("moving the moov atom...") are not the user's business.
    static const bool quiet = [] {
        av_log_set_level(AV_LOG_ERROR);
        return true;
    }();
    (void)quiet;
    m_impl->sink = std::move(sink);
    m_impl->creationTime = creationTime;
    m_impl->comment = comment;
}

Mp4Writer::~Mp4Writer() = default;

bool Mp4Writer::WriteFrame(const EncodedFrame& frame) {
    Impl& d = *m_impl;
    if (d.context == nullptr) {
        if (!frame.keyFrame) {
            return true;  // nothing to decode it from yet
        }
        if (!d.Start(frame)) {
            m_error = EINVAL;
            return false;
        }
    }
    // Timestamps must rise strictly in the file's time base.
    int64_t pts = av_rescale_q(frame.timestampUs, kMicroseconds, d.stream->time_base);
    if (pts <= d.lastPts) {
        pts = d.lastPts + 1;
    }
    d.lastPts = pts;
    bool ok = true;
    if (d.holding) {
        ok = d.WriteHeld(pts - d.heldPts);
    }
    d.held.assign(frame.data, frame.data + frame.size);
    d.heldPts = pts;
    d.heldKey = frame.keyFrame;
    d.holding = true;
    if (!ok) {
        m_error = d.sink->Error() != 0 ? d.sink->Error() : EIO;
    }
    return ok;
}

bool Mp4Writer::Sync() {
    if (!m_impl->sink->Sync()) {
        m_error = m_impl->sink->Error();
        return false;
    }
    return true;
}

bool Mp4Writer::Finish() {
    Impl& d = *m_impl;
    if (d.context == nullptr) {
        // Not one decodable frame: an empty file helps nobody.
        const std::string path = d.sink->Path();
        const bool empty = d.sink->Size() == 0;
        d.sink.reset();
        if (empty) {
            std::remove(path.c_str());
        }
        return true;
    }
    bool ok = true;
    const int64_t nominal = av_rescale_q(kNominalFrameUs, kMicroseconds, d.stream->time_base);
    const int64_t lastDuration = d.lastDuration > 0 ? d.lastDuration : nominal;
    if (d.holding) {
        ok = d.WriteHeld(lastDuration);
    }
    ok = av_write_trailer(d.context) >= 0 && d.FlushPending() && ok;
    ok = d.sink->Sync() && ok;
    if (!ok) {
        m_error = d.sink->Error() != 0 ? d.sink->Error() : EIO;
    }
    const std::string path = d.sink->Path();
    d.sink.reset();
    // What is on disk is whole fragments either way; the rewrite only makes it better.
    return MakeProgressive(path, av_rescale_q(lastDuration, d.stream->time_base, kVideoTimeBase)) &&
           ok;
}

}  // namespace Media
