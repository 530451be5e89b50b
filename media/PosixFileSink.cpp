#include "media/PosixFileSink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace Media {

PosixFileSink::PosixFileSink(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}

PosixFileSink::~PosixFileSink() {
    ::close(m_fd);
}

std::unique_ptr<FileSink> PosixFileSink::Open(const std::string& path, int* error) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    *error = 0;
    return std::make_unique<PosixFileSink>(fd, path);
}

bool PosixFileSink::Write(const void* data, size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pwrite(m_fd, bytes + done, size - done, m_size + done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Fail();
        }
        done += static_cast<size_t>(n);
    }
    m_size += static_cast<int64_t>(size);
    return true;
}

bool PosixFileSink::Truncate(int64_t size) {
    if (::ftruncate(m_fd, size) != 0) {
        return Fail();
    }
    m_size = size;
    return true;
}

bool PosixFileSink::Sync() {
    return ::fdatasync(m_fd) == 0 || Fail();
}

bool PosixFileSink::Fail() {
    m_error = errno;
    return false;
}

}  // namespace Media
