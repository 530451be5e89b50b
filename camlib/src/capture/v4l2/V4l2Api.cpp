#include "capture/v4l2/V4l2Api.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

namespace Framegate {

namespace {

// Thin pass-through; the only addition is the EINTR retry V4L2 applications are expected to make
// around ioctl, so that a signal never looks like a device failure.
class SystemV4l2Api final : public V4l2Api {
public:
    int open(const char* path, int flags) override { return ::open(path, flags); }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override {
        int result;
        do {
            result = ::ioctl(fd, request, argument);
        } while (result < 0 && errno == EINTR);
        return result;
    }
    void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset) override {
        return ::mmap(nullptr, length, protection, flags, fd, offset);
    }
    int munmap(void* address, std::size_t length) override { return ::munmap(address, length); }
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override {
        return ::poll(fds, count, timeoutMs);
    }
};

}  // namespace

V4l2Api& V4l2Api::system() {
    static SystemV4l2Api* const instance = new SystemV4l2Api;
    return *instance;
}

}  // namespace Framegate
