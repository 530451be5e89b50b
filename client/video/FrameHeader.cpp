#include "video/FrameHeader.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "framegate/FrameMetadata.h"
#include "video/Avx2Dispatch.h"

namespace {

// Y0 U Y1 V -> U Y0 V Y1: swaps the bytes of every 16-bit half. A plain loop the compiler
// vectorises; compiled for AVX2 it runs at the speed of a copy (about 13 us for 480 x 640 here).
[[gnu::always_inline]] inline void swapByteHalves(const uint8_t* __restrict src,
                                                  uint8_t* __restrict dst, size_t bytes) {
    for (size_t i = 0; i < bytes; i += 2) {
        uint16_t half;
        std::memcpy(&half, src + i, 2);
        half = static_cast<uint16_t>(half << 8 | half >> 8);
        std::memcpy(dst + i, &half, 2);
    }
}

}  // namespace

bool FrameHeader::IsWellFormed(int width, int height, int length) {
    if (width <= 0 || height <= 0 || length < 12 || length % 4 != 0) {
        return false;
    }
    return static_cast<int64_t>(width) * height * 2 == length;
}

bool FrameHeader::Decode(const char* data, int length, int width, int height,
                         unsigned char* picture) {
    if (data == nullptr || picture == nullptr || !IsWellFormed(width, height, length)) {
        return false;
    }
    const auto* raw = reinterpret_cast<const uint8_t*>(data);
    const size_t last = static_cast<size_t>(length) - 4;
    const uint32_t timeWord = Framegate::readBigEndian(raw);
    uint32_t flags = Framegate::readLittleEndian(raw + last);

    Avx2Dispatch::run<swapByteHalves>(raw + 4, picture + 4, last - 4);
    // The metadata words never reach the screen: their groups repeat their neighbours.
    std::memcpy(picture, picture + 4, 4);
    std::memcpy(picture + last, picture + last - 4, 4);

    bShowRect = (flags & Framegate::kFlagShowRect) != 0 ? 1 : 0;
    flags &= ~Framegate::kFlagShowRect;
    alarmFlag = (flags & Framegate::kFlagAlarm) != 0;
    flags &= ~Framegate::kFlagAlarm;
    if (alarmFlag) {
        tempType = Framegate::tempTypeOf(flags);
        Framegate::writeLittleEndian(alarmWord, flags & 0x80FFFFFFu);
    } else {
        tempType = 0;
        std::memset(alarmWord, 0, sizeof alarmWord);
    }

    const Framegate::CaptureClock clock = Framegate::unpackCaptureTime(timeWord);
    // The client keeps the year as an offset from 2000, as the word carries it.
    captureTime = CaptureTime{clock.year - 2000, clock.month,  clock.day,
                              clock.hour,        clock.minute, clock.second};
    const CaptureTime& t = captureTime;
    std::snprintf(fileTime, sizeof fileTime, "%04d%02d%02d_%02d%02d%02d", 2000 + t.year, t.month,
                  t.day, t.hour, t.minute, t.second);
    std::snprintf(displayTime, sizeof displayTime, "%04d-%02d-%02d %02d:%02d:%02d", 2000 + t.year,
                  t.month, t.day, t.hour, t.minute, t.second);
    return true;
}
