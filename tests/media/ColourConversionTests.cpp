// The conversions against their formulas evaluated plainly in double, over every possible input.
// This file is compiled with -ffp-contract=off, so the reference rounds each product on its own.
#include "media/ColourConversion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

unsigned char Limited(double value) {
    const int t = static_cast<int>(value);
    return static_cast<unsigned char>(t < 0 ? 0 : t > 255 ? 255 : t);
}

unsigned char LowByte(double value) {
    return static_cast<unsigned char>(static_cast<int>(value));
}

struct Yuv {
    unsigned char y, u, v;
};

Yuv ReferenceYuv(int r, int g, int b) {
    return {LowByte(0.299 * r + 0.587 * g + 0.114 * b),
            LowByte(-0.1687 * r - 0.3313 * g + 0.5 * b + 128),
            LowByte(0.5 * r - 0.4187 * g - 0.0813 * b + 128)};
}

Bytes ReferenceUyvyToRgb24(const Bytes& uyvy) {
    Bytes rgb(uyvy.size() / 2 * 3);
    unsigned char* out = rgb.data();
    for (size_t g = 0; g < uyvy.size(); g += 4) {
        const int u = uyvy[g], v = uyvy[g + 2];
        for (const int y : {uyvy[g + 1], uyvy[g + 3]}) {
            *out++ = Limited(y + 1.370705 * (v - 128));
            *out++ = Limited(y - 0.698001 * (v - 128) - 0.337633 * (u - 128));
            *out++ = Limited(y + 1.732446 * (u - 128));
        }
    }
    return rgb;
}

Bytes ReferenceRgb24ToI420(const Bytes& rgb, int width, int height) {
    const size_t area = static_cast<size_t>(width) * height;
    Bytes out(area * 3 / 2);
    size_t chroma = 0;
    for (int j = 0; j < height; ++j) {
        for (int i = 0; i < width; ++i) {
            const unsigned char* p = &rgb[3 * (static_cast<size_t>(j) * width + i)];
            const Yuv yuv = ReferenceYuv(p[0], p[1], p[2]);
            out[static_cast<size_t>(j) * width + i] = yuv.y;
            if (i % 2 == 0 && j % 2 == 0) {
                out[area + chroma] = yuv.u;
                out[area + area / 4 + chroma] = yuv.v;
                ++chroma;
            }
        }
    }
    return out;
}

// Index of the first differing byte, or -1.
long FirstDifference(const Bytes& actual, const Bytes& expected) {
    const auto at = std::mismatch(expected.begin(), expected.end(), actual.begin()).first;
    return at == expected.end() ? -1 : at - expected.begin();
}

TEST(UyvyToRgb24Test, KnownPoints) {
    struct Case {
        unsigned char group[4];  // U, Y0, V, Y1
        unsigned char pixels[6];
    };
    const Case cases[] = {
        {{128, 100, 128, 200}, {100, 100, 100, 200, 200, 200}},
        {{128, 255, 255, 255}, {255, 166, 255, 255, 166, 255}},
        // Y 0, U 0, V 0: R -175 and B -221 limit to 0; G = 89.344128 + 43.217024.
        {{0, 0, 0, 0}, {0, 132, 0, 0, 132, 0}},
    };
    for (const Case& c : cases) {
        unsigned char rgb[6] = {};
        UyvyToRgb24(c.group, rgb, 2, 1);
        EXPECT_EQ(Bytes(rgb, rgb + 6), Bytes(c.pixels, c.pixels + 6))
            << "group " << int(c.group[0]) << " " << int(c.group[1]) << " " << int(c.group[2]);
    }
}

// Every (Y, U, V): one 256 x 256 picture per U, row V holding Y = 0..255 in order.
TEST(UyvyToRgb24Test, MatchesTheFormulaForEveryInput) {
    Bytes uyvy(256 * 256 * 2);
    Bytes rgb(256 * 256 * 3);
    for (int u = 0; u < 256; ++u) {
        for (int v = 0; v < 256; ++v) {
            for (int y = 0; y < 256; y += 2) {
                unsigned char* group = &uyvy[(v * 256 + y) * 2];
                group[0] = static_cast<unsigned char>(u);
                group[1] = static_cast<unsigned char>(y);
                group[2] = static_cast<unsigned char>(v);
                group[3] = static_cast<unsigned char>(y + 1);
            }
        }
        UyvyToRgb24(uyvy.data(), rgb.data(), 256, 256);
        const long at = FirstDifference(rgb, ReferenceUyvyToRgb24(uyvy));
        ASSERT_EQ(at, -1) << "U " << u << " V " << at / 768 << " Y " << at % 768 / 3 << " channel "
                          << at % 3;
    }
}

// Every (R, G, B) fills a 2 x 2 block, so each one is also a block's top-left pixel: one
// 512 x 512 picture per R, block row G, block column B.
TEST(Rgb24ToI420Test, MatchesTheFormulaForEveryInput) {
    constexpr int kSide = 512;
    constexpr size_t kArea = kSide * kSide;
    Bytes rgb(kArea * 3);
    Bytes i420(kArea * 3 / 2);
    Bytes expected(kArea * 3 / 2);
    for (int r = 0; r < 256; ++r) {
        for (int g = 0; g < 256; ++g) {
            for (int b = 0; b < 256; ++b) {
                const Yuv yuv = ReferenceYuv(r, g, b);
                for (int k = 0; k < 4; ++k) {
                    const size_t pixel = (2 * g + k / 2) * kSide + 2 * b + k % 2;
                    rgb[3 * pixel] = static_cast<unsigned char>(r);
                    rgb[3 * pixel + 1] = static_cast<unsigned char>(g);
                    rgb[3 * pixel + 2] = static_cast<unsigned char>(b);
                    expected[pixel] = yuv.y;
                }
                expected[kArea + g * 256 + b] = yuv.u;
                expected[kArea + kArea / 4 + g * 256 + b] = yuv.v;
            }
        }
        Rgb24ToI420(i420.data(), rgb.data(), kSide, kSide);
        const long at = FirstDifference(i420, expected);
        ASSERT_EQ(at, -1) << "R " << r << ", byte " << at << " of the I420 picture";
    }
}

// Distinct pixels in a picture wide enough for the vector path: chroma comes from each block's
// top-left pixel (the reference's choice), and any other pixel of the block would differ.
TEST(Rgb24ToI420Test, PlaneLayout) {
    constexpr int kWidth = 16, kHeight = 4;
    Bytes rgb;
    for (int k = 0; k < kWidth * kHeight; ++k) {
        rgb.insert(rgb.end(),
                   {static_cast<unsigned char>(4 * k), static_cast<unsigned char>(255 - 3 * k),
                    static_cast<unsigned char>(2 * k + 64)});
    }
    const auto uOf = [&](int k) {
        return ReferenceYuv(rgb[3 * k], rgb[3 * k + 1], rgb[3 * k + 2]).u;
    };
    for (const int neighbour : {1, kWidth, kWidth + 1}) {
        ASSERT_NE(uOf(neighbour), uOf(0));
    }
    Bytes i420(kWidth * kHeight * 3 / 2);
    Rgb24ToI420(i420.data(), rgb.data(), kWidth, kHeight);
    EXPECT_EQ(i420, ReferenceRgb24ToI420(rgb, kWidth, kHeight));
}

// Random pictures of sizes around the vector widths: row ends, plane strides, and no byte
// written past the output.
TEST(ColourConversionTest, PictureSizes) {
    const std::pair<int, int> sizes[] = {{2, 2}, {6, 2}, {10, 6}, {12, 4}, {14, 10}, {482, 2}};
    std::mt19937 random(7);
    constexpr size_t kSlack = 32;
    for (const auto& [width, height] : sizes) {
        const size_t area = static_cast<size_t>(width) * height;
        Bytes uyvy(area * 2);
        for (unsigned char& byte : uyvy) {
            byte = static_cast<unsigned char>(random());
        }
        Bytes rgb(area * 3 + kSlack, 0xA5);
        UyvyToRgb24(uyvy.data(), rgb.data(), width, height);
        Bytes expected = ReferenceUyvyToRgb24(uyvy);
        expected.resize(rgb.size(), 0xA5);
        EXPECT_EQ(FirstDifference(rgb, expected), -1) << "UYVY " << width << "x" << height;

        Bytes i420(area * 3 / 2 + kSlack, 0xA5);
        Rgb24ToI420(i420.data(), rgb.data(), width, height);
        expected = ReferenceRgb24ToI420(rgb, width, height);
        expected.resize(i420.size(), 0xA5);
        EXPECT_EQ(FirstDifference(i420, expected), -1) << "RGB24 " << width << "x" << height;

        // The grey path refuses the coloured frame, and gives the two conversions' bytes once
        // every chroma sample is 128.
        EXPECT_FALSE(GreyUyvyToI420(i420.data(), uyvy.data(), width, height));
        for (size_t i = 0; i < uyvy.size(); i += 2) {
            uyvy[i] = 128;
        }
        UyvyToRgb24(uyvy.data(), rgb.data(), width, height);
        expected = ReferenceRgb24ToI420(rgb, width, height);
        expected.resize(i420.size(), 0xA5);
        std::fill(i420.begin(), i420.end(), 0xA5);
        EXPECT_TRUE(GreyUyvyToI420(i420.data(), uyvy.data(), width, height));
        EXPECT_EQ(FirstDifference(i420, expected), -1) << "grey " << width << "x" << height;
    }
}

}  // namespace
