// What a snapshot's PNG tells about its picture. The facts are taken on the capture thread with
// the frame they describe and kept with the copy of that frame (VideoWindow's snapshot buffer),
// so the file's texts always speak of the picture it holds.
#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "media/PngWriter.h"

struct FrameFacts {
    std::string fileTime;     // the frame's file-time string, "20200717_123456"
    std::string displayTime;  // an alarm's display-time string; empty for a manual snapshot
    // An alarm's word: its temperature in tenths of a degree. None for a manual snapshot.
    std::optional<int32_t> temperatureTenths;
    int unitKind = 0;  // the temperature type: 1 Fahrenheit, 2 Kelvin, anything else Celsius
};

// The text chunks: "Camera time" (the display time, or the file time without one) and
// "Software", then for an alarm "Temperature" (TemperatureText) and "Alarm word" (the tenths).
std::vector<Media::PngText> FrameFactsText(const FrameFacts& facts);

// A temperature with up to 6 significant digits and its unit sign, as the alarm list shows it:
// degrees Fahrenheit for unitKind 1, Kelvin for 2, degrees Celsius otherwise.
QString TemperatureText(double temperature, int unitKind);
