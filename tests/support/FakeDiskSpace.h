// A free-space query that answers what the test says, so the 5 GiB rules are tried without a
// full disk (and without depending on the machine's own free space).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/DiskSpace.h"

namespace CalorviewTest {

class FakeDiskSpace : public DiskSpace {
public:
    FakeDiskSpace() { DiskSpace::Install(this); }
    ~FakeDiskSpace() override { DiskSpace::Install(nullptr); }
    bool FreeBytes(const char* directory, uint64_t* freeBytes) const override {
        if (!answers) {
            return false;
        }
        *freeBytes = onOtherDisk(directory) ? otherDiskBytes.load() : bytes.load();
        return true;
    }
    bool SameFileSystem(const char* first, const char* second) const override {
        return onOtherDisk(first) == onOtherDisk(second);
    }
    std::atomic<uint64_t> bytes{uint64_t{1} << 40};
    std::atomic<bool> answers{true};
    // Folders under this path (set before use) lie on a disk of their own.
    std::string otherDisk;
    std::atomic<uint64_t> otherDiskBytes{0};

private:
    bool onOtherDisk(const char* directory) const {
        return !otherDisk.empty() && std::string_view(directory).starts_with(otherDisk);
    }
};

}  // namespace CalorviewTest
