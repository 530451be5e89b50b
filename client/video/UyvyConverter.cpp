#include "video/UyvyConverter.h"

#include <array>
#include <cstdint>

namespace {

// Chroma terms in 16.16 fixed point, indexed by the raw 8-bit sample; the right shift of a
// negative term rounds toward minus infinity, as the float formulas' truncation does once Y is
// added and the sum is non-negative (negative sums are clamped to 0 anyway).
struct Tables {
    std::array<int32_t, 256> rv{}, gu{}, gv{}, bu{};
    std::array<uint8_t, 1024> clamp{};  // index value + 384
    Tables() {
        for (int i = 0; i < 256; ++i) {
            const int c = i - 128;
            rv[i] = static_cast<int32_t>(1.370705 * 65536.0 * c);
            gu[i] = static_cast<int32_t>(-0.337633 * 65536.0 * c);
            gv[i] = static_cast<int32_t>(-0.698001 * 65536.0 * c);
            bu[i] = static_cast<int32_t>(1.732446 * 65536.0 * c);
        }
        for (int i = 0; i < 1024; ++i) {
            const int v = i - 384;
            clamp[i] = static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
        }
    }
};

const Tables& tables() {
    static const Tables instance;
    return instance;
}

}  // namespace

void UyvyConverter::ToRgb32(const unsigned char* uyvy, int width, int height, QImage* image) {
    if (image->width() != width || image->height() != height ||
        image->format() != QImage::Format_RGB32) {
        *image = QImage(width, height, QImage::Format_RGB32);
    }
    const Tables& t = tables();
    const uint8_t* const clamp = t.clamp.data() + 384;
    // Format_RGB32 rows are 4 * width bytes, without padding: the pixels form one run.
    auto* out = reinterpret_cast<uint32_t*>(image->bits());
    const size_t groups = static_cast<size_t>(width) * static_cast<size_t>(height) / 2;
    for (size_t i = 0; i < groups; ++i, uyvy += 4, out += 2) {
        const int u = uyvy[0];
        const int y0 = uyvy[1];
        const int v = uyvy[2];
        const int y1 = uyvy[3];
        const int dr = t.rv[v] >> 16;
        const int dg = (t.gu[u] + t.gv[v]) >> 16;
        const int db = t.bu[u] >> 16;
        out[0] = 0xFF000000u | uint32_t{clamp[y0 + dr]} << 16 | uint32_t{clamp[y0 + dg]} << 8 |
                 clamp[y0 + db];
        out[1] = 0xFF000000u | uint32_t{clamp[y1 + dr]} << 16 | uint32_t{clamp[y1 + dg]} << 8 |
                 clamp[y1 + db];
    }
}
