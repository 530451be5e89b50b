// The recording path's two colour conversions on a 480 x 640 frame, next to libyuv's nearest
// conversions (a yardstick only: other formulas, RGB24 stored B, G, R) and a plain double loop.
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <random>
#include <vector>

#include "media/ColourConversion.h"

namespace {

constexpr int kWidth = 480;
constexpr int kHeight = 640;
constexpr int kArea = kWidth * kHeight;

using Bytes = std::vector<unsigned char>;

unsigned char Clamped(int value) {
    return static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Smooth gradients with a little sensor-like noise.
Bytes GradientFrame(int bytesPerPixel) {
    std::mt19937 random(1);
    std::normal_distribution<double> noise(0.0, 3.0);
    Bytes frame(static_cast<size_t>(kArea) * bytesPerPixel);
    for (int j = 0; j < kHeight; ++j) {
        for (int i = 0; i < kWidth; ++i) {
            unsigned char* p = &frame[(static_cast<size_t>(j) * kWidth + i) * bytesPerPixel];
            for (int c = 0; c < bytesPerPixel; ++c) {
                const double level = 40.0 + 160.0 * (i + (c + 1) * j) / (kWidth + 3.0 * kHeight);
                p[c] = Clamped(static_cast<int>(level + noise(random)));
            }
        }
    }
    return frame;
}

void PlainUyvyToRgb24(const unsigned char* src, unsigned char* dst, int width, int height) {
    for (int g = 0; g < width * height / 2; ++g) {
        const int u = src[4 * g], v = src[4 * g + 2];
        for (int k = 0; k < 2; ++k) {
            const int y = src[4 * g + 1 + 2 * k];
            unsigned char* p = dst + 6 * g + 3 * k;
            p[0] = Clamped(static_cast<int>(y + 1.370705 * (v - 128)));
            p[1] = Clamped(static_cast<int>(y - 0.698001 * (v - 128) - 0.337633 * (u - 128)));
            p[2] = Clamped(static_cast<int>(y + 1.732446 * (u - 128)));
        }
    }
}

void PlainRgb24ToI420(unsigned char* dst, const unsigned char* src, int width, int height) {
    unsigned char* u = dst + width * height;
    unsigned char* v = u + width * height / 4;
    for (int j = 0; j < height; ++j) {
        for (int i = 0; i < width; ++i) {
            const unsigned char* p = src + 3 * (j * width + i);
            dst[j * width + i] = static_cast<unsigned char>(
                static_cast<int>(0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]));
            if (i % 2 == 0 && j % 2 == 0) {
                *u++ = static_cast<unsigned char>(
                    static_cast<int>(-0.1687 * p[0] - 0.3313 * p[1] + 0.5 * p[2] + 128));
                *v++ = static_cast<unsigned char>(
                    static_cast<int>(0.5 * p[0] - 0.4187 * p[1] - 0.0813 * p[2] + 128));
            }
        }
    }
}

template <class Convert>
void RunFrames(benchmark::State& state, const Bytes& src, size_t dstSize, Convert convert) {
    Bytes dst(dstSize);
    for (auto _ : state) {
        convert(src.data(), dst.data());
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_UyvyToRgb24(benchmark::State& state) {
    RunFrames(state, GradientFrame(2), kArea * 3,
              [](const unsigned char* s, unsigned char* d) { UyvyToRgb24(s, d, kWidth, kHeight); });
}

void BM_UyvyToRgb24Plain(benchmark::State& state) {
    RunFrames(state, GradientFrame(2), kArea * 3, [](const unsigned char* s, unsigned char* d) {
        PlainUyvyToRgb24(s, d, kWidth, kHeight);
    });
}

void BM_LibyuvUyvyToArgb(benchmark::State& state) {
    RunFrames(state, GradientFrame(2), kArea * 4, [](const unsigned char* s, unsigned char* d) {
        libyuv::UYVYToARGB(s, kWidth * 2, d, kWidth * 4, kWidth, kHeight);
    });
}

void BM_Rgb24ToI420(benchmark::State& state) {
    RunFrames(state, GradientFrame(3), kArea * 3 / 2,
              [](const unsigned char* s, unsigned char* d) { Rgb24ToI420(d, s, kWidth, kHeight); });
}

void BM_Rgb24ToI420Plain(benchmark::State& state) {
    RunFrames(state, GradientFrame(3), kArea * 3 / 2, [](const unsigned char* s, unsigned char* d) {
        PlainRgb24ToI420(d, s, kWidth, kHeight);
    });
}

void BM_LibyuvRgb24ToI420(benchmark::State& state) {
    RunFrames(state, GradientFrame(3), kArea * 3 / 2, [](const unsigned char* s, unsigned char* d) {
        unsigned char* u = d + kArea;
        unsigned char* v = u + kArea / 4;
        libyuv::RGB24ToI420(s, kWidth * 3, d, kWidth, u, kWidth / 2, v, kWidth / 2, kWidth,
                            kHeight);
    });
}

BENCHMARK(BM_UyvyToRgb24)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LibyuvUyvyToArgb)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UyvyToRgb24Plain)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rgb24ToI420)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LibyuvRgb24ToI420)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Rgb24ToI420Plain)->Unit(benchmark::kMicrosecond);

}  // namespace
