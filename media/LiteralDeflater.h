// A zlib stream (RFC 1950) holding one deflate block of Huffman-coded literals: no search for
// repeated strings. On a filtered thermal picture the search finds little (the differences are
// sensor noise) and costs most of the time: the camera's grey 480 x 640 picture, Sub-filtered,
// comes to about 140 KiB this way against 149 KiB from libdeflate's level 1, in a quarter of
// the time (AlarmBench's BM_PngFilterAndLevel). The code is a length-limited Huffman code built
// from the data's own byte counts, so it suits any picture, though a repetitive one (a flat
// colour, a screenshot) deflates much better with string matching.
//
// Threads: one deflater per thread; deflaters share nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace Media {

class LiteralDeflater {
public:
    // The zlib stream of `size` bytes at `data` into `out`, whose capacity is reused.
    void Deflate(const uint8_t* data, size_t size, std::vector<uint8_t>* out);

private:
    // Canonical codes for symbols [0, count) from their counts, no code longer than maxBits:
    // lengths in m_Lengths and bit-reversed codes (deflate sends codes from their high bit,
    // packed from the low bit of each byte) in m_Codes.
    void BuildCode(const uint32_t* counts, int count, int maxBits);

    std::array<uint8_t, 288> m_Lengths{};
    std::array<uint16_t, 288> m_Codes{};
};

}  // namespace Media
