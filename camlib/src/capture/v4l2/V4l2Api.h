// The system calls the V4L2 back-end makes on a device node, behind one interface so that tests
// can put a scripted device in its place. Every call returns like the system call of the same
// name and sets errno on failure; every call may be made from any thread.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

namespace Framegate {

class V4l2Api {
public:
    virtual ~V4l2Api() = default;

    virtual int open(const char* path, int flags) = 0;
    virtual int close(int fd) = 0;
    // Never fails with EINTR: an interrupted request is made again.
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    // Returns MAP_FAILED on failure, like mmap.
    virtual void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset) = 0;
    virtual int munmap(void* address, std::size_t length) = 0;
    // `fds` may mix device descriptors with ordinary ones (a wake-up descriptor).
    virtual int poll(pollfd* fds, nfds_t count, int timeoutMs) = 0;

    // The real system calls; one instance for the process, never destroyed.
    static V4l2Api& system();
};

}  // namespace Framegate
