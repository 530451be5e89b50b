// Scenario files: VirtualScenario::parse on any text, then what a streaming virtual camera asks
// of the result (its state at several moments, and a rendered frame when the picture is small).
//
// Besides the sanitizers it checks that a refused text has a reason and that an accepted one
// keeps the documented ranges: a non-empty name, an even width and a height from 2 to 4096, and
// a frame rate from 0.1 to 240.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "capture/virtual/VirtualScenario.h"
#include "capture/virtual/VirtualScene.h"

using Framegate::VirtualScenario;
using Framegate::VirtualScene;

namespace {

// Building the scene costs a pass over every pixel; larger pictures reach no other code.
constexpr int kMaxRenderedPixels = 128 * 128;

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "scenario contract broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string reason;
    const std::optional<VirtualScenario> scenario = VirtualScenario::parse(text, reason);
    if (!scenario) {
        check(!reason.empty(), "refused without a reason");
        return 0;
    }
    check(!scenario->name().empty(), "empty name");
    check(scenario->width() >= 2 && scenario->width() <= 4096 && scenario->width() % 2 == 0,
          "width out of range");
    check(scenario->height() >= 2 && scenario->height() <= 4096, "height out of range");
    check(scenario->fps() >= 0.1 && scenario->fps() <= 240.0, "frame rate out of range");

    // Before, at and past the usual step times, across any loop, and the clock's extremes; the
    // wall-clock times include ones localtime_r cannot represent.
    using std::chrono::milliseconds;
    constexpr int64_t kFarMs = std::numeric_limits<int64_t>::max();
    const milliseconds moments[] = {milliseconds(-1),         milliseconds(0),
                                    milliseconds(999),        milliseconds(5000),
                                    milliseconds(86'400'000), milliseconds(kFarMs)};
    const std::time_t clocks[] = {0, 2'147'483'648, std::numeric_limits<std::time_t>::max()};
    for (const milliseconds moment : moments) {
        for (const std::time_t now : clocks) {
            scenario->stateAt(moment, now);
        }
    }

    if (scenario->width() * scenario->height() <= kMaxRenderedPixels) {
        VirtualScene scene(scenario->width(), scenario->height());
        std::vector<uint8_t> frame(scene.frameBytes());
        for (const milliseconds moment : moments) {
            if (moment.count() >= 0) {
                scene.render(moment, frame.data());
            }
        }
    }
    return 0;
}
