#include "platform/DiskSpace.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

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

// For the staged program's tests only (README): CALORVIEW_TEST_FREE_BYTES_FILE names a file
// whose decimal number is the free space of every folder, read at every call, so that a test can
// fill and empty a "disk" that it cannot mount.
class FileDiskSpace final : public DiskSpace {
public:
    explicit FileDiskSpace(const char* file) : m_File(file) {}
    bool FreeBytes(const char* directory, uint64_t* freeBytes) const override {
        struct stat folder {};
        std::FILE* source = std::fopen(m_File, "re");
        if (directory == nullptr || freeBytes == nullptr || source == nullptr ||
            stat(directory, &folder) != 0) {
            if (source != nullptr) {
                std::fclose(source);
            }
            return false;
        }
        unsigned long long bytes = 0;
        const bool read = std::fscanf(source, "%llu", &bytes) == 1;
        std::fclose(source);
        if (read) {
            *freeBytes = bytes;
        }
        return read;
    }

private:
    const char* m_File;
};

const DiskSpace* Default() {
    static const StatvfsDiskSpace statvfsSpace;
    static const char* const file = std::getenv("CALORVIEW_TEST_FREE_BYTES_FILE");
    static const FileDiskSpace fileSpace(file != nullptr ? file : "");
    return file != nullptr && *file != '\0' ? static_cast<const DiskSpace*>(&fileSpace)
                                            : &statvfsSpace;
}

std::atomic<const DiskSpace*> g_installed{nullptr};

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
    const DiskSpace* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : *Default();
}

void DiskSpace::Install(const DiskSpace* space) {
    g_installed.store(space, std::memory_order_release);
}
