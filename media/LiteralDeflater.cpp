#include "media/LiteralDeflater.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstring>

namespace Media {

namespace {

constexpr int kEndOfBlock = 256;
constexpr int kLiteralCodes = 257;  // the bytes and the end of the block
constexpr int kMaxLiteralBits = 15;
constexpr int kMaxLengthBits = 7;  // the code that sends the code lengths
constexpr int kLengthCodes = 19;
// The order in which the lengths of the code-length code are sent.
constexpr uint8_t kLengthOrder[kLengthCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                11, 4,  12, 3, 13, 2, 14, 1, 15};

// Bits into bytes, least significant first. Put never takes more than 32 bits at once and
// leaves fewer than 8 pending, so the 64-bit buffer cannot overflow; every store writes 8
// bytes, so the output keeps 8 spare bytes beyond what it will hold.
class BitPacker {
public:
    explicit BitPacker(uint8_t* out) : m_Out(out) {}

    void Put(uint32_t bits, unsigned count) {
        m_Buffer |= static_cast<uint64_t>(bits) << m_Count;
        m_Count += count;
        std::memcpy(m_Out, &m_Buffer, sizeof m_Buffer);
        m_Out += m_Count >> 3;
        m_Buffer >>= m_Count & ~7u;
        m_Count &= 7;
    }

    // The last partial byte, then the end of the stream.
    uint8_t* Finish() {
        if (m_Count > 0) {
            *m_Out++ = static_cast<uint8_t>(m_Buffer);
        }
        return m_Out;
    }

private:
    uint8_t* m_Out;
    uint64_t m_Buffer = 0;
    unsigned m_Count = 0;
};

// Code lengths for `n` counts sorted ascending, in place (Moffat and Katajainen's method):
// on return key[i] is the length for the i-th least frequent symbol. n >= 2.
void MinimumRedundancy(uint32_t* key, int n) {
    key[0] += key[1];
    int root = 0;
    int leaf = 2;
    for (int next = 1; next < n - 1; ++next) {
        if (leaf >= n || key[root] < key[leaf]) {
            key[next] = key[root];
            key[root++] = static_cast<uint32_t>(next);
        } else {
            key[next] = key[leaf++];
        }
        if (leaf >= n || (root < next && key[root] < key[leaf])) {
            key[next] += key[root];
            key[root++] = static_cast<uint32_t>(next);
        } else {
            key[next] += key[leaf++];
        }
    }
    key[n - 2] = 0;
    for (int next = n - 3; next >= 0; --next) {
        key[next] = key[key[next]] + 1;
    }
    int available = 1;
    int used = 0;
    uint32_t depth = 0;
    root = n - 2;
    int next = n - 1;
    while (available > 0) {
        while (root >= 0 && key[root] == depth) {
            ++used;
            --root;
        }
        while (available > used) {
            key[next--] = depth;
            --available;
        }
        available = 2 * used;
        ++depth;
        used = 0;
    }
}

uint16_t Reversed(uint32_t code, int bits) {
    uint32_t reversed = 0;
    for (int i = 0; i < bits; ++i) {
        reversed = (reversed << 1) | ((code >> i) & 1u);
    }
    return static_cast<uint16_t>(reversed);
}

}  // namespace

void LiteralDeflater::BuildCode(const uint32_t* counts, int count, int maxBits) {
    std::array<std::pair<uint32_t, int>, 288> used{};  // count, symbol
    int n = 0;
    for (int symbol = 0; symbol < count; ++symbol) {
        if (counts[symbol] != 0) {
            used[n++] = {counts[symbol], symbol};
        }
    }
    // Deflate wants a complete code: a lone symbol gets a partner that never appears.
    for (int symbol = 0; n < 2; ++symbol) {
        if (counts[symbol] == 0) {
            used[n++] = {0, symbol};
        }
    }
    std::sort(used.begin(), used.begin() + n);
    std::array<uint32_t, 288> key{};
    for (int i = 0; i < n; ++i) {
        key[i] = used[i].first;
    }
    MinimumRedundancy(key.data(), n);

    // Too long codes are cut to maxBits, then shorter ones lengthened one at a time until the
    // code is complete again (the Kraft sum back at 1).
    std::array<int, kMaxLiteralBits + 1> perLength{};
    for (int i = 0; i < n; ++i) {
        ++perLength[std::min<uint32_t>(key[i], static_cast<uint32_t>(maxBits))];
    }
    uint32_t kraft = 0;
    for (int bits = maxBits; bits > 0; --bits) {
        kraft += static_cast<uint32_t>(perLength[bits]) << (maxBits - bits);
    }
    for (; kraft > (1u << maxBits); --kraft) {
        --perLength[maxBits];
        for (int bits = maxBits - 1; bits > 0; --bits) {
            if (perLength[bits] != 0) {
                --perLength[bits];
                perLength[bits + 1] += 2;
                break;
            }
        }
    }
    // The shortest codes to the most frequent symbols.
    m_Lengths.fill(0);
    int next = n;
    for (int bits = 1; bits <= maxBits; ++bits) {
        for (int k = perLength[bits]; k > 0; --k) {
            m_Lengths[used[--next].second] = static_cast<uint8_t>(bits);
        }
    }

    std::array<uint32_t, kMaxLiteralBits + 2> nextCode{};
    for (int bits = 1; bits <= maxBits; ++bits) {
        nextCode[bits + 1] = (nextCode[bits] + perLength[bits]) << 1;
    }
    for (int symbol = 0; symbol < count; ++symbol) {
        const int bits = m_Lengths[symbol];
        m_Codes[symbol] = bits == 0 ? 0 : Reversed(nextCode[bits]++, bits);
    }
}

void LiteralDeflater::Deflate(const uint8_t* data, size_t size, std::vector<uint8_t>* out) {
    // Four partial counts, so that runs of one byte value do not wait on a single counter.
    std::array<std::array<uint32_t, 256>, 4> partial{};
    size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        ++partial[0][data[i]];
        ++partial[1][data[i + 1]];
        ++partial[2][data[i + 2]];
        ++partial[3][data[i + 3]];
    }
    for (; i < size; ++i) {
        ++partial[0][data[i]];
    }
    std::array<uint32_t, kLiteralCodes> counts{};
    for (int b = 0; b < 256; ++b) {
        counts[b] = partial[0][b] + partial[1][b] + partial[2][b] + partial[3][b];
    }
    counts[kEndOfBlock] = 1;
    BuildCode(counts.data(), kLiteralCodes, kMaxLiteralBits);
    const std::array<uint8_t, 288> literalLengths = m_Lengths;
    const std::array<uint16_t, 288> literalCodes = m_Codes;

    // The literal code's lengths, and one distance code of length 0 (none used), are sent with
    // a code of their own.
    std::array<uint32_t, kLengthCodes> lengthCounts{};
    for (int symbol = 0; symbol < kLiteralCodes; ++symbol) {
        ++lengthCounts[literalLengths[symbol]];
    }
    ++lengthCounts[0];
    BuildCode(lengthCounts.data(), kLengthCodes, kMaxLengthBits);
    int lengthsSent = kLengthCodes;
    while (lengthsSent > 4 && m_Lengths[kLengthOrder[lengthsSent - 1]] == 0) {
        --lengthsSent;
    }

    // Header, block header, code lengths: under 1 KiB; then at most 15 bits a byte; the
    // Adler-32; 8 spare bytes for the packer's stores.
    out->resize(2 + 1024 + size * 2 + 4 + 8);
    uint8_t* begin = out->data();
    begin[0] = 0x78;  // deflate, 32 KiB window
    begin[1] = 0x01;  // fastest compression; (0x78 * 256 + 0x01) % 31 == 0
    BitPacker bits(begin + 2);
    bits.Put(1, 1);  // the final block
    bits.Put(2, 2);  // dynamic Huffman codes
    bits.Put(kLiteralCodes - 257, 5);
    bits.Put(0, 5);  // one distance code
    bits.Put(static_cast<uint32_t>(lengthsSent - 4), 4);
    for (int k = 0; k < lengthsSent; ++k) {
        bits.Put(m_Lengths[kLengthOrder[k]], 3);
    }
    for (int symbol = 0; symbol < kLiteralCodes; ++symbol) {
        const int length = literalLengths[symbol];
        bits.Put(m_Codes[length], m_Lengths[length]);
    }
    bits.Put(m_Codes[0], m_Lengths[0]);  // the distance code's length, 0
    for (i = 0; i + 2 <= size; i += 2) {
        const uint8_t a = data[i];
        const uint8_t b = data[i + 1];
        bits.Put(literalCodes[a] | (static_cast<uint32_t>(literalCodes[b]) << literalLengths[a]),
                 literalLengths[a] + literalLengths[b]);
    }
    if (i < size) {
        bits.Put(literalCodes[data[i]], literalLengths[data[i]]);
    }
    bits.Put(literalCodes[kEndOfBlock], literalLengths[kEndOfBlock]);
    uint8_t* end = bits.Finish();
    const uint32_t adler = libdeflate_adler32(1, data, size);
    for (int shift = 24; shift >= 0; shift -= 8) {
        *end++ = static_cast<uint8_t>(adler >> shift);
    }
    out->resize(static_cast<size_t>(end - begin));
}

}  // namespace Media
