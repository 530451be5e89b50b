// Prints the camera's time of day into a recorded frame or a snapshot: white "hh:mm:ss",
// 30 pixels high, centred at the top, one thirtieth of the picture height down.
//
// Threads: any thread, once a QGuiApplication exists (fonts).
#pragma once

#include <vector>

// `rgb`: width x height pixels of R, G, B, rows of exactly 3 x width bytes. `timeOfDay`:
// seconds since midnight.
void DrawTimeOnFrame(unsigned char* rgb, int width, int height, int timeOfDay);

// The rows of a picture `height` tall that the time can touch: `*count` rows from `*first`.
void TimeRows(int height, int* first, int* count);
// The same drawing when only those rows are at hand: `rgbRows` holds the TimeRows rows of a
// width x height picture, and gets exactly the pixels DrawTimeOnFrame gives them.
void DrawTimeOnRows(unsigned char* rgbRows, int width, int height, int timeOfDay);
// The time burnt into `i420`, the I420 picture of the UYVY frame `uyvy` (width and height
// even): the TimeRows rows are converted from the frame again, drawn on, and converted into
// place, so `i420` ends as Rgb24ToI420 makes the whole frame with DrawTimeOnFrame's time.
// `scratch` keeps the rows' buffers between frames.
void DrawTimeOnI420(unsigned char* i420, const unsigned char* uyvy, int width, int height,
                    int timeOfDay, std::vector<unsigned char>* scratch);

// The picture a recording encodes: the UYVY frame as I420 with its time burnt in, the bytes
// UyvyToRgb24, DrawTimeOnFrame and Rgb24ToI420 give; a frame without colour (the camera's grey
// picture) takes GreyUyvyToI420 and DrawTimeOnI420, a third of the work. Width and height
// even. `scratch` keeps the buffers between frames.
void MakeRecordedPicture(unsigned char* i420, const unsigned char* uyvy, int width, int height,
                         int timeOfDay, std::vector<unsigned char>* scratch);
