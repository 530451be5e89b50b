// What the stream callback hands on for every frame, and the two plain-function types through
// which it reaches the video window and the alarm panel. Every pointer passed to a consumer is
// valid only during the call: a consumer that keeps anything copies it.
#pragma once

// The camera's clock as the capture-time word carries it; no field is checked.
struct CaptureTime {
    int year;  // year minus 2000: the raw 6-bit field, not the full year
    int month;
    int day;
    int hour;
    int minute;
    int second;
};

// The video window's intake: UYVY picture (width * height * 2 bytes), width, height, the context
// given at registration, bShowRect (0 or 1), file-time string, then the six CaptureTime fields.
using FrameConsumer = void (*)(const unsigned char* picture, int width, int height, void* user,
                               int bShowRect, const char* fileTime, int year, int month, int day,
                               int hour, int minute, int second);

// The alarm panel's intake: the 4-byte alarm word, file-time string, display-time string,
// temperature type (0, 1 or 2) and alarm-present (1 or 0).
using AlarmConsumer = void (*)(const void* alarmWord, const char* fileTime, const char* displayTime,
                               int tempType, int alarmPresent);
