// Calendar time in local time, as the library shows it in log prefixes and file names.
#pragma once

#include <cstdint>
#include <functional>

namespace Velmora::Infra {

class CTime {
public:
    int32_t year = 1970;
    int32_t month = 1;
    int32_t day = 1;
    int32_t wday = 4;  // 0 = Sunday; 1 January 1970 was a Thursday
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;

    // Called after the system time was changed by setCurrentTime, on the caller's thread.
    using TimeChangedCallback = std::function<void(const CTime& oldTime, const CTime& newTime)>;

    // The local time now, normalised. Any thread.
    static CTime getCurrentTime();

    // Sets the system's local time to `time` (clamped to the library's range) unless it is
    // within `toleranceSeconds` of the local time already. Returns false when the system refuses.
    static bool setCurrentTime(const CTime& time, int toleranceSeconds);

    // Registers a callback that setCurrentTime calls after a change. Any thread.
    static void attachTimeChangedCallback(TimeChangedCallback callback);

    // Clamps every field into its range and computes the weekday from the date.
    void normalize();

    // Seconds since the epoch of this local time.
    int64_t toEpochSeconds() const;

    static bool isLeapYear(int32_t year);
    static int32_t daysInMonth(int32_t year, int32_t month);
};

}  // namespace Velmora::Infra
