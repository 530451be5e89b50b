// UYVY to 32-bit RGB for the screen, scaled to the size the picture is shown at, in one pass
// over the picture. The colours follow the recording's BT.601 full-range formulas to within one
// step per channel (the recording keeps its own exact conversion); the scaling is bilinear with
// the sample positions and integer rounding of Qt's smooth image drawing, so the picture is the
// one Qt gave when it scaled it, pixel for pixel from half size up (below half Qt switches to
// coarser weights; ours stay bilinear). Speed matters here: the GUI thread converts every shown
// frame, and Qt's own scaling cost three times as much.
#pragma once

#include <QImage>
#include <QRect>
#include <QSize>
#include <cstdint>
#include <vector>

class UyvyConverter {
public:
    // Converts width x height UYVY pixels (width * height * 2 bytes, rows packed), scaled to
    // `size`, and writes the part `part` of that picture (inside it) as 0xFFRRGGBB pixels to
    // `out`, which points at the part's top-left pixel, rows `bytesPerLine` bytes apart.
    // width must be even and positive, height and size positive. One thread at a time per
    // converter; the pixels written are no one else's meanwhile.
    void ToRgb32(const unsigned char* uyvy, int width, int height, QSize size, QRect part,
                 unsigned char* out, qsizetype bytesPerLine);
    // The whole picture into `image`, (re)made as a QImage::Format_RGB32 of `size` when its
    // size or format differs.
    void ToRgb32(const unsigned char* uyvy, int width, int height, QSize size, QImage* image);

private:
    using Weights = uint16_t __attribute__((vector_size(16)));

    // Where each output row and column samples the source: the first of two neighbours and
    // the second's weight in 256ths.
    struct Tap {
        int first = 0;
        int second = 0;
        uint16_t weight = 0;
    };

    void Prepare(int width, int height, QSize size);
    // Source row `row` as RGB32, converted once while it is in use (output rows go down).
    const uint32_t* SourceRow(const unsigned char* uyvy, int row);

    int m_Width = 0;
    int m_Height = 0;
    QSize m_Size;
    std::vector<Tap> m_Rows;
    std::vector<int> m_Columns;        // first neighbour; the second is the next pixel
    std::vector<Weights> m_ColumnMix;  // 256 - weight four times, then weight four times
    std::vector<uint32_t> m_Converted[2];
    int m_ConvertedRow[2] = {-1, -1};  // -1: empty
    std::vector<uint32_t> m_Blend;     // the two source rows of an output row, blended
};
