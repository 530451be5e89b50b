// A free-space query that answers what the test says, so the 5 GiB rules are tried without a
// full disk (and without depending on the machine's own free space).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/DiskSpace.h"

namespace CalorviewTest {

class FakeDiskSpace : public DiskSpace {
public:
    FakeDiskSpace() { DiskSpace::Install(this); }
    ~FakeDiskSpace() override { DiskSpace::Install(nullptr); }
    bool FreeBytes(const char*, uint64_t* freeBytes) const override {
        if (!answers) {
            return false;
        }
        *freeBytes = bytes;
        return true;
    }
    std::atomic<uint64_t> bytes{uint64_t{1} << 40};
    std::atomic<bool> answers{true};
};

}  // namespace CalorviewTest
