// The virtual camera's synthetic thermal picture in YUY2 (Y0 U Y1 V, grey: U = V = 128): a
// cool vertical gradient, a warm round object gliding over it on a slow Lissajous path, and
// sensor noise that changes every frame.
//
// Everything that does not move is computed once in the constructor, so a frame costs one
// pass over the bytes plus the object's square. Used by one thread at a time.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace Framegate {

class VirtualScene {
public:
    struct Point {
        int x = 0;
        int y = 0;
    };

    // Luma bounds of the picture: video range, noise included.
    static constexpr int kMinLuma = 16;
    static constexpr int kMaxLuma = 235;

    // `width` is even and at least 2, `height` at least 1. `seed` makes the noise repeatable.
    VirtualScene(int width, int height, uint32_t seed = 1);

    int width() const { return m_width; }
    int height() const { return m_height; }
    // Width x height x 2.
    size_t frameBytes() const { return m_background.size(); }

    // Where the warm object's centre is `elapsed` after streaming started.
    Point objectCentre(std::chrono::milliseconds elapsed) const;
    // Writes frameBytes() bytes of the picture at `elapsed` to `frame`; fresh noise each call.
    void render(std::chrono::milliseconds elapsed, uint8_t* frame);

private:
    int m_width;
    int m_height;
    int m_radius;                       // of the warm object, in pixels
    std::vector<uint8_t> m_background;  // the gradient as a YUY2 frame
    std::vector<uint8_t> m_falloff;     // object weight 0..255 over its (2r+1)^2 square
    // Noise added byte by byte: zero on chroma bytes; longer than a frame so that each frame
    // starts at a random even offset into it.
    std::vector<int8_t> m_noise;
    std::minstd_rand m_random;
};

}  // namespace Framegate
