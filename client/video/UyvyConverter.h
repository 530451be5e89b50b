// UYVY to 32-bit RGB for the screen, in integer arithmetic. It follows the recording's BT.601
// full-range formulas to within one step per channel (the recording keeps its own exact
// conversion); here speed matters, since the GUI thread converts every shown frame.
#pragma once

#include <QImage>

class UyvyConverter {
public:
    // Converts width x height UYVY pixels (width * height * 2 bytes, rows packed) into `image`,
    // which is (re)made as width x height QImage::Format_RGB32 when its size or format differs.
    // width * height must be even and positive. Any thread, on an image no one else uses.
    static void ToRgb32(const unsigned char* uyvy, int width, int height, QImage* image);
};
