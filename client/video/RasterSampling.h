// Where Qt's raster engine samples the source for an output pixel of a scaled image, in 16.16
// fixed point: the output pixel's centre times the inverse of the output-per-source scale, less
// the engine's 1/65536 nudge (which makes exact halves round down). Nearest-pixel sampling takes
// the whole part; bilinear sampling subtracts half a pixel first. Scaling by the same rule keeps
// our pictures the ones Qt's own scaling gave, pixel for pixel.
#pragma once

#include <cstdint>

// The source step per output pixel when `count` output pixels cover `length` source pixels.
inline double RasterSourceStep(int count, int length) {
    return 1.0 / (static_cast<double>(count) / length);
}

// The source position output pixel `index` samples, in 16.16; 64 bits, so that sources taller
// or wider than 32767 pixels do not overflow.
inline int64_t RasterSourcePosition(int index, double step) {
    constexpr double kFixedOne = 65536.0;
    return static_cast<int64_t>(((index + 0.5) * step - 1.0 / kFixedOne) * kFixedOne);
}
