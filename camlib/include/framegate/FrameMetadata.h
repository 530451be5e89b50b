// The two metadata words the thermal camera hides in every YUY2 frame: the capture-time word in
// the first four bytes (big-endian) and the flags word in the last four (little-endian).
// Header-only: the virtual camera packs them, the probe tool and the client unpack them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Framegate {

struct CaptureClock {
    int year = 2000;  // 2000 to 2063
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
};

inline constexpr uint32_t kFlagShowRect = 0x20000000u;
inline constexpr uint32_t kFlagAlarm = 0x40000000u;
inline constexpr uint32_t kAlarmValueMask = 0x00FFFFFFu;
inline constexpr int kTempTypeShift = 27;

// Temperature units as the flags word's bits 27-28 carry them.
enum TempType : int { kCelsius = 0, kFahrenheit = 1, kKelvin = 2 };

constexpr uint32_t packCaptureTime(const CaptureClock& c) {
    return (static_cast<uint32_t>(c.year - 2000) & 0x3Fu) << 26 |
           (static_cast<uint32_t>(c.month) & 0x0Fu) << 22 |
           (static_cast<uint32_t>(c.day) & 0x1Fu) << 17 |
           (static_cast<uint32_t>(c.hour) & 0x1Fu) << 12 |
           (static_cast<uint32_t>(c.minute) & 0x3Fu) << 6 |
           (static_cast<uint32_t>(c.second) & 0x3Fu);
}

constexpr CaptureClock unpackCaptureTime(uint32_t word) {
    return CaptureClock{
        2000 + static_cast<int>(word >> 26 & 0x3Fu), static_cast<int>(word >> 22 & 0x0Fu),
        static_cast<int>(word >> 17 & 0x1Fu),        static_cast<int>(word >> 12 & 0x1Fu),
        static_cast<int>(word >> 6 & 0x3Fu),         static_cast<int>(word & 0x3Fu)};
}

// Flags word from its fields; `tenths` is the temperature in tenths of the unit (24 bits).
constexpr uint32_t packFlags(bool alarm, bool showRect, TempType unit, uint32_t tenths) {
    return (alarm ? kFlagAlarm : 0u) | (showRect ? kFlagShowRect : 0u) |
           (static_cast<uint32_t>(unit) & 0x3u) << kTempTypeShift | (tenths & kAlarmValueMask);
}

// The temperature type as the client reads it: from the top byte with bits 5 and 6 cleared;
// any value outside the table (bits 24-26 set, or type 3) counts as Celsius.
constexpr TempType tempTypeOf(uint32_t flags) {
    switch ((flags >> 24) & 0x9Fu) {
        case 0x08:
        case 0x88:
            return kFahrenheit;
        case 0x10:
        case 0x90:
            return kKelvin;
        default:
            return kCelsius;
    }
}

constexpr uint32_t readBigEndian(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

constexpr uint32_t readLittleEndian(const uint8_t* p) {
    return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[1]) << 8 | p[0];
}

inline void writeBigEndian(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

inline void writeLittleEndian(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace Framegate
