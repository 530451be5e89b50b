// Writes virtual-camera scenario files for tests and points FRAMEGATE_VIRTUAL_CAMERA at them.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TempDir.h"

namespace CalorviewTest {

inline std::string scenarioJson(const std::string& name, int width, int height, int fps,
                                const std::string& extra = "") {
    return "{\"name\": \"" + name + "\", \"width\": " + std::to_string(width) +
           ", \"height\": " + std::to_string(height) + ", \"fps\": " + std::to_string(fps) +
           (extra.empty() ? "" : ", " + extra) + "}";
}

// Sets the variable to the given scenario paths, joined by ':'.
inline void useVirtualCameras(const std::vector<std::string>& paths) {
    std::string value;
    for (const std::string& path : paths) {
        value += (value.empty() ? "" : ":") + path;
    }
    setenv("FRAMEGATE_VIRTUAL_CAMERA", value.c_str(), 1);
}

}  // namespace CalorviewTest
