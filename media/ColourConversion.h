// The colour conversions of recordings and snapshots. Both give exactly the bytes of their
// double-precision formulas (evaluated as written, without contraction), however computed.
// Pure functions: any thread, no allocation.
#pragma once

// UYVY (U, Y0, V, Y1 groups; width x height x 2 bytes) to RGB24 (R, G, B; width x height x 3):
//   R = Y + 1.370705 (V - 128), G = Y - 0.698001 (V - 128) - 0.337633 (U - 128),
//   B = Y + 1.732446 (U - 128), each truncated toward zero, then limited to 0..255.
// Width is even (a group holds two pixels).
void UyvyToRgb24(const unsigned char* src, unsigned char* dst, int width, int height);

// RGB24 to planar I420: Y plane at dst, U at dst + w*h, V at dst + w*h + w*h/4.
//   Y = 0.299 R + 0.587 G + 0.114 B for every pixel;
//   U = -0.1687 R - 0.3313 G + 0.5 B + 128 and V = 0.5 R - 0.4187 G - 0.0813 B + 128 from the
//   top-left pixel of every 2 x 2 block; each truncated toward zero, stored as its low 8 bits.
// Width and height are even (the callers' frames always are).
void Rgb24ToI420(unsigned char* dst, const unsigned char* src, int width, int height);

// UYVY to I420 with exactly the bytes UyvyToRgb24 then Rgb24ToI420 give, for a frame without
// colour: every chroma sample 128, so R = G = B = Y, and each output byte is a function of one
// luma, read from a table. False, with dst partly written, when any chroma sample is not 128.
bool GreyUyvyToI420(unsigned char* dst, const unsigned char* src, int width, int height);
