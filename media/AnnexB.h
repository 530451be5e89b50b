// Reading Annex-B H.264 access units as the encoder layer returns them: NAL units behind
// 00 00 01 or 00 00 00 01 start codes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Media {

// True when the access unit carries an IDR picture. Stops at the first picture slice, which in
// our encoder's output follows the parameter sets, so the cost does not grow with the frame.
bool IsKeyFrame(const uint8_t* data, size_t size);

// The start of the first picture slice (its start code); data + size when there is none. The
// bytes before it are the parameter sets and SEI an MP4 keeps as its decoder configuration.
const uint8_t* FirstSlice(const uint8_t* data, size_t size);

}  // namespace Media
