#include "infra/CTime.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

#include "infra/Logger.h"

namespace Velmora::Infra {

namespace {

constexpr int32_t kMinYear = 1970;
// 64-bit time: log prefixes and log file names stay right long after 2038.
constexpr int32_t kMaxYear = 9999;

std::mutex& callbackMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<CTime::TimeChangedCallback>& callbacks() {
    static std::vector<CTime::TimeChangedCallback> list;
    return list;
}

// Sakamoto's method: the weekday of a Gregorian date, 0 = Sunday.
int32_t weekdayOf(int32_t year, int32_t month, int32_t day) {
    static const int32_t offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) {
        year -= 1;
    }
    return (year + year / 4 - year / 100 + year / 400 + offsets[month - 1] + day) % 7;
}

CTime fromTm(const std::tm& tm) {
    CTime time;
    time.year = tm.tm_year + 1900;
    time.month = tm.tm_mon + 1;
    time.day = tm.tm_mday;
    time.hour = tm.tm_hour;
    time.minute = tm.tm_min;
    time.second = tm.tm_sec;
    time.normalize();
    return time;
}

}  // namespace

bool CTime::isLeapYear(int32_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int32_t CTime::daysInMonth(int32_t year, int32_t month) {
    static const int32_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month == 2 && isLeapYear(year)) {
        return 29;
    }
    return days[month - 1];
}

void CTime::normalize() {
    year = std::clamp(year, kMinYear, kMaxYear);
    month = std::clamp(month, 1, 12);
    day = std::clamp(day, 1, daysInMonth(year, month));
    wday = weekdayOf(year, month, day);
    if (hour < 0) {
        hour = 0;
    }
    if (hour > 23) {
        hour = 23;
        minute = 59;
        second = 59;
    }
    minute = std::clamp(minute, 0, 59);
    second = std::clamp(second, 0, 59);
}

int64_t CTime::toEpochSeconds() const {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(std::mktime(&tm));
}

CTime CTime::getCurrentTime() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return fromTm(tm);
}

void CTime::attachTimeChangedCallback(TimeChangedCallback callback) {
    std::lock_guard lock(callbackMutex());
    callbacks().push_back(std::move(callback));
}

bool CTime::setCurrentTime(const CTime& time, int toleranceSeconds) {
    CTime wanted = time;
    wanted.normalize();
    const CTime current = getCurrentTime();
    const int64_t wantedSeconds = wanted.toEpochSeconds();
    if (std::llabs(wantedSeconds - current.toEpochSeconds()) <= toleranceSeconds) {
        return true;
    }
    const timespec ts{static_cast<time_t>(wantedSeconds), 0};
    if (clock_settime(CLOCK_REALTIME, &ts) != 0) {
        return false;
    }
    std::vector<TimeChangedCallback> toCall;
    {
        std::lock_guard lock(callbackMutex());
        toCall = callbacks();
    }
    if (toCall.empty()) {
        logInfo("CTime::setCurrentTime() success without callback function\n");
    }
    for (const auto& callback : toCall) {
        callback(current, wanted);
    }
    return true;
}

}  // namespace Velmora::Infra
