// Raw camera frames for the video tests: a picture with a recognisable byte pattern and the two
// metadata words where the camera puts them.
#pragma once

#include <cstdint>
#include <vector>

#include "framegate/FrameMetadata.h"

namespace CalorviewTest {

// width x height YUY2 bytes, byte i = (i * 7 + 3) mod 256, then the capture-time word
// (big-endian) in the first four bytes and the flags word (little-endian) in the last four.
inline std::vector<char> rawFrame(int width, int height, uint32_t timeWord, uint32_t flags) {
    std::vector<char> frame(static_cast<size_t>(width) * static_cast<size_t>(height) * 2);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    }
    auto* bytes = reinterpret_cast<uint8_t*>(frame.data());
    Framegate::writeBigEndian(bytes, timeWord);
    Framegate::writeLittleEndian(bytes + frame.size() - 4, flags);
    return frame;
}

// A UYVY picture of one flat colour.
inline std::vector<unsigned char> flatUyvy(int width, int height, unsigned char y,
                                           unsigned char u = 128, unsigned char v = 128) {
    std::vector<unsigned char> picture(static_cast<size_t>(width) * static_cast<size_t>(height) *
                                       2);
    for (size_t i = 0; i + 3 < picture.size(); i += 4) {
        picture[i] = u;
        picture[i + 1] = y;
        picture[i + 2] = v;
        picture[i + 3] = y;
    }
    return picture;
}

}  // namespace CalorviewTest
