#include "capture/virtual/VirtualScene.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace Framegate {

namespace {

constexpr uint8_t kNeutralChroma = 128;
// Background luma: cooler at the top, a little warmer towards the floor and the right.
constexpr double kBackgroundTop = 48.0;
constexpr double kBackgroundRise = 50.0;
constexpr double kBackgroundSideRise = 10.0;
constexpr double kBackgroundRipple = 5.0;
constexpr int kObjectPeak = 225;
// Noise is +-kNoiseAmplitude; with the levels above the sum always stays inside video range,
// so a frame byte is a plain add, without clamping.
constexpr int kNoiseAmplitude = 4;
constexpr size_t kNoiseSlack = 8192;
// The object's path: two slow, unrelated periods give a Lissajous figure that rarely repeats.
constexpr double kPeriodXMs = 9000.0;
constexpr double kPeriodYMs = 13000.0;
constexpr double kPhaseY = 0.6;

static_assert(kBackgroundTop - kNoiseAmplitude >= VirtualScene::kMinLuma);
static_assert(kBackgroundTop + kBackgroundRise + kBackgroundSideRise + kBackgroundRipple +
                  kNoiseAmplitude <=
              VirtualScene::kMaxLuma);
static_assert(kObjectPeak + kNoiseAmplitude <= VirtualScene::kMaxLuma);

// The frame's one full pass. Fixed blocks of 16 bytes on buffers that never overlap let -O2
// turn each block into a single vector add.
void addNoise(const uint8_t* __restrict background, const int8_t* __restrict noise,
              uint8_t* __restrict frame, size_t bytes) {
    constexpr size_t kBlock = 16;
    size_t i = 0;
    for (; i + kBlock <= bytes; i += kBlock) {
        for (size_t j = 0; j < kBlock; ++j) {
            frame[i + j] = static_cast<uint8_t>(background[i + j] + noise[i + j]);
        }
    }
    for (; i < bytes; ++i) {
        frame[i] = static_cast<uint8_t>(background[i] + noise[i]);
    }
}

}  // namespace

VirtualScene::VirtualScene(int width, int height, uint32_t seed)
    : m_width(width),
      m_height(height),
      m_radius(std::max(1, std::min(width, height) / 6)),
      m_background(static_cast<size_t>(width) * height * 2),
      m_noise(m_background.size() + kNoiseSlack, 0),
      m_random(seed) {
    const double pi2 = 2.0 * std::numbers::pi;
    for (int y = 0; y < height; ++y) {
        const double down = height > 1 ? static_cast<double>(y) / (height - 1) : 0.0;
        for (int x = 0; x < width; ++x) {
            const double across = width > 1 ? static_cast<double>(x) / (width - 1) : 0.0;
            // A faint ripple keeps the gradient from looking like a test pattern.
            const double ripple =
                kBackgroundRipple * 0.5 * (1.0 + std::sin(pi2 * (1.5 * across + 0.7 * down)));
            const double luma =
                kBackgroundTop + kBackgroundRise * down + kBackgroundSideRise * across + ripple;
            const size_t at = (static_cast<size_t>(y) * width + x) * 2;
            m_background[at] = static_cast<uint8_t>(std::lround(luma));
            m_background[at + 1] = kNeutralChroma;
        }
    }

    const int side = 2 * m_radius + 1;
    m_falloff.resize(static_cast<size_t>(side) * side);
    for (int dy = -m_radius; dy <= m_radius; ++dy) {
        for (int dx = -m_radius; dx <= m_radius; ++dx) {
            // (1 - r^2/R^2)^2: a hot core fading smoothly into the background.
            const double r2 = static_cast<double>(dx * dx + dy * dy) / (m_radius * m_radius);
            const double weight = r2 < 1.0 ? (1.0 - r2) * (1.0 - r2) : 0.0;
            m_falloff[static_cast<size_t>(dy + m_radius) * side + (dx + m_radius)] =
                static_cast<uint8_t>(std::lround(255.0 * weight));
        }
    }

    // Triangular noise (sum of two uniforms) on luma bytes only.
    std::uniform_int_distribution<int> half(-kNoiseAmplitude / 2, kNoiseAmplitude / 2);
    for (size_t i = 0; i < m_noise.size(); i += 2) {
        m_noise[i] = static_cast<int8_t>(half(m_random) + half(m_random));
    }
}

VirtualScene::Point VirtualScene::objectCentre(std::chrono::milliseconds elapsed) const {
    const double pi2 = 2.0 * std::numbers::pi;
    const double t = static_cast<double>(elapsed.count());
    // Keep the whole object inside the picture when the picture is large enough.
    const int spanX = std::max(0, m_width / 2 - m_radius - 1);
    const int spanY = std::max(0, m_height / 2 - m_radius - 1);
    return Point{
        m_width / 2 + static_cast<int>(std::lround(spanX * std::sin(pi2 * t / kPeriodXMs))),
        m_height / 2 +
            static_cast<int>(std::lround(spanY * std::sin(pi2 * t / kPeriodYMs + kPhaseY)))};
}

void VirtualScene::render(std::chrono::milliseconds elapsed, uint8_t* frame) {
    // An even offset keeps the zero chroma entries of the noise on chroma bytes.
    const size_t offset = 2 * (m_random() % (kNoiseSlack / 2));
    const int8_t* noise = m_noise.data() + offset;
    const uint8_t* background = m_background.data();
    addNoise(background, noise, frame, m_background.size());

    const Point centre = objectCentre(elapsed);
    const int side = 2 * m_radius + 1;
    const int top = std::max(0, centre.y - m_radius);
    const int bottom = std::min(m_height - 1, centre.y + m_radius);
    const int left = std::max(0, centre.x - m_radius);
    const int right = std::min(m_width - 1, centre.x + m_radius);
    for (int y = top; y <= bottom; ++y) {
        const uint8_t* weights =
            m_falloff.data() + static_cast<size_t>(y - centre.y + m_radius) * side;
        for (int x = left; x <= right; ++x) {
            const int weight = weights[x - centre.x + m_radius];
            const size_t at = (static_cast<size_t>(y) * m_width + x) * 2;
            const int base = background[at];
            const int warm = base + (((kObjectPeak - base) * weight + 128) >> 8);
            frame[at] = static_cast<uint8_t>(warm + noise[at]);
        }
    }
}

}  // namespace Framegate
