// Prints the camera's time of day into a recorded frame or a snapshot: white "hh:mm:ss",
// 30 pixels high, centred at the top, one thirtieth of the picture height down.
//
// Threads: any thread, once a QGuiApplication exists (fonts).
#pragma once

// `rgb`: width x height pixels of R, G, B, rows of exactly 3 x width bytes. `timeOfDay`:
// seconds since midnight.
void DrawTimeOnFrame(unsigned char* rgb, int width, int height, int timeOfDay);

// The rows of a picture `height` tall that the time can touch: `*count` rows from `*first`.
void TimeRows(int height, int* first, int* count);
// The same drawing when only those rows are at hand: `rgbRows` holds the TimeRows rows of a
// width x height picture, and gets exactly the pixels DrawTimeOnFrame gives them.
void DrawTimeOnRows(unsigned char* rgbRows, int width, int height, int timeOfDay);
