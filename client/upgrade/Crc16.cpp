#include "upgrade/Crc16.h"

#include <array>

namespace {

// Four tables: the usual 256-entry table, and the same shifted by one, two and three bytes, so
// the loop takes four bytes per step (the check value and byte-at-a-time results are equal).
struct Tables {
    std::array<std::array<uint16_t, 256>, 4> t{};
    Tables() {
        for (int i = 0; i < 256; ++i) {
            uint16_t crc = static_cast<uint16_t>(i << 8);
            for (int bit = 0; bit < 8; ++bit) {
                crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
            }
            t[0][i] = crc;
        }
        for (int k = 1; k < 4; ++k) {
            for (int i = 0; i < 256; ++i) {
                const uint16_t prev = t[k - 1][i];
                t[k][i] = static_cast<uint16_t>((prev << 8) ^ t[0][prev >> 8]);
            }
        }
    }
};

const Tables& tables() {
    static const Tables instance;
    return instance;
}

}  // namespace

uint16_t crc16(const unsigned char* data, size_t length, uint16_t crc) {
    const auto& t = tables().t;
    size_t i = 0;
    for (; i + 4 <= length; i += 4) {
        const uint8_t a = static_cast<uint8_t>((crc >> 8) ^ data[i]);
        const uint8_t b = static_cast<uint8_t>(crc ^ data[i + 1]);
        crc = static_cast<uint16_t>(t[3][a] ^ t[2][b] ^ t[1][data[i + 2]] ^ t[0][data[i + 3]]);
    }
    for (; i < length; ++i) {
        crc = static_cast<uint16_t>((crc << 8) ^ t[0][((crc >> 8) ^ data[i]) & 0xFF]);
    }
    return crc;
}
