// Snapshots as PNG, fast enough for the GUI thread during an alarm episode: each row with the
// "Up" filter, the whole image deflated once by libdeflate at its fastest level (about 3 ms and
// 220 KB for a 480 x 640 thermal picture, where libpng's default level takes 60 ms).
// Text chunks carry the snapshot's facts: tEXt for plain ASCII, iTXt (UTF-8) otherwise.
//
// A writer keeps its scratch buffers and compressor between pictures: during an alarm episode a
// snapshot is saved for nearly every frame, and fresh frame-sized buffers cost a page fault per
// 4 KiB each time (more than the deflating itself).
//
// Threads: one writer per thread; writers share nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct libdeflate_compressor;

namespace Media {

// Keyword (1 to 79 Latin letters, digits and spaces) and UTF-8 value.
using PngText = std::pair<std::string, std::string>;

class PngWriter {
public:
    PngWriter();
    ~PngWriter();
    PngWriter(const PngWriter&) = delete;
    PngWriter& operator=(const PngWriter&) = delete;

    // The PNG file for `rgb` (width x height pixels of R, G, B, rows of 3 x width bytes) in
    // `png`, whose capacity is reused. False when the picture is empty or a keyword is not
    // allowed.
    bool Encode(const unsigned char* rgb, int width, int height, const std::vector<PngText>& text,
                std::vector<uint8_t>* png);

private:
    struct CompressorDeleter {
        void operator()(libdeflate_compressor* compressor) const;
    };

    std::unique_ptr<libdeflate_compressor, CompressorDeleter> m_Compressor;
    std::vector<uint8_t> m_Filtered;  // rows behind their filter bytes
    std::vector<uint8_t> m_Deflated;
};

}  // namespace Media
