// The per-frame work of the stream callback that needs no one else: turns one raw camera frame
// (YUY2, capture-time word in the first four bytes, flags word in the last four) into the UYVY
// picture the client draws and records, and decodes the two metadata words. Pure and
// re-entrant; runs on the capture thread.
#pragma once

#include "video/FrameConsumers.h"

struct FrameHeader {
    CaptureTime captureTime{};
    int bShowRect = 0;             // flags bit 29
    bool alarmFlag = false;        // flags bit 30: an alarm is present in this frame
    unsigned char alarmWord[4]{};  // with alarmFlag: bits 0-23 and 31, little-endian; else zero
    int tempType = 0;              // with alarmFlag: 0 Celsius, 1 Fahrenheit, 2 Kelvin
    char fileTime[32]{};           // "%04d%02d%02d_%02d%02d%02d"
    char displayTime[32]{};        // "%04d-%02d-%02d %02d:%02d:%02d"

    // A frame the decoder can take: positive size, length exactly width * height * 2, whole
    // 4-byte groups, and at least three of them (the first and last carry the metadata words).
    static bool IsWellFormed(int width, int height, int length);

    // Decodes `data` (length bytes) and writes the UYVY picture (length bytes) to `picture`:
    // every pixel pair has the bytes of its 16-bit halves swapped, and the first and last groups,
    // which held the metadata words, repeat their neighbours. Returns false, touching nothing,
    // when the frame is not well formed.
    bool Decode(const char* data, int length, int width, int height, unsigned char* picture);
};
