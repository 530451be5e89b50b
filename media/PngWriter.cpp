#include "media/PngWriter.h"

#include <libdeflate.h>

#include <algorithm>
#include <memory>

namespace Media {

namespace {

constexpr uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr uint8_t kFilterUp = 2;
constexpr int kDeflateLevel = 1;

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

}  // namespace

void PngWriter::CompressorDeleter::operator()(libdeflate_compressor* compressor) const {
    libdeflate_free_compressor(compressor);
}

PngWriter::PngWriter() : m_Compressor(libdeflate_alloc_compressor(kDeflateLevel)) {}

PngWriter::~PngWriter() = default;

bool PngWriter::Encode(const unsigned char* rgb, int width, int height,
                       const std::vector<PngText>& text, std::vector<uint8_t>* png) {
    if (!m_Compressor || rgb == nullptr || width <= 0 || height <= 0 ||
        !std::all_of(text.begin(), text.end(),
                     [](const PngText& t) { return IsValidKeyword(t.first); })) {
        return false;
    }
    const size_t rowBytes = static_cast<size_t>(width) * 3;
    // Each row's bytes minus the row above (the first row against zeros), behind its filter
    // byte: smooth thermal pictures become mostly small numbers that deflate well. resize()
    // keeps the capacity, so only the first picture of a size touches fresh memory.
    m_Filtered.resize((rowBytes + 1) * static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        uint8_t* out = m_Filtered.data() + (rowBytes + 1) * static_cast<size_t>(y);
        const unsigned char* row = rgb + rowBytes * static_cast<size_t>(y);
        out[0] = kFilterUp;
        if (y == 0) {
            std::copy(row, row + rowBytes, out + 1);
            continue;
        }
        const unsigned char* above = row - rowBytes;
        for (size_t i = 0; i < rowBytes; ++i) {
            out[1 + i] = static_cast<uint8_t>(row[i] - above[i]);
        }
    }
    m_Deflated.resize(libdeflate_zlib_compress_bound(m_Compressor.get(), m_Filtered.size()));
    const size_t deflatedSize =
        libdeflate_zlib_compress(m_Compressor.get(), m_Filtered.data(), m_Filtered.size(),
                                 m_Deflated.data(), m_Deflated.size());
    if (deflatedSize == 0) {
        return false;
    }

    png->clear();
    png->reserve(deflatedSize + 1024);
    png->insert(png->end(), std::begin(kSignature), std::end(kSignature));
    std::vector<uint8_t> header;
    PutU32(&header, static_cast<uint32_t>(width));
    PutU32(&header, static_cast<uint32_t>(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB, deflate, filtering, no interlace
    PutChunk(png, "IHDR", header.data(), header.size());
    for (const PngText& t : text) {
        PutText(png, t);
    }
    PutChunk(png, "IDAT", m_Deflated.data(), deflatedSize);
    PutChunk(png, "IEND", nullptr, 0);
    return true;
}

}  // namespace Media
