// framegate-probe: the first thing to run when Calorview shows no camera.
//
//   framegate-probe                 lists every video input device and marks the thermal camera
//   framegate-probe --frames N      opens the thermal camera through the library's exports and
//                                   prints N frames' size and metadata, then the frame rate
//   framegate-probe --frames N --index I   the same for device I
//
// The library logs every line to standard output; the probe keeps its own report apart by
// writing to a copy of the original stdout and sending the library's output to /dev/null
// (or to stderr with --verbose).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture/CaptureErrorText.h"
#include "capture/DeviceEnumerator.h"
#include "capture/FrameSink.h"
#include "framegate/FrameMetadata.h"
#include "framegate/SDK_USB.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kThermalIds = "vid_1d6b&pid_0102";
constexpr int kNoFrameTimeoutSeconds = 5;

struct Options {
    int frames = 0;  // 0: list only
    int index = -1;  // -1: look for the thermal camera
    bool verbose = false;
};

struct FrameRecord {
    int width;
    int height;
    uint32_t timeWord;
    uint32_t flags;
    Clock::time_point arrival;
};

// Filled on the library's streaming thread, read on the main thread.
struct Capture {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<FrameRecord> frames;
    size_t wanted = 0;
};
Capture g_capture;

FILE* g_out = stdout;
FILE* g_err = stderr;

int onFrame(int width, int height, const char* data, int length, int) {
    if (data == nullptr || length < 12) {
        return -1;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(data);
    const FrameRecord record{width, height, Framegate::readBigEndian(bytes),
                             Framegate::readLittleEndian(bytes + length - 4), Clock::now()};
    std::lock_guard lock(g_capture.mutex);
    if (g_capture.frames.size() < g_capture.wanted) {
        g_capture.frames.push_back(record);
        g_capture.changed.notify_all();
    }
    return 0;
}

[[noreturn]] void fail(const std::string& reason) {
    std::fprintf(g_err, "framegate-probe: %s\n", reason.c_str());
    std::exit(1);
}

void usage() {
    std::fprintf(g_err,
                 "usage: framegate-probe [--frames N [--index I]] [--verbose]\n"
                 "  without --frames: list the video input devices\n");
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto number = [&](int minimum) {
            if (i + 1 >= argc) {
                usage();
                fail(arg + " needs a number");
            }
            char* end = nullptr;
            const long value = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || value < minimum || value > 1000000) {
                fail(arg + " needs a whole number of at least " + std::to_string(minimum));
            }
            return static_cast<int>(value);
        };
        if (arg == "--frames") {
            options.frames = number(1);
        } else if (arg == "--index") {
            options.index = number(0);
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "-h" || arg == "--help") {
            usage();
            std::exit(0);
        } else {
            usage();
            fail("unknown argument " + arg);
        }
    }
    if (options.index >= 0 && options.frames == 0) {
        fail("--index goes with --frames");
    }
    return options;
}

// The library's output, read by the probe: passed on to stderr with --verbose, dropped
// otherwise. Its one line the report needs is the count of frames the camera dropped, which the
// library says as it closes the camera ("camera N dropped M erroneous or short samples"; frames
// the driver's sequence numbers skipped are among them).
struct LibraryOutput {
    std::atomic<long> dropped{0};
    std::promise<void> ended;  // the reader saw the output's end
};
LibraryOutput g_library;

void readLibraryOutput(int fd, bool verbose) {
    FILE* in = fdopen(fd, "r");
    char line[1024];
    while (in != nullptr && std::fgets(line, sizeof line, in) != nullptr) {
        if (verbose) {
            std::fputs(line, g_err);
        }
        const char* at = std::strstr(line, " dropped ");
        long count = 0;
        if (at != nullptr &&
            std::sscanf(at, " dropped %ld erroneous or short samples", &count) == 1) {
            g_library.dropped.store(count);
        }
    }
    if (in != nullptr) {
        std::fclose(in);
    }
    g_library.ended.set_value();
}

// Keeps the probe's report on the real stdout and stderr; the library's output goes to a pipe
// the probe reads.
void separateLibraryOutput(bool verbose) {
    g_out = fdopen(dup(STDOUT_FILENO), "w");
    g_err = fdopen(dup(STDERR_FILENO), "w");
    int pipeFds[2];
    if (g_out == nullptr || g_err == nullptr || pipe2(pipeFds, O_CLOEXEC) != 0) {
        std::perror("framegate-probe");
        std::exit(1);
    }
    setvbuf(g_err, nullptr, _IONBF, 0);
    std::fflush(stdout);
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    close(pipeFds[1]);
    // Detached: a failure ends the probe with std::exit wherever the reader is.
    std::thread(readLibraryOutput, pipeFds[0], verbose).detach();
}

// The library has said all it will (the camera is closed): its output ends, and the probe has
// read it all.
void endLibraryOutput() {
    std::fflush(stdout);
    std::fflush(stderr);
    const int sink = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(sink, STDOUT_FILENO);
    dup2(sink, STDERR_FILENO);
    close(sink);
    g_library.ended.get_future().wait_for(std::chrono::seconds(2));
}

int listDevices() {
    const auto devices = Framegate::DeviceEnumerator::enumerate();
    if (devices.empty()) {
        fail(
            "no video input device found (no V4L2 capture device, FRAMEGATE_VIRTUAL_CAMERA unset)");
    }
    std::vector<std::string> names;
    int nameWidth = 4;
    for (const auto& device : devices) {
        names.push_back(device.friendlyName.empty() ? "(name unreadable)" : device.friendlyName);
        nameWidth = std::max(nameWidth, static_cast<int>(names.back().size()));
    }
    std::fprintf(g_out, "%-5s %-*s %-7s %s\n", "index", nameWidth, "name", "thermal",
                 "device path");
    int thermal = -1;
    for (size_t i = 0; i < devices.size(); ++i) {
        const bool isThermal = devices[i].devicePath.find(kThermalIds) != std::string::npos;
        if (isThermal && thermal < 0) {
            thermal = static_cast<int>(i);
        }
        std::fprintf(g_out, "%-5zu %-*s %-7s %s\n", i, nameWidth, names[i].c_str(),
                     isThermal ? "yes" : "no", devices[i].devicePath.c_str());
    }
    std::fflush(g_out);
    if (thermal < 0) {
        fail("no thermal camera (" + std::string(kThermalIds) + ") among " +
             std::to_string(devices.size()) + " video input devices");
    }
    return 0;
}

const char* unitName(Framegate::TempType type) {
    switch (type) {
        case Framegate::kFahrenheit:
            return "F";
        case Framegate::kKelvin:
            return "K";
        default:
            return "C";
    }
}

void printFrame(size_t number, const FrameRecord& f) {
    const Framegate::CaptureClock c = Framegate::unpackCaptureTime(f.timeWord);
    // The alarm value as the client reads it: bits 0-23 plus the carried sign bit, in tenths.
    const auto tenths = static_cast<int32_t>(f.flags & 0x80FFFFFFu);
    std::fprintf(g_out,
                 "frame %zu: %dx%d time 0x%08x (%04d-%02d-%02d %02d:%02d:%02d) flags 0x%08x "
                 "(alarm %d, temperature %.1f %s, rect %d)\n",
                 number, f.width, f.height, f.timeWord, c.year, c.month, c.day, c.hour, c.minute,
                 c.second, f.flags, (f.flags & Framegate::kFlagAlarm) != 0 ? 1 : 0, tenths / 10.0,
                 unitName(Framegate::tempTypeOf(f.flags)),
                 (f.flags & Framegate::kFlagShowRect) != 0 ? 1 : 0);
}

// Discards what a diagnostic stream start delivers.
class DiscardingSink : public Framegate::FrameSink {
public:
    void OnData(const unsigned char*, long) override {}
    void OnDroppedSample() override {}
};

// Why the library could not open device `index`: the probe repeats the open and the stream start
// through its own copy of the capture layer, which tells the system's reason.
std::string openFailure(int index) {
    const auto devices = Framegate::DeviceEnumerator::enumerate();
    if (index < 0 || index >= static_cast<int>(devices.size())) {
        return "there is no video input device " + std::to_string(index);
    }
    const Framegate::CaptureDeviceInfo& device = devices[static_cast<size_t>(index)];
    const auto stream = Framegate::DeviceEnumerator::openStream(device);
    if (stream->open(480, 640) != Framegate::OpenResult::kOk) {
        return stream->lastError() != 0
                   ? Framegate::captureErrorText(stream->lastError(), device.locator)
                   : device.locator + " offers no usable YUYV format (see --verbose)";
    }
    DiscardingSink sink;
    if (!stream->start(sink)) {
        return Framegate::captureErrorText(stream->lastError(), device.locator);
    }
    stream->stop();
    return "it works now; it may have been busy or replaced for a moment (see --verbose)";
}

int readFrames(const Options& options) {
    int index = options.index;
    char name[320] = {};
    if (index < 0) {
        index = 0;
        if (!GetUsbDeviceNum(&index, name)) {
            fail("no thermal camera (" + std::string(kThermalIds) + ") among " +
                 std::to_string(index) + " video input devices");
        }
    }
    if (InitUSBCam(index, 480, 640, 0, 0) != 0) {
        fail("camera " + std::to_string(index) + " could not be opened: " + openFailure(index));
    }
    {
        std::lock_guard lock(g_capture.mutex);
        g_capture.wanted = static_cast<size_t>(options.frames);
    }
    RegisterUSBStreamCallBack(index, onFrame);
    std::fprintf(g_out, "camera %d opened%s%s\n", index, name[0] != '\0' ? ": " : "", name);

    size_t printed = 0;
    std::unique_lock lock(g_capture.mutex);
    while (printed < g_capture.wanted) {
        const bool arrived =
            g_capture.changed.wait_for(lock, std::chrono::seconds(kNoFrameTimeoutSeconds),
                                       [&] { return g_capture.frames.size() > printed; });
        if (!arrived) {
            break;
        }
        while (printed < g_capture.frames.size()) {
            printFrame(printed + 1, g_capture.frames[printed]);
            ++printed;
        }
        std::fflush(g_out);
    }
    const std::vector<FrameRecord> frames = g_capture.frames;
    lock.unlock();
    UinitUSBCam(index);
    endLibraryOutput();

    if (frames.empty()) {
        fail("camera " + std::to_string(index) + " opened but delivered no frame within " +
             std::to_string(kNoFrameTimeoutSeconds) + " s");
    }
    if (frames.size() > 1) {
        const double seconds =
            std::chrono::duration<double>(frames.back().arrival - frames.front().arrival).count();
        std::fprintf(g_out, "%zu frames, %.2f frames per second, %ld dropped\n", frames.size(),
                     seconds > 0 ? static_cast<double>(frames.size() - 1) / seconds : 0.0,
                     g_library.dropped.load());
    }
    if (frames.size() < static_cast<size_t>(options.frames)) {
        fail("the stream stopped after " + std::to_string(frames.size()) + " of " +
             std::to_string(options.frames) + " frames");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    separateLibraryOutput(options.verbose);
    return options.frames > 0 ? readFrames(options) : listDevices();
}
