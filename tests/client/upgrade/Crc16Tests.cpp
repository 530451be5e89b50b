// The frame checksum: the check value, agreement with the bit-by-bit definition for every
// length and alignment the four-byte loop can meet, and continuing a run.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "upgrade/Crc16.h"

namespace {

uint16_t BitwiseCrc(const unsigned char* data, size_t length) {
    uint16_t crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

TEST(Crc16, CheckValueAndAgreementWithTheDefinition) {
    const unsigned char digits[] = "123456789";
    EXPECT_EQ(crc16(digits, 9), 0x31C3);
    EXPECT_EQ(crc16(digits, 0), 0);
    std::mt19937 random(7);
    std::vector<unsigned char> data(300);
    for (auto& byte : data) {
        byte = static_cast<unsigned char>(random());
    }
    for (size_t offset = 0; offset < 4; ++offset) {
        for (size_t length = 0; length + offset <= data.size(); length += 13) {
            ASSERT_EQ(crc16(data.data() + offset, length), BitwiseCrc(data.data() + offset, length))
                << offset << "+" << length;
        }
    }
    EXPECT_EQ(crc16(data.data() + 100, 200, crc16(data.data(), 100)), crc16(data.data(), 300));
}

}  // namespace
