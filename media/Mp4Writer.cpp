#include "media/Mp4Writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include <fcntl.h>
#include <limits.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "media/AnnexB.h"
#include "media/DescriptorIo.h"

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

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when `path` still names the file `opened` describes (nothing renamed or put there since).
bool StillAt(const std::string& path, const struct stat& opened) {
    struct stat now = {};
    return ::lstat(path.c_str(), &now) == 0 && SameFile(now, opened);
}

// errno for a libav error code: AVERROR(e) is -e; libav's own codes (damaged data and the
// like) become EIO.
int ErrnoOf(int avError) {
    return avError < 0 && avError > -4096 ? -avError : EIO;
}

// Opens the regular file `path` for reading, never through a link and never waiting (a FIFO).
// -1 with errno set when it cannot, EINVAL when it is not a regular file.
int OpenRegular(const std::string& path, struct stat* status) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    int error = 0;
    if (::fstat(fd, status) != 0) {
        error = errno;
    } else if (!S_ISREG(status->st_mode)) {
        error = EINVAL;
    }
    if (error != 0) {
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// A new empty file beside `path`, named NAME.XXXXXXXXXXXX.part with 12 random letters and
// digits, created exclusively: nothing that exists there, a link included, is ever opened,
// followed or replaced, and nobody can put a file or a link in its way beforehand. Its
// descriptor (read and write), with *temp its name; -1 with errno set on failure.
int CreateTemporaryBeside(const std::string& path, std::string* temp) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    constexpr size_t kAdded = 1 + 12 + 5;  // ".XXXXXXXXXXXX.part"
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = path.substr(folder.size());
    if (name.size() > NAME_MAX - kAdded) {
        name.resize(NAME_MAX - kAdded);  // a name at the limit still gets a temporary one
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[12];
        const ssize_t got = ::getrandom(random, sizeof random, 0);
        if (got != static_cast<ssize_t>(sizeof random)) {
            if (got < 0 && errno != EINTR) {
                return -1;
            }
            continue;
        }
        std::string candidate = folder + name + '.';
        for (const unsigned char byte : random) {
            candidate += kAlphabet[byte % (sizeof kAlphabet - 1)];
        }
        candidate += ".part";
        // 0666 less the umask, the mode libavformat's file protocol gave the rewrite before.
        const int fd =
            ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            *temp = std::move(candidate);
            return fd;
        }
        if (errno != EEXIST && errno != EINTR) {
            return -1;
        }
    }
    errno = EEXIST;
    return -1;
}

// Inside the rewrite, libavformat may open no file by name: the input's demuxer nothing at all,
// the output's muxer only the output again, for reading it back while it moves the index to the
// front (movflags +faststart). Its descriptor is the context's opaque.
int RefuseToOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
    return AVERROR(EPERM);
}

int OpenOutputAgain(AVFormatContext* context, AVIOContext** io, const char*, int flags,
                    AVDictionary**) {
    const auto* fd = static_cast<const int*>(context->opaque);
    if (fd == nullptr || (flags & AVIO_FLAG_WRITE) != 0) {
        return AVERROR(EPERM);
    }
    *io = DescriptorIo::Open(*fd, false);
    return *io != nullptr ? 0 : AVERROR(ENOMEM);
}

int CloseOutputAgain(AVFormatContext*, AVIOContext* io) {
    const int error = DescriptorIo::Close(&io);
    return error != 0 ? AVERROR(error) : 0;
}

// The fragmented MP4 copied, packet by packet, into a progressive one with the index in front.
// Everything goes through the two descriptors; the destructor releases what was made.
class Rewrite {
public:
    Rewrite(int inFd, int outFd) : m_inFd(inFd), m_outFd(outFd) {}
    ~Rewrite() {
        avformat_close_input(&m_in);
        DescriptorIo::Close(&m_inIo);
        if (m_out != nullptr) {
            m_out->pb = nullptr;
            avformat_free_context(m_out);
        }
        DescriptorIo::Close(&m_outIo);
        av_packet_free(&m_packet);
        av_packet_free(&m_next);
    }
    Rewrite(const Rewrite&) = delete;
    Rewrite& operator=(const Rewrite&) = delete;

    // 0 when the whole output is written, else the errno that says why not.
    // `lastDuration` (in kVideoTimeBase) is the last frame's: the demuxer does not return it.
    int Run(int64_t lastDuration) {
        AVStream* stream = nullptr;
        const bool ok = OpenInput() && OpenOutput(&stream) && CopyPackets(stream, lastDuration) &&
                        Av(av_write_trailer(m_out)) && CloseOutput();
        return ok ? 0 : (m_error != 0 ? m_error : EIO);
    }

private:
    bool Fail(int error) {
        if (m_error == 0) {
            m_error = error;
        }
        return false;
    }

    // A libav call's result: true when it succeeded, else notes why, preferring the errno of
    // the descriptors' own I/O (a full disk) to libav's summary of it.
    bool Av(int result) {
        if (result >= 0) {
            return true;
        }
        const int io = DescriptorIo::Error(m_outIo) != 0 ? DescriptorIo::Error(m_outIo)
                                                         : DescriptorIo::Error(m_inIo);
        return Fail(io != 0 ? io : ErrnoOf(result));
    }

    bool OpenInput() {
        m_in = avformat_alloc_context();
        m_inIo = DescriptorIo::Open(m_inFd, false);
        if (m_in == nullptr || m_inIo == nullptr) {
            return Fail(ENOMEM);
        }
        m_in->pb = m_inIo;  // libavformat marks it the caller's and never closes it
        m_in->flags |= AVFMT_FLAG_CUSTOM_IO;
        m_in->io_open = &RefuseToOpen;
        // On failure this frees m_in and sets it to null.
        if (!Av(avformat_open_input(&m_in, "", av_find_input_format("mp4"), nullptr))) {
            return false;
        }
        return m_in->nb_streams == 1 || Fail(EINVAL);
    }

    bool OpenOutput(AVStream** stream) {
        if (!Av(avformat_alloc_output_context2(&m_out, nullptr, "mp4", nullptr))) {
            return false;
        }
        m_outIo = DescriptorIo::Open(m_outFd, true);
        m_packet = av_packet_alloc();
        m_next = av_packet_alloc();
        *stream = avformat_new_stream(m_out, nullptr);
        if (m_outIo == nullptr || m_packet == nullptr || m_next == nullptr || *stream == nullptr) {
            return Fail(ENOMEM);
        }
        m_out->pb = m_outIo;
        m_out->flags |= AVFMT_FLAG_CUSTOM_IO;
        m_out->opaque = &m_outFd;
        m_out->io_open = &OpenOutputAgain;
        m_out->io_close2 = &CloseOutputAgain;
        if (!Av(avcodec_parameters_copy((*stream)->codecpar, m_in->streams[0]->codecpar))) {
            return false;
        }
        (*stream)->codecpar->codec_tag = 0;
        (*stream)->time_base = m_in->streams[0]->time_base;
        for (const char* key : {"creation_time", "comment"}) {
            if (const AVDictionaryEntry* entry = av_dict_get(m_in->metadata, key, nullptr, 0)) {
                av_dict_set(&m_out->metadata, key, entry->value, 0);
            }
        }
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movflags", "+faststart", 0);
        const bool ok = Av(avformat_write_header(m_out, &options));
        av_dict_free(&options);
        return ok;
    }

    // Each packet waits for the next, so the last one can be given its real duration.
    bool CopyPackets(AVStream* stream, int64_t lastDuration) {
        const AVRational inBase = m_in->streams[0]->time_base;
        bool holding = false;
        for (;;) {
            const int read = av_read_frame(m_in, m_next);
            if (read == AVERROR_EOF) {
                break;
            }
            if (!Av(read)) {
                return false;
            }
            av_packet_rescale_ts(m_next, inBase, stream->time_base);
            m_next->stream_index = 0;
            m_next->pos = -1;
            if (holding) {
                const int written = av_write_frame(m_out, m_packet);
                av_packet_unref(m_packet);
                if (!Av(written)) {
                    return false;
                }
            }
            av_packet_move_ref(m_packet, m_next);
            holding = true;
        }
        if (!holding) {
            return true;
        }
        m_packet->duration = av_rescale_q(lastDuration, kVideoTimeBase, stream->time_base);
        const int written = av_write_frame(m_out, m_packet);
        av_packet_unref(m_packet);
        return Av(written);
    }

    bool CloseOutput() {
        m_out->pb = nullptr;
        const int error = DescriptorIo::Close(&m_outIo);
        return error == 0 || Fail(error);
    }

    int m_inFd;
    int m_outFd;
    AVIOContext* m_inIo = nullptr;
    AVIOContext* m_outIo = nullptr;
    AVFormatContext* m_in = nullptr;
    AVFormatContext* m_out = nullptr;
    AVPacket* m_packet = nullptr;
    AVPacket* m_next = nullptr;
    int m_error = 0;
};

// Rewrites the fragmented MP4 at `path` as a progressive one with the index in front, in a new
// temporary file beside it (CreateTemporaryBeside), then puts it in place of the original in one
// rename. 0 on success; on any failure the original stays, the temporary file is removed and
// the errno that says why is returned. The names are only ever handed to the system, never to
// libavformat. `lastDuration` is in kVideoTimeBase. *placed: the file put in place.
int MakeProgressive(const std::string& path, int64_t lastDuration, struct stat* placed) {
    struct stat original = {};
    const int inFd = OpenRegular(path, &original);
    if (inFd < 0) {
        return errno;
    }
    std::string temp;
    const int outFd = CreateTemporaryBeside(path, &temp);
    if (outFd < 0) {
        const int error = errno;
        ::close(inFd);
        return error;
    }
    struct stat created = {};
    int error = ::fstat(outFd, &created) == 0 ? 0 : errno;
    if (error == 0) {
        error = Rewrite(inFd, outFd).Run(lastDuration);
    }
    if (error == 0 && ::fsync(outFd) != 0) {
        error = errno;
    }
    // The rename replaces the recording this writer made, and nothing put there since.
    if (error == 0 && !StillAt(path, original)) {
        error = ENOENT;
    }
    if (error == 0 && ::rename(temp.c_str(), path.c_str()) != 0) {
        error = errno;
    }
    ::close(inFd);
    ::close(outFd);
    if (error != 0) {
        if (StillAt(temp, created)) {
            ::unlink(temp.c_str());
        }
        return error;
    }
    *placed = created;
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd >= 0) {
        ::fsync(folderFd);
        ::close(folderFd);
    }
    return 0;
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
    struct stat placed = {};
    const int rewriteError = MakeProgressive(
        path, av_rescale_q(lastDuration, d.stream->time_base, kVideoTimeBase), &placed);
    if (rewriteError != 0 && m_error == 0) {
        m_error = rewriteError;
    }
    if (rewriteError == 0) {
        m_rewritten = true;
        m_rewrittenDevice = static_cast<uint64_t>(placed.st_dev);
        m_rewrittenInode = static_cast<uint64_t>(placed.st_ino);
    }
    return rewriteError == 0 && ok;
}

}  // namespace Media
