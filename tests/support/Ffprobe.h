// What ffprobe says about a video file: one key=value map of the first video stream (codec,
// size, decoded frame count) and the container (duration, creation time).
#pragma once

#include <cstdio>
#include <map>
#include <string>

namespace CalorviewTest {

inline std::map<std::string, std::string> probeVideo(const std::string& path) {
    const std::string command =
        "ffprobe -v error -select_streams v:0 -count_frames -show_entries "
        "stream=codec_name,width,height,nb_read_frames:format=duration:format_tags="
        "creation_time,comment -of default=noprint_wrappers=1 '" +
        path + "' 2>/dev/null";
    std::map<std::string, std::string> values;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return values;
    }
    char line[512];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        const size_t equals = text.find('=');
        if (equals != std::string::npos) {
            std::string key = text.substr(0, equals);
            if (key.rfind("TAG:", 0) == 0) {
                key = key.substr(4);
            }
            values[key] = text.substr(equals + 1);
        }
    }
    pclose(pipe);
    return values;
}

inline int probedFrames(const std::string& path) {
    const auto values = probeVideo(path);
    const auto it = values.find("nb_read_frames");
    return it == values.end() ? -1 : std::stoi(it->second);
}

inline double probedDuration(const std::string& path) {
    const auto values = probeVideo(path);
    const auto it = values.find("duration");
    return it == values.end() ? -1.0 : std::stod(it->second);
}

}  // namespace CalorviewTest
