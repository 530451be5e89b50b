// Snapshots as PNG, fast enough for the GUI thread during an alarm episode: each row with the
// "Up" filter, the whole image deflated once by libdeflate at its fastest level (about 3 ms and
// 220 KB for a 480 x 640 thermal picture, where libpng's default level takes 60 ms).
// Text chunks carry the snapshot's facts: tEXt for plain ASCII, iTXt (UTF-8) otherwise.
//
// Threads: any thread; no shared state.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Media {

// Keyword (1 to 79 Latin letters, digits and spaces) and UTF-8 value.
using PngText = std::pair<std::string, std::string>;

// The PNG file for `rgb` (width x height pixels of R, G, B, rows of 3 x width bytes). False
// when the picture is empty or a keyword is not allowed.
bool EncodePng(const unsigned char* rgb, int width, int height, const std::vector<PngText>& text,
               std::vector<uint8_t>* png);

}  // namespace Media
