// What a virtual camera shows: its name, fixed format and a timeline of metadata states, read
// from a JSON scenario file or built in ("demo"). docs/virtual-camera.md describes the format.
//
// A scenario is an immutable value once made: any thread may query a shared one.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace Json {
class Value;
}

namespace Framegate {

class VirtualScenario {
public:
    // The locator that selects the built-in scenario instead of a file.
    static constexpr const char* kDemoLocator = "demo";

    // The frame state at one moment of the stream.
    struct FrameState {
        uint32_t captureTime = 0;  // the capture-time word
        uint32_t flags = 0;        // the flags word
        bool stall = false;        // no frame is sent while set
    };

    // The defaults: "Virtual Thermal Camera", 480 x 640 at 25 fps, local time, flags 0.
    VirtualScenario();

    // The built-in demo: a 20 s loop, quiet for 8 s, then an alarm episode with the rectangle.
    static VirtualScenario demo();
    // Reads a scenario file. An unreadable or malformed file is reported on stderr (once for
    // the same path and reason) and gives the defaults.
    static VirtualScenario load(const std::string& path);
    // The demo for kDemoLocator, otherwise load(locator).
    static VirtualScenario forLocator(const std::string& locator);
    // Whether the camera of a locator is plugged in: always for the demo, else while the file
    // exists.
    static bool isPresent(const std::string& locator);
    // Parses scenario text; empty text gives the defaults. On failure returns nothing and
    // describes the first fault in `reason`.
    static std::optional<VirtualScenario> parse(const std::string& text, std::string& reason);

    const std::string& name() const { return m_name; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    double fps() const { return m_fps; }
    // The errno a stream start is refused with (a camera that is busy or lacks USB bandwidth),
    // or 0 when it streams.
    int startError() const { return m_startError; }
    // Whether a stream start hangs, as in a driver stuck in it, until the camera is unplugged.
    bool startHangs() const { return m_startHangs; }

    // The state `elapsed` after streaming started; `now` is the wall-clock time a "local"
    // capture-time word is packed from (the computer's local time zone).
    FrameState stateAt(std::chrono::milliseconds elapsed, std::time_t now) const;

private:
    // The state as timeline steps leave it from `atMs` on.
    struct Step {
        int64_t atMs = 0;
        bool localTime = true;
        uint32_t captureTime = 0;  // used when localTime is false
        uint32_t flags = 0;
        bool stall = false;
    };

    // The file's top-level members but the timeline, into `scenario`; the first fault, or
    // empty.
    static std::string readHeader(const Json::Value& root, VirtualScenario& scenario);
    // The timeline's steps, validated and ordered, into `scenario`; the first fault, or empty.
    static std::string readTimeline(const Json::Value& timeline, VirtualScenario& scenario);
    // Applies one validated timeline step to the state the steps before it left.
    static void applyStep(const Json::Value& step, Step& state);

    std::string m_name;
    int m_width;
    int m_height;
    double m_fps;
    int64_t m_loopMs = 0;  // 0: the timeline plays once and its last state stays
    int m_startError = 0;
    bool m_startHangs = false;
    std::vector<Step> m_steps;  // cumulative states, ordered by atMs
};

}  // namespace Framegate
