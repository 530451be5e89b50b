// Why the fast path is exact: both conversions are computed in IEEE double with the very
// operations of their formulas, in the same order (each product rounded on its own, sums left to
// right, truncation toward zero). A vector lane performs the same correctly rounded operation as
// a scalar instruction, so the AVX2 path yields the scalar path's bytes by construction; the
// exhaustive tests check every input all the same. The one thing the compiler could change is
// fusing a product into the next add (FMA, on builds whose flags allow it), which would skip the
// product's rounding: Rounded() makes every product an opaque, already rounded value.
//
// Speed comes from doing four lanes at once and from shuffles instead of per-byte stores;
// machines without AVX2 (and the few pixels at a row's end) take the scalar path.
#include "media/ColourConversion.h"

#include <immintrin.h>

#include <cstring>

namespace {

// UYVY to RGB24.
constexpr double kRv = 1.370705;
constexpr double kGv = 0.698001;
constexpr double kGu = 0.337633;
constexpr double kBu = 1.732446;
// RGB24 to I420.
constexpr double kYr = 0.299, kYg = 0.587, kYb = 0.114;
constexpr double kUr = -0.1687, kUg = 0.3313, kUb = 0.5;
constexpr double kVr = 0.5, kVg = 0.4187, kVb = 0.0813;

// An empty asm the compiler cannot see through: the product stays a rounded double.
double Rounded(double value) {
    asm("" : "+x"(value));
    return value;
}

unsigned char Limited(int value) {
    return static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// One group U, Y0, V, Y1 to two pixels R, G, B.
void UyvyGroup(const unsigned char* src, unsigned char* dst) {
    const double du = src[0] - 128;
    const double dv = src[2] - 128;
    const double r = Rounded(kRv * dv);
    const double gv = Rounded(kGv * dv);
    const double gu = Rounded(kGu * du);
    const double b = Rounded(kBu * du);
    for (int k = 0; k < 2; ++k) {
        const double y = src[1 + 2 * k];
        dst[3 * k] = Limited(static_cast<int>(y + r));
        dst[3 * k + 1] = Limited(static_cast<int>(y - gv - gu));
        dst[3 * k + 2] = Limited(static_cast<int>(y + b));
    }
}

// The low 8 bits of the truncated value. Y lies in 0..255 and U, V in 0.5..255.5, so the
// vector path's saturating packs store the same bytes.
unsigned char LowByte(double value) {
    return static_cast<unsigned char>(static_cast<int>(value));
}

unsigned char LumaOf(const unsigned char* rgb) {
    return LowByte(Rounded(kYr * rgb[0]) + Rounded(kYg * rgb[1]) + Rounded(kYb * rgb[2]));
}

unsigned char BlueDifferenceOf(const unsigned char* rgb) {
    return LowByte(Rounded(kUr * rgb[0]) - Rounded(kUg * rgb[1]) + Rounded(kUb * rgb[2]) + 128);
}

unsigned char RedDifferenceOf(const unsigned char* rgb) {
    return LowByte(Rounded(kVr * rgb[0]) - Rounded(kVg * rgb[1]) - Rounded(kVb * rgb[2]) + 128);
}

// Pixels [from, width) of one row; chroma too when the row is even.
void Rgb24RowTail(const unsigned char* rgb, unsigned char* y, unsigned char* u, unsigned char* v,
                  int from, int width, bool evenRow) {
    for (int i = from; i < width; ++i) {
        y[i] = LumaOf(rgb + 3 * i);
        if (evenRow && i % 2 == 0) {
            u[i / 2] = BlueDifferenceOf(rgb + 3 * i);
            v[i / 2] = RedDifferenceOf(rgb + 3 * i);
        }
    }
}

void UyvyToRgb24Scalar(const unsigned char* src, unsigned char* dst, long groups) {
    for (long g = 0; g < groups; ++g) {
        UyvyGroup(src + 4 * g, dst + 6 * g);
    }
}

void Rgb24ToI420Scalar(unsigned char* dst, const unsigned char* src, int width, int height) {
    const long area = static_cast<long>(width) * height;
    for (int j = 0; j < height; ++j) {
        const long chroma = static_cast<long>(j / 2) * (width / 2);
        Rgb24RowTail(src + 3L * j * width, dst + static_cast<long>(j) * width, dst + area + chroma,
                     dst + area + area / 4 + chroma, 0, width, j % 2 == 0);
    }
}

#pragma GCC push_options
#pragma GCC target("avx2")

__m256d Rounded(__m256d value) {
    asm("" : "+x"(value));
    return value;
}

__m256d Times(double factor, __m256d value) {
    return Rounded(_mm256_mul_pd(_mm256_set1_pd(factor), value));
}

// Four groups (16 bytes) to eight pixels (24 bytes).
void UyvyFourGroups(const unsigned char* src, unsigned char* dst) {
    // A group is one 32-bit lane: U in its low byte, then Y0, V, Y1.
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i byte = _mm_set1_epi32(0xFF);
    const __m128i offset = _mm_set1_epi32(128);
    const __m256d du = _mm256_cvtepi32_pd(_mm_sub_epi32(_mm_and_si128(in, byte), offset));
    const __m256d dv =
        _mm256_cvtepi32_pd(_mm_sub_epi32(_mm_and_si128(_mm_srli_epi32(in, 16), byte), offset));
    const __m256d y0 = _mm256_cvtepi32_pd(_mm_and_si128(_mm_srli_epi32(in, 8), byte));
    const __m256d y1 = _mm256_cvtepi32_pd(_mm_srli_epi32(in, 24));
    const __m256d r = Times(kRv, dv);
    const __m256d gv = Times(kGv, dv);
    const __m256d gu = Times(kGu, du);
    const __m256d b = Times(kBu, du);
    const __m128i r0 = _mm256_cvttpd_epi32(_mm256_add_pd(y0, r));
    const __m128i g0 = _mm256_cvttpd_epi32(_mm256_sub_pd(_mm256_sub_pd(y0, gv), gu));
    const __m128i b0 = _mm256_cvttpd_epi32(_mm256_add_pd(y0, b));
    const __m128i r1 = _mm256_cvttpd_epi32(_mm256_add_pd(y1, r));
    const __m128i g1 = _mm256_cvttpd_epi32(_mm256_sub_pd(_mm256_sub_pd(y1, gv), gu));
    const __m128i b1 = _mm256_cvttpd_epi32(_mm256_add_pd(y1, b));
    // The saturating packs are the limiting to 0..255 (the values fit 16 bits easily).
    // first: R0 x4, G0 x4, B0 x4, R1 x4; second: G1 x4, B1 x4, zeros (group k in lane k).
    const __m128i first = _mm_packus_epi16(_mm_packs_epi32(r0, g0), _mm_packs_epi32(b0, r1));
    const __m128i second = _mm_packus_epi16(_mm_packs_epi32(g1, b1), _mm_setzero_si128());
    // Group k goes to bytes 6k..6k+5 as R0 G0 B0 R1 G1 B1; -1 leaves a zero for the OR.
    const __m128i head = _mm_or_si128(
        _mm_shuffle_epi8(first,
                         _mm_setr_epi8(0, 4, 8, 12, -1, -1, 1, 5, 9, 13, -1, -1, 2, 6, 10, 14)),
        _mm_shuffle_epi8(
            second, _mm_setr_epi8(-1, -1, -1, -1, 0, 4, -1, -1, -1, -1, 1, 5, -1, -1, -1, -1)));
    const __m128i tail = _mm_or_si128(
        _mm_shuffle_epi8(
            first, _mm_setr_epi8(-1, -1, 3, 7, 11, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)),
        _mm_shuffle_epi8(
            second, _mm_setr_epi8(2, 6, -1, -1, -1, -1, 3, 7, -1, -1, -1, -1, -1, -1, -1, -1)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), head);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 16), tail);
}

void UyvyToRgb24Avx2(const unsigned char* src, unsigned char* dst, long groups) {
    long g = 0;
    for (; g + 4 <= groups; g += 4) {
        UyvyFourGroups(src + 4 * g, dst + 6 * g);
    }
    UyvyToRgb24Scalar(src + 4 * g, dst + 6 * g, groups - g);
}

// Byte c of each of four pixels (bytes 0..11 of px) as doubles.
__m256d Channel(__m128i px, int c) {
    const __m128i pick =
        _mm_add_epi8(_mm_setr_epi8(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1),
                     _mm_setr_epi8(c, 0, 0, 0, c, 0, 0, 0, c, 0, 0, 0, c, 0, 0, 0));
    return _mm256_cvtepi32_pd(_mm_shuffle_epi8(px, pick));
}

// Byte c of pixels 0 and 2 of lo and of hi (bytes 0..11 each) as doubles.
__m256d EvenChannel(__m128i lo, __m128i hi, int c) {
    const __m128i pick =
        _mm_add_epi8(_mm_setr_epi8(0, -1, -1, -1, 6, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1),
                     _mm_setr_epi8(c, 0, 0, 0, c, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0));
    return _mm256_cvtepi32_pd(
        _mm_unpacklo_epi64(_mm_shuffle_epi8(lo, pick), _mm_shuffle_epi8(hi, pick)));
}

__m128i Luma4(__m128i px) {
    const __m256d y =
        _mm256_add_pd(_mm256_add_pd(Times(kYr, Channel(px, 0)), Times(kYg, Channel(px, 1))),
                      Times(kYb, Channel(px, 2)));
    return _mm256_cvttpd_epi32(y);
}

// Four 32-bit lanes, each within 0..255 (see LowByte), to four bytes.
void StoreFourBytes(__m128i lanes, unsigned char* dst) {
    const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(lanes, lanes), lanes);
    const int bytes = _mm_cvtsi128_si32(packed);
    std::memcpy(dst, &bytes, 4);
}

void Rgb24ToI420Avx2(unsigned char* dst, const unsigned char* src, int width, int height) {
    const long area = static_cast<long>(width) * height;
    const __m256d bias = _mm256_set1_pd(128);
    for (int j = 0; j < height; ++j) {
        const unsigned char* rgb = src + 3L * j * width;
        unsigned char* y = dst + static_cast<long>(j) * width;
        const long chroma = static_cast<long>(j / 2) * (width / 2);
        unsigned char* u = dst + area + chroma;
        unsigned char* v = dst + area + area / 4 + chroma;
        const bool evenRow = j % 2 == 0;
        int i = 0;
        for (; i + 8 <= width; i += 8) {
            // Pixels i..i+3 in lo, i+4..i+7 in hi (loaded 4 bytes early not to read past 24).
            const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rgb + 3 * i));
            const __m128i hi = _mm_srli_si128(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(rgb + 3 * i + 8)), 4);
            const __m128i luma = _mm_packs_epi32(Luma4(lo), Luma4(hi));
            _mm_storel_epi64(reinterpret_cast<__m128i*>(y + i), _mm_packus_epi16(luma, luma));
            if (evenRow) {
                const __m256d r = EvenChannel(lo, hi, 0);
                const __m256d g = EvenChannel(lo, hi, 1);
                const __m256d b = EvenChannel(lo, hi, 2);
                const __m256d cb = _mm256_add_pd(
                    _mm256_add_pd(_mm256_sub_pd(Times(kUr, r), Times(kUg, g)), Times(kUb, b)),
                    bias);
                const __m256d cr = _mm256_add_pd(
                    _mm256_sub_pd(_mm256_sub_pd(Times(kVr, r), Times(kVg, g)), Times(kVb, b)),
                    bias);
                StoreFourBytes(_mm256_cvttpd_epi32(cb), u + i / 2);
                StoreFourBytes(_mm256_cvttpd_epi32(cr), v + i / 2);
            }
        }
        Rgb24RowTail(rgb, y, u, v, i, width, evenRow);
    }
}

#pragma GCC pop_options

bool HasAvx2() {
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    return has;
}

// What Rgb24ToI420 makes of a grey pixel R = G = B = g: its Y, U and V.
struct GreyTables {
    unsigned char y[256];
    unsigned char u[256];
    unsigned char v[256];
};

const GreyTables& Grey() {
    static const GreyTables tables = [] {
        GreyTables t{};
        for (int g = 0; g < 256; ++g) {
            unsigned char rgb[2 * 2 * 3];
            std::memset(rgb, g, sizeof rgb);
            unsigned char i420[2 * 2 + 2];
            Rgb24ToI420Scalar(i420, rgb, 2, 2);
            t.y[g] = i420[0];
            t.u[g] = i420[4];
            t.v[g] = i420[5];
        }
        return t;
    }();
    return tables;
}

}  // namespace

bool GreyUyvyToI420(unsigned char* dst, const unsigned char* src, int width, int height) {
    const GreyTables& grey = Grey();
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    unsigned chroma = 0;
    for (size_t i = 0; i < pixels; i += 2) {
        const unsigned char* group = src + 2 * i;  // U, Y0, V, Y1
        chroma |= static_cast<unsigned>((group[0] ^ 128) | (group[2] ^ 128));
        dst[i] = grey.y[group[1]];
        dst[i + 1] = grey.y[group[3]];
    }
    if (chroma != 0) {
        return false;
    }
    // U and V from the top-left pixel of every 2 x 2 block.
    unsigned char* u = dst + pixels;
    unsigned char* v = u + pixels / 4;
    for (int row = 0; row < height; row += 2) {
        const unsigned char* line = src + static_cast<size_t>(row) * width * 2;
        for (int x = 0; x < width; x += 2) {
            const unsigned char g = line[2 * x + 1];
            *u++ = grey.u[g];
            *v++ = grey.v[g];
        }
    }
    return true;
}

void UyvyToRgb24(const unsigned char* src, unsigned char* dst, int width, int height) {
    const long groups = static_cast<long>(width) * height / 2;
    if (HasAvx2()) {
        UyvyToRgb24Avx2(src, dst, groups);
    } else {
        UyvyToRgb24Scalar(src, dst, groups);
    }
}

void Rgb24ToI420(unsigned char* dst, const unsigned char* src, int width, int height) {
    if (HasAvx2()) {
        Rgb24ToI420Avx2(dst, src, width, height);
    } else {
        Rgb24ToI420Scalar(dst, src, width, height);
    }
}
