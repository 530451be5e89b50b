// Snapshots as PNG, fast enough to keep up with an alarm on every frame. A picture whose every
// pixel has R = G = B (the camera's grey thermal picture with its white time) is written as 8-bit
// greyscale, a third of the samples; any coloured pixel (a palette) makes it 8-bit RGB. Rows are
// filtered, then deflated once. The defaults are the measured choice (AlarmBench's
// BM_PngFilterAndLevel): "Sub" rows coded as literals only (LiteralDeflater), about 0.6 ms and
// 140 KiB for the grey 480 x 640 camera picture, where libdeflate's level 1 takes 2 ms for
// 150 KiB; "Up" is larger, and Paeth, or a per-row choice of Up or Paeth, is under 2 % smaller
// for twice the time. libdeflate's levels stay for pictures with repeated strings.
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

#include "media/LiteralDeflater.h"

struct libdeflate_compressor;

namespace Media {

// Keyword (1 to 79 Latin letters, digits and spaces) and UTF-8 value.
using PngText = std::pair<std::string, std::string>;

// How each row is predicted before deflating. kUpOrPaeth takes, per row, whichever of the two
// leaves the smaller sum of absolute differences.
enum class PngFilter { kUp, kSub, kPaeth, kUpOrPaeth };

class PngWriter {
public:
    // `level`: 0 for literals only (LiteralDeflater), else libdeflate's compression level, 1
    // (fastest) to 12.
    explicit PngWriter(PngFilter filter = PngFilter::kSub, int level = 0);
    ~PngWriter();
    PngWriter(const PngWriter&) = delete;
    PngWriter& operator=(const PngWriter&) = delete;

    // The PNG file for `rgb` (width x height pixels of R, G, B, rows of 3 x width bytes) in
    // `png`, whose capacity is reused: greyscale when every pixel is grey, else RGB. False when
    // the picture is empty or a keyword is not allowed.
    bool Encode(const unsigned char* rgb, int width, int height, const std::vector<PngText>& text,
                std::vector<uint8_t>* png);
    // The same for a picture known to be grey: `grey` holds one sample a pixel.
    bool EncodeGrey(const unsigned char* grey, int width, int height,
                    const std::vector<PngText>& text, std::vector<uint8_t>* png);

    // The first sample of each of `pixels` RGB pixels into `grey`, as long as every pixel is
    // grey (R = G = B): false as soon as a coloured one is found, `grey` then partly written.
    static bool PackGrey(const uint8_t* rgb, size_t pixels, uint8_t* grey);

private:
    struct CompressorDeleter {
        void operator()(libdeflate_compressor* compressor) const;
    };

    // Every row of `samples` (rows of rowBytes, `channels` bytes a pixel) behind its filter
    // byte into m_Filtered.
    void FilterRows(const uint8_t* samples, size_t rowBytes, int height, int channels);
    // The file for `samples`, `channels` (1 grey, 3 RGB) bytes a pixel.
    bool EncodeSamples(const uint8_t* samples, int channels, int width, int height,
                       const std::vector<PngText>& text, std::vector<uint8_t>* png);

    PngFilter m_Filter;
    int m_Level;
    std::unique_ptr<libdeflate_compressor, CompressorDeleter> m_Compressor;  // null at level 0
    LiteralDeflater m_Literals;
    std::vector<uint8_t> m_Grey;      // the grey samples, while the picture is grey
    std::vector<uint8_t> m_Zero;      // the row "above" the first one
    std::vector<uint8_t> m_Trial;     // kUpOrPaeth: the Paeth row being weighed
    std::vector<uint8_t> m_Filtered;  // rows behind their filter bytes
    std::vector<uint8_t> m_Deflated;
};

}  // namespace Media
