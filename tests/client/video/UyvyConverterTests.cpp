#include <gtest/gtest.h>

#include <QImage>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "video/UyvyConverter.h"

namespace {

// The recording's formulas, computed the slow way.
int reference(double value) {
    const int truncated = static_cast<int>(value);
    return std::clamp(truncated, 0, 255);
}

TEST(UyvyConverterTest, FollowsTheRecordingFormulasWithinOneStepOverEveryInput) {
    // One image row per (U, V) pair: 256 columns of Y, so every (Y, U, V) is converted once.
    constexpr int kWidth = 256;
    constexpr int kHeight = 256 * 256;
    std::vector<unsigned char> uyvy(static_cast<size_t>(kWidth) * kHeight * 2);
    size_t at = 0;
    for (int u = 0; u < 256; ++u) {
        for (int v = 0; v < 256; ++v) {
            for (int y = 0; y < 256; y += 2) {
                uyvy[at++] = static_cast<unsigned char>(u);
                uyvy[at++] = static_cast<unsigned char>(y);
                uyvy[at++] = static_cast<unsigned char>(v);
                uyvy[at++] = static_cast<unsigned char>(y + 1);
            }
        }
    }
    QImage image;
    UyvyConverter::ToRgb32(uyvy.data(), kWidth, kHeight, &image);
    ASSERT_EQ(image.format(), QImage::Format_RGB32);
    ASSERT_EQ(image.bytesPerLine(), kWidth * 4);
    int worst = 0;
    long exact = 0;
    for (int u = 0; u < 256; ++u) {
        for (int v = 0; v < 256; ++v) {
            const auto* row = reinterpret_cast<const QRgb*>(image.constScanLine(u * 256 + v));
            for (int y = 0; y < 256; ++y) {
                const int r = reference(y + 1.370705 * (v - 128));
                const int g = reference(y - 0.698001 * (v - 128) - 0.337633 * (u - 128));
                const int b = reference(y + 1.732446 * (u - 128));
                const QRgb pixel = row[y];
                const int diff = std::max({std::abs(qRed(pixel) - r), std::abs(qGreen(pixel) - g),
                                           std::abs(qBlue(pixel) - b)});
                worst = std::max(worst, diff);
                exact += diff == 0 ? 1 : 0;
                ASSERT_EQ(qAlpha(pixel), 255);
            }
        }
    }
    EXPECT_LE(worst, 1);
    EXPECT_GT(exact, 256L * 256 * 256 * 99 / 100) << "all but a few inputs match exactly";
}

}  // namespace
