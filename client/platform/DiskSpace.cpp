#include "platform/DiskSpace.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>

namespace {

class StatvfsDiskSpace final : public DiskSpace {
public:
    bool FreeBytes(const char* directory, uint64_t* freeBytes) const override {
        struct statvfs info {};
        if (directory == nullptr || freeBytes == nullptr || statvfs(directory, &info) != 0) {
            return false;
        }
        // f_bavail, not f_bfree: the blocks reserved for root are no use to the user.
        *freeBytes = static_cast<uint64_t>(info.f_bavail) * static_cast<uint64_t>(info.f_frsize);
        return true;
    }
};

const StatvfsDiskSpace g_statvfs;
std::atomic<const DiskSpace*> g_installed{&g_statvfs};

}  // namespace

bool DiskSpace::SameFileSystem(const char* first, const char* second) const {
    struct stat a {};
    struct stat b {};
    if (first == nullptr || second == nullptr || stat(first, &a) != 0 || stat(second, &b) != 0) {
        return true;
    }
    return a.st_dev == b.st_dev;
}

const DiskSpace& DiskSpace::Current() {
    return *g_installed.load(std::memory_order_acquire);
}

void DiskSpace::Install(const DiskSpace* space) {
    g_installed.store(space != nullptr ? space : &g_statvfs, std::memory_order_release);
}
