#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/video/FrameTestSupport.h"
#include "video/FrameHeader.h"

using CalorviewTest::rawFrame;

namespace {

struct TimeCase {
    uint32_t word;
    CaptureTime expected;
    const char* fileTime;
    const char* displayTime;
};

TEST(FrameHeaderTest, DecodesTheCaptureTimeWordWithoutCheckingIt) {
    const TimeCase cases[] = {
        {0x50C80000u, {20, 3, 4, 0, 0, 0}, "20200304_000000", "2020-03-04 00:00:00"},
        {0u, {0, 0, 0, 0, 0, 0}, "20000000_000000", "2000-00-00 00:00:00"},
        {(13u << 22) | (61u << 6), {0, 13, 0, 0, 61, 0}, "20001300_006100", "2000-13-00 00:61:00"},
        {0x5E4A7000u, {23, 9, 5, 7, 0, 0}, "20230905_070000", "2023-09-05 07:00:00"},
        {0xFFFFFFFFu, {63, 15, 31, 31, 63, 63}, "20631531_316363", "2063-15-31 31:63:63"},
        {(24u << 26) | (2u << 22) | (29u << 17) | (13u << 12) | (45u << 6) | 10u,
         {24, 2, 29, 13, 45, 10},
         "20240229_134510",
         "2024-02-29 13:45:10"},
    };
    for (const TimeCase& c : cases) {
        SCOPED_TRACE(c.fileTime);
        const std::vector<char> frame = rawFrame(4, 4, c.word, 0);
        std::vector<unsigned char> picture(frame.size());
        FrameHeader header;
        ASSERT_TRUE(
            header.Decode(frame.data(), static_cast<int>(frame.size()), 4, 4, picture.data()));
        EXPECT_EQ(header.captureTime.year, c.expected.year);
        EXPECT_EQ(header.captureTime.month, c.expected.month);
        EXPECT_EQ(header.captureTime.day, c.expected.day);
        EXPECT_EQ(header.captureTime.hour, c.expected.hour);
        EXPECT_EQ(header.captureTime.minute, c.expected.minute);
        EXPECT_EQ(header.captureTime.second, c.expected.second);
        EXPECT_STREQ(header.fileTime, c.fileTime);
        EXPECT_STREQ(header.displayTime, c.displayTime);
    }
}

struct FlagsCase {
    uint32_t flags;
    int bShowRect;
    bool alarm;
    int tempType;
    uint32_t alarmWord;
};

TEST(FrameHeaderTest, DecodesTheFlagsWord) {
    const FlagsCase cases[] = {
        {0x00000000u, 0, false, 0, 0},
        {0x20000000u, 1, false, 0, 0},           // rectangle alone: no alarm
        {0x4800012Cu, 0, true, 1, 0x0000012Cu},  // 30.0 Fahrenheit
        {0x5000012Cu, 0, true, 2, 0x0000012Cu},  // Kelvin
        {0x60000182u, 1, true, 0, 0x00000182u},  // alarm with the rectangle, Celsius
        {0x49000000u, 0, true, 0, 0},            // top byte 0x09 is not in the table
        {0x58FFFFFFu, 0, true, 0, 0x00FFFFFFu},  // unit bits 3: Celsius
        {0xC8000001u, 0, true, 1, 0x80000001u},  // bit 31 is carried, 0x88 is Fahrenheit
        {0xD7000002u, 0, true, 0, 0x80000002u},  // Kelvin bit with bits 24-26 set: 0
        {0x08000005u, 0, false, 0, 0},           // no alarm: word and type stay zero
    };
    for (const FlagsCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.flags);
        const std::vector<char> frame = rawFrame(4, 4, 0, c.flags);
        std::vector<unsigned char> picture(frame.size());
        FrameHeader header;
        ASSERT_TRUE(
            header.Decode(frame.data(), static_cast<int>(frame.size()), 4, 4, picture.data()));
        EXPECT_EQ(header.bShowRect, c.bShowRect);
        EXPECT_EQ(header.alarmFlag, c.alarm);
        EXPECT_EQ(header.tempType, c.tempType);
        EXPECT_EQ(Framegate::readLittleEndian(header.alarmWord), c.alarmWord);
    }
}

TEST(FrameHeaderTest, PictureIsUyvyAndTheMetadataGroupsRepeatTheirNeighbours) {
    const struct { int width, height; } sizes[] = {{2, 3}, {4, 4}, {6, 2}, {480, 640}, {640, 480}};
    for (const auto& size : sizes) {
        SCOPED_TRACE(testing::Message() << size.width << "x" << size.height);
        const std::vector<char> frame = rawFrame(size.width, size.height, 0xA1B2C3D4u, 0xE5F60718u);
        const size_t length = frame.size();
        std::vector<unsigned char> picture(length, 0xEE);
        FrameHeader header;
        ASSERT_TRUE(header.Decode(frame.data(), static_cast<int>(length), size.width, size.height,
                                  picture.data()));
        const auto* raw = reinterpret_cast<const unsigned char*>(frame.data());
        for (size_t k = 4; k + 4 < length; k += 4) {
            ASSERT_EQ(picture[k], raw[k + 1]) << k;
            ASSERT_EQ(picture[k + 1], raw[k]) << k;
            ASSERT_EQ(picture[k + 2], raw[k + 3]) << k;
            ASSERT_EQ(picture[k + 3], raw[k + 2]) << k;
        }
        EXPECT_EQ(std::memcmp(picture.data(), picture.data() + 4, 4), 0) << "first group";
        EXPECT_EQ(std::memcmp(picture.data() + length - 4, picture.data() + length - 8, 4), 0)
            << "last group";
        // Neither metadata word survives anywhere in its group.
        EXPECT_NE(std::memcmp(picture.data(), raw, 4), 0);
        EXPECT_NE(std::memcmp(picture.data() + length - 4, raw + length - 4, 4), 0);
    }
}

TEST(FrameHeaderTest, RefusesMalformedFramesWithoutTouchingTheOutput) {
    const struct {
        int width, height, length;
        const char* why;
    } cases[] = {
        {480, 640, 0, "empty"},
        {480, 640, -4, "negative length"},
        {480, 640, 480 * 640 * 2 - 4, "shorter than width x height x 2"},
        {480, 640, 480 * 640 * 2 + 4, "longer than width x height x 2"},
        {2, 2, 8, "two groups only"},
        {1, 2, 4, "one group only"},
        {3, 3, 18, "not whole 4-byte groups"},
        {0, 6, 12, "no width"},
        {-2, -3, 12, "negative size whose product matches"},
        {65536, 65536, 0, "size overflowing 32 bits"},
        {65536, 32768, 0, "size whose 32-bit product wraps to zero"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_FALSE(FrameHeader::IsWellFormed(c.width, c.height, c.length));
        std::vector<char> data(64, 1);
        std::vector<unsigned char> picture(64, 0x5A);
        FrameHeader header;
        EXPECT_FALSE(header.Decode(data.data(), c.length, c.width, c.height, picture.data()));
        EXPECT_EQ(picture, std::vector<unsigned char>(64, 0x5A));
    }
    FrameHeader header;
    unsigned char picture[12];
    EXPECT_FALSE(header.Decode(nullptr, 12, 2, 3, picture));
    EXPECT_TRUE(FrameHeader::IsWellFormed(2, 3, 12)) << "three groups are enough";
}

}  // namespace
