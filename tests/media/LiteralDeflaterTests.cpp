// The literal-only deflater read back by zlib: any byte counts, however skewed, must give a
// stream zlib accepts and inflates to the very bytes, with a correct Adler-32.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "media/LiteralDeflater.h"

namespace {

std::vector<uint8_t> Inflate(const std::vector<uint8_t>& stream, size_t expectedSize) {
    std::vector<uint8_t> out(expectedSize + 1);
    uLongf size = out.size();
    if (uncompress(out.data(), &size, stream.data(), stream.size()) != Z_OK) {
        return {1, 2, 3};  // never equal to what a test deflated: uncompress refused it
    }
    out.resize(size);
    return out;
}

// Seeded random inputs of every shape: empty, one value, two values, flat, and counts that
// fall off geometrically, which makes the natural Huffman code deeper than deflate's 15 bits.
TEST(LiteralDeflaterTest, ZlibInflatesEveryInputToItsBytes) {
    std::mt19937 random(20261208);
    Media::LiteralDeflater deflater;
    std::vector<uint8_t> stream;
    for (int round = 0; round < 300; ++round) {
        const size_t size = round == 0 ? 0 : random() % (round < 150 ? 64 : 200000);
        const int shape = round % 5;
        std::vector<uint8_t> data(size);
        const auto value = static_cast<uint8_t>(random());
        for (auto& byte : data) {
            switch (shape) {
                case 0:
                    byte = value;
                    break;
                case 1:
                    byte = static_cast<uint8_t>(value + random() % 2);
                    break;
                case 2:
                    byte = static_cast<uint8_t>(random());
                    break;
                default: {
                    // Value k with probability about 2^-(k+1) (shape 3) or 1.6^-(k+1) (4).
                    const double ratio = shape == 3 ? 0.5 : 0.625;
                    int k = 0;
                    while (k < 255 && std::uniform_real_distribution<>(0, 1)(random) > ratio) {
                        ++k;
                    }
                    byte = static_cast<uint8_t>(k);
                }
            }
        }
        SCOPED_TRACE("round " + std::to_string(round) + ", size " + std::to_string(size));
        deflater.Deflate(data.data(), data.size(), &stream);
        ASSERT_EQ(Inflate(stream, size), data);
    }
}

}  // namespace
