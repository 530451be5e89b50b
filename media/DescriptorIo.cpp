#include "media/DescriptorIo.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavformat/version.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <new>

namespace Media {

namespace {

constexpr int kBufferSize = 64 * 1024;

struct Descriptor {
    int fd = -1;
    int64_t position = 0;
    int error = 0;  // the first errno met

    int Failed(int e) {
        if (error == 0) {
            error = e;
        }
        return AVERROR(e);
    }
};

int Read(void* opaque, uint8_t* data, int size) {
    auto* d = static_cast<Descriptor*>(opaque);
    for (;;) {
        const ssize_t n = ::pread(d->fd, data, static_cast<size_t>(size), d->position);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return d->Failed(errno);
        }
        if (n == 0) {
            return AVERROR_EOF;
        }
        d->position += n;
        return static_cast<int>(n);
    }
}

// libavformat 61 made the written bytes const.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
int Write(void* opaque, const uint8_t* data, int size) {
#else
int Write(void* opaque, uint8_t* data, int size) {
#endif
    auto* d = static_cast<Descriptor*>(opaque);
    int done = 0;
    while (done < size) {
        const ssize_t n =
            ::pwrite(d->fd, data + done, static_cast<size_t>(size - done), d->position + done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return d->Failed(errno);
        }
        done += static_cast<int>(n);
    }
    d->position += done;
    return done;
}

int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto* d = static_cast<Descriptor*>(opaque);
    whence &= ~AVSEEK_FORCE;
    struct stat status = {};
    if (whence == AVSEEK_SIZE || whence == SEEK_END) {
        if (::fstat(d->fd, &status) != 0) {
            return d->Failed(errno);
        }
        if (whence == AVSEEK_SIZE) {
            return status.st_size;
        }
    }
    int64_t target;
    switch (whence) {
        case SEEK_SET:
            target = offset;
            break;
        case SEEK_CUR:
            target = d->position + offset;
            break;
        case SEEK_END:
            target = status.st_size + offset;
            break;
        default:
            return AVERROR(EINVAL);
    }
    if (target < 0) {
        return AVERROR(EINVAL);
    }
    d->position = target;
    return target;
}

}  // namespace

AVIOContext* DescriptorIo::Open(int fd, bool writable) {
    auto* descriptor = new (std::nothrow) Descriptor;
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    AVIOContext* io = nullptr;
    if (descriptor != nullptr && buffer != nullptr) {
        descriptor->fd = fd;
        io = avio_alloc_context(buffer, kBufferSize, writable ? 1 : 0, descriptor, &Read,
                                writable ? &Write : nullptr, &Seek);
    }
    if (io == nullptr) {
        av_free(buffer);
        delete descriptor;
    }
    return io;
}

int DescriptorIo::Close(AVIOContext** io) {
    if (io == nullptr || *io == nullptr) {
        return 0;
    }
    if ((*io)->write_flag) {
        avio_flush(*io);
    }
    auto* descriptor = static_cast<Descriptor*>((*io)->opaque);
    const int error = descriptor->error;
    av_freep(&(*io)->buffer);
    avio_context_free(io);
    delete descriptor;
    return error;
}

int DescriptorIo::Error(const AVIOContext* io) {
    return io == nullptr ? 0 : static_cast<const Descriptor*>(io->opaque)->error;
}

}  // namespace Media
