#include "media/PngWriter.h"

#include <libdeflate.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace Media {

namespace {

constexpr uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint8_t kFilterSub = 1;
constexpr uint8_t kFilterUp = 2;
constexpr uint8_t kFilterPaeth = 4;
constexpr uint8_t kColourGrey = 0;
constexpr uint8_t kColourRgb = 2;

void PutU32(std::vector<uint8_t>* out, uint32_t value) {
    out->push_back(static_cast<uint8_t>(value >> 24));
    out->push_back(static_cast<uint8_t>(value >> 16));
    out->push_back(static_cast<uint8_t>(value >> 8));
    out->push_back(static_cast<uint8_t>(value));
}

// Appends a chunk: length, type, data, CRC-32 of type and data.
void PutChunk(std::vector<uint8_t>* out, const char* type, const uint8_t* data, size_t size) {
    PutU32(out, static_cast<uint32_t>(size));
    const size_t typeAt = out->size();
    out->insert(out->end(), type, type + 4);
    out->insert(out->end(), data, data + size);
    const uint32_t crc = libdeflate_crc32(0, out->data() + typeAt, out->size() - typeAt);
    PutU32(out, crc);
}

bool IsValidKeyword(const std::string& keyword) {
    return !keyword.empty() && keyword.size() <= 79 && keyword.front() != ' ' &&
           keyword.back() != ' ' && std::all_of(keyword.begin(), keyword.end(), [](char c) {
               return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                      c == ' ';
           });
}

bool IsAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

void PutText(std::vector<uint8_t>* out, const PngText& text) {
    std::vector<uint8_t> data(text.first.begin(), text.first.end());
    data.push_back(0);
    if (IsAscii(text.second)) {
        data.insert(data.end(), text.second.begin(), text.second.end());
        PutChunk(out, "tEXt", data.data(), data.size());
        return;
    }
    // Not compressed, no language tag, no translated keyword.
    data.insert(data.end(), {0, 0, 0, 0});
    data.insert(data.end(), text.second.begin(), text.second.end());
    PutChunk(out, "iTXt", data.data(), data.size());
}

void FilterUp(const uint8_t* row, const uint8_t* above, uint8_t* out, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) {
        out[i] = static_cast<uint8_t>(row[i] - above[i]);
    }
}

void FilterSub(const uint8_t* row, uint8_t* out, size_t bytes, size_t channels) {
    std::copy(row, row + channels, out);
    for (size_t i = channels; i < bytes; ++i) {
        out[i] = static_cast<uint8_t>(row[i] - row[i - channels]);
    }
}

// The predictor from the left (a), above (b) and upper left (c) neighbours, without branches.
inline int Paeth(int a, int b, int c) {
    const int pa = std::abs(b - c);
    const int pb = std::abs(a - c);
    const int pc = std::abs(a + b - 2 * c);
    return pa <= pb && pa <= pc ? a : (pb <= pc ? b : c);
}

void FilterPaeth(const uint8_t* row, const uint8_t* above, uint8_t* out, size_t bytes,
                 size_t channels) {
    FilterUp(row, above, out, channels);  // no left neighbours: the predictor is the one above
    for (size_t i = channels; i < bytes; ++i) {
        out[i] =
            static_cast<uint8_t>(row[i] - Paeth(row[i - channels], above[i], above[i - channels]));
    }
}

// The usual measure of how well a filtered row will deflate: its bytes as signed differences,
// summed by size.
uint64_t Cost(const uint8_t* filtered, size_t bytes) {
    uint64_t sum = 0;
    for (size_t i = 0; i < bytes; ++i) {
        sum += static_cast<unsigned>(std::abs(static_cast<int8_t>(filtered[i])));
    }
    return sum;
}

}  // namespace

void PngWriter::CompressorDeleter::operator()(libdeflate_compressor* compressor) const {
    libdeflate_free_compressor(compressor);
}

PngWriter::PngWriter(PngFilter filter, int level)
    : m_Filter(filter),
      m_Level(level),
      m_Compressor(level == 0 ? nullptr : libdeflate_alloc_compressor(level)) {}

PngWriter::~PngWriter() = default;

// Checked in blocks, so that the loop inside needs no early exit; a coloured picture (a
// palette) is usually found in its first block.
bool PngWriter::PackGrey(const uint8_t* rgb, size_t pixels, uint8_t* grey) {
    constexpr size_t kBlock = 256;
    for (size_t at = 0; at < pixels; at += kBlock) {
        const size_t end = std::min(pixels, at + kBlock);
        unsigned coloured = 0;
        for (size_t i = at; i < end; ++i) {
            const uint8_t* pixel = rgb + 3 * i;
            coloured |= static_cast<unsigned>((pixel[0] ^ pixel[1]) | (pixel[1] ^ pixel[2]));
            grey[i] = pixel[0];
        }
        if (coloured != 0) {
            return false;
        }
    }
    return true;
}

void PngWriter::FilterRows(const uint8_t* samples, size_t rowBytes, int height, int channels) {
    // resize() keeps the capacity, so only the first picture of a size touches fresh memory.
    m_Filtered.resize((rowBytes + 1) * static_cast<size_t>(height));
    m_Zero.assign(rowBytes, 0);
    if (m_Filter == PngFilter::kUpOrPaeth) {
        m_Trial.resize(rowBytes);
    }
    const auto step = static_cast<size_t>(channels);
    for (int y = 0; y < height; ++y) {
        uint8_t* out = m_Filtered.data() + (rowBytes + 1) * static_cast<size_t>(y);
        const uint8_t* row = samples + rowBytes * static_cast<size_t>(y);
        const uint8_t* above = y == 0 ? m_Zero.data() : row - rowBytes;
        switch (m_Filter) {
            case PngFilter::kUp:
                out[0] = kFilterUp;
                FilterUp(row, above, out + 1, rowBytes);
                break;
            case PngFilter::kSub:
                out[0] = kFilterSub;
                FilterSub(row, out + 1, rowBytes, step);
                break;
            case PngFilter::kPaeth:
                out[0] = kFilterPaeth;
                FilterPaeth(row, above, out + 1, rowBytes, step);
                break;
            case PngFilter::kUpOrPaeth:
                out[0] = kFilterUp;
                FilterUp(row, above, out + 1, rowBytes);
                FilterPaeth(row, above, m_Trial.data(), rowBytes, step);
                if (Cost(m_Trial.data(), rowBytes) < Cost(out + 1, rowBytes)) {
                    out[0] = kFilterPaeth;
                    std::copy(m_Trial.begin(), m_Trial.end(), out + 1);
                }
                break;
        }
    }
}

bool PngWriter::Encode(const unsigned char* rgb, int width, int height,
                       const std::vector<PngText>& text, std::vector<uint8_t>* png) {
    if (rgb == nullptr || width <= 0 || height <= 0) {
        return false;
    }
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    m_Grey.resize(pixels);
    return PackGrey(rgb, pixels, m_Grey.data())
               ? EncodeSamples(m_Grey.data(), 1, width, height, text, png)
               : EncodeSamples(rgb, 3, width, height, text, png);
}

bool PngWriter::EncodeGrey(const unsigned char* grey, int width, int height,
                           const std::vector<PngText>& text, std::vector<uint8_t>* png) {
    return grey != nullptr && width > 0 && height > 0 &&
           EncodeSamples(grey, 1, width, height, text, png);
}

bool PngWriter::EncodeSamples(const uint8_t* samples, int channels, int width, int height,
                              const std::vector<PngText>& text, std::vector<uint8_t>* png) {
    if ((m_Level != 0 && !m_Compressor) ||
        !std::all_of(text.begin(), text.end(),
                     [](const PngText& t) { return IsValidKeyword(t.first); })) {
        return false;
    }
    const bool grey = channels == 1;
    FilterRows(samples, static_cast<size_t>(width) * channels, height, channels);
    size_t deflatedSize = 0;
    if (m_Compressor) {
        m_Deflated.resize(libdeflate_zlib_compress_bound(m_Compressor.get(), m_Filtered.size()));
        deflatedSize =
            libdeflate_zlib_compress(m_Compressor.get(), m_Filtered.data(), m_Filtered.size(),
                                     m_Deflated.data(), m_Deflated.size());
        if (deflatedSize == 0) {
            return false;
        }
    } else {
        m_Literals.Deflate(m_Filtered.data(), m_Filtered.size(), &m_Deflated);
        deflatedSize = m_Deflated.size();
    }

    png->clear();
    png->reserve(deflatedSize + 1024);
    png->insert(png->end(), std::begin(kSignature), std::end(kSignature));
    std::vector<uint8_t> header;
    PutU32(&header, static_cast<uint32_t>(width));
    PutU32(&header, static_cast<uint32_t>(height));
    // 8 bits a sample, deflate, adaptive filtering, no interlace.
    header.insert(header.end(), {8, grey ? kColourGrey : kColourRgb, 0, 0, 0});
    PutChunk(png, "IHDR", header.data(), header.size());
    for (const PngText& t : text) {
        PutText(png, t);
    }
    PutChunk(png, "IDAT", m_Deflated.data(), deflatedSize);
    PutChunk(png, "IEND", nullptr, 0);
    return true;
}

}  // namespace Media
