#include "infra/CTime.h"

#include <gtest/gtest.h>

#include <ctime>

using Velmora::Infra::CTime;

namespace {

CTime make(int year, int month, int day, int hour, int minute, int second) {
    CTime t;
    t.year = year;
    t.month = month;
    t.day = day;
    t.hour = hour;
    t.minute = minute;
    t.second = second;
    return t;
}

}  // namespace

TEST(CTimeTest, NormaliseClampsEveryField) {
    struct Case {
        CTime in;
        CTime out;  // wday is checked too
    };
    auto expected = [](int y, int mo, int d, int wd, int h, int mi, int s) {
        CTime t = make(y, mo, d, h, mi, s);
        t.wday = wd;
        return t;
    };
    const Case cases[] = {
        {make(2024, 2, 29, 12, 0, 0), expected(2024, 2, 29, 4, 12, 0, 0)},  // leap day stands
        {make(2023, 2, 29, 12, 0, 0), expected(2023, 2, 28, 2, 12, 0, 0)},  // not a leap year
        {make(1900, 2, 29, 0, 0, 0), expected(1970, 2, 28, 6, 0, 0, 0)},    // year clamped first
        {make(2000, 2, 30, 0, 0, 0), expected(2000, 2, 29, 2, 0, 0, 0)},    // divisible by 400
        {make(2026, 12, 7, 25, 10, 10), expected(2026, 12, 7, 1, 23, 59, 59)},
        {make(2026, 13, 0, -1, -5, 60), expected(2026, 12, 1, 2, 0, 0, 59)},
        {make(2026, 0, 31, 0, 99, -3), expected(2026, 1, 31, 6, 0, 59, 0)},
        {make(2040, 4, 31, 0, 0, 0), expected(2040, 4, 30, 1, 0, 0, 0)},  // past 2038
        {make(10000, 1, 1, 0, 0, 0), expected(9999, 1, 1, 5, 0, 0, 0)},
        {make(1970, 1, 1, 0, 0, 0), expected(1970, 1, 1, 4, 0, 0, 0)},
    };
    for (const Case& c : cases) {
        CTime t = c.in;
        t.normalize();
        EXPECT_EQ(t.year, c.out.year);
        EXPECT_EQ(t.month, c.out.month);
        EXPECT_EQ(t.day, c.out.day);
        EXPECT_EQ(t.wday, c.out.wday) << c.in.year << "-" << c.in.month << "-" << c.in.day;
        EXPECT_EQ(t.hour, c.out.hour);
        EXPECT_EQ(t.minute, c.out.minute);
        EXPECT_EQ(t.second, c.out.second);
    }
}

TEST(CTimeTest, CurrentTimeIsLocalTime) {
    const std::time_t before = std::time(nullptr);
    const CTime now = CTime::getCurrentTime();
    const std::time_t after = std::time(nullptr);
    const int64_t seconds = now.toEpochSeconds();
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
    std::tm tm{};
    localtime_r(&before, &tm);
    EXPECT_EQ(now.wday, tm.tm_wday);
}

TEST(CTimeTest, SetCurrentTimeWithinToleranceChangesNothing) {
    bool called = false;
    CTime::attachTimeChangedCallback([&](const CTime&, const CTime&) { called = true; });
    EXPECT_TRUE(CTime::setCurrentTime(CTime::getCurrentTime(), 5));
    EXPECT_FALSE(called);
}
