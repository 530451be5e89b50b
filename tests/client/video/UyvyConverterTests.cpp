#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstdlib>
#include <random>
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
    UyvyConverter().ToRgb32(uyvy.data(), kWidth, kHeight, QSize(kWidth, kHeight), &image);
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

// The scaled picture is the one Qt's smooth drawing of the converted picture gave (the renderer
// drew that way before it scaled by itself), up and down to half size, on a picture of random
// bytes (every neighbour differs): pixel for pixel but for rare one-step differences (Qt's own
// sample positions move by a 65536th of a pixel with how it splits the work).
TEST(UyvyConverterTest, ScalesAsQtsSmoothDrawingWithinOneStep) {
    constexpr int kWidth = 480;
    constexpr int kHeight = 640;
    std::vector<unsigned char> uyvy(static_cast<size_t>(kWidth) * kHeight * 2);
    std::mt19937 random(7);
    for (unsigned char& byte : uyvy) {
        byte = static_cast<unsigned char>(random());
    }
    UyvyConverter converter;
    QImage own;
    converter.ToRgb32(uyvy.data(), kWidth, kHeight, QSize(kWidth, kHeight), &own);
    const QImage picture = own.copy();

    const QSize sizes[] = {{502, 670}, {481, 641}, {1279, 1706},
                           {300, 400}, {241, 321}, {480, 320}};
    for (const QSize size : sizes) {
        converter.ToRgb32(uyvy.data(), kWidth, kHeight, size, &own);
        QImage drawn(size, QImage::Format_RGB32);
        {
            QPainter painter(&drawn);
            painter.setRenderHint(QPainter::SmoothPixmapTransform, true);
            painter.drawImage(QRect(QPoint(0, 0), size), picture);
        }
        ASSERT_EQ(own.size(), size);
        int worst = 0;
        long differing = 0;
        for (int y = 0; y < size.height(); ++y) {
            const auto* a = reinterpret_cast<const QRgb*>(own.constScanLine(y));
            const auto* b = reinterpret_cast<const QRgb*>(drawn.constScanLine(y));
            for (int x = 0; x < size.width(); ++x) {
                const int diff = std::max({std::abs(qRed(a[x]) - qRed(b[x])),
                                           std::abs(qGreen(a[x]) - qGreen(b[x])),
                                           std::abs(qBlue(a[x]) - qBlue(b[x]))});
                worst = std::max(worst, diff);
                differing += diff != 0 ? 1 : 0;
            }
        }
        EXPECT_LE(worst, 1) << size.width() << "x" << size.height();
        EXPECT_LE(differing * 100, static_cast<long>(size.width()) * size.height())
            << size.width() << "x" << size.height();
    }
}

}  // namespace
