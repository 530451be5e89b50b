#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <time.h>

#include "platform/DiskSpace.h"
#include "platform/TickClock.h"
#include "support/TempDir.h"
#include "video/DeviceConnectionManager.h"

namespace {

uint32_t monotonicMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint32_t>(static_cast<uint64_t>(now.tv_sec) * 1000u +
                                 static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

TEST(TickClockTest, MonotonicMillisecondsUntilATestClockIsInstalled) {
    const uint32_t before = monotonicMs();
    const uint32_t tick = TickClock::Now();
    EXPECT_LE(tick - before, monotonicMs() - before) << "unsigned differences survive a wrap";

    struct FixedClock : TickClock {
        uint32_t ticks() const override { return 0xFFFFFFF0u; }
    } fixed;
    TickClock::Install(&fixed);
    EXPECT_EQ(TickClock::Now(), 0xFFFFFFF0u);
    TickClock::Install(nullptr);
    EXPECT_LE(TickClock::Now() - monotonicMs(), 1000u) << "the system clock is back";
}

TEST(DiskSpaceTest, StatvfsAvailableBytesFailureAndReplacement) {
    CalorviewTest::TempDir dir;
    struct statvfs info {};
    ASSERT_EQ(statvfs(dir.path().c_str(), &info), 0);
    uint64_t freeBytes = 0;
    ASSERT_TRUE(DiskSpace::Current().FreeBytes(dir.path().c_str(), &freeBytes));
    // f_bavail, not f_bfree; other processes write too, so allow some drift.
    EXPECT_NEAR(static_cast<double>(freeBytes),
                static_cast<double>(static_cast<uint64_t>(info.f_bavail) * info.f_frsize),
                64.0 * 1024 * 1024);

    const std::string missing = dir.file("missing/deeper");
    for (const char* directory : {missing.c_str(), "", static_cast<const char*>(nullptr)}) {
        uint64_t untouched = 77;
        EXPECT_FALSE(DiskSpace::Current().FreeBytes(directory, &untouched));
        EXPECT_EQ(untouched, 77u);
    }

    struct NearlyFull : DiskSpace {
        bool FreeBytes(const char*, uint64_t* bytes) const override {
            *bytes = 5368709119u;
            return true;
        }
    } nearlyFull;
    DiskSpace::Install(&nearlyFull);
    EXPECT_TRUE(DiskSpace::Current().FreeBytes(missing.c_str(), &freeBytes));
    EXPECT_EQ(freeBytes, 5368709119u);
    freeBytes = 0;
    EXPECT_NE(DeviceConnectionManager::instance()->GetDiskFreeSpace("x", &freeBytes), 0);
    EXPECT_EQ(freeBytes, 5368709119u) << "the recording rules ask through the manager";
    DiskSpace::Install(nullptr);
    EXPECT_FALSE(DiskSpace::Current().FreeBytes(missing.c_str(), &freeBytes));
}

}  // namespace
