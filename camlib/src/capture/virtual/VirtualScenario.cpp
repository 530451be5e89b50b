#include "capture/virtual/VirtualScenario.h"

#include <fcntl.h>
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <span>
#include <sstream>
#include <string_view>

#include "framegate/FrameMetadata.h"

namespace Framegate {

namespace {

constexpr const char* kDefaultName = "Virtual Thermal Camera";
constexpr int kDefaultWidth = 480;
constexpr int kDefaultHeight = 640;
constexpr double kDefaultFps = 25.0;
constexpr int kMinSide = 2;
constexpr int kMaxSide = 4096;
constexpr double kMaxFps = 240.0;
// One frame every ten seconds at the slowest: a rate near 0 would make the frame period
// overflow the clock's range.
constexpr double kMinFps = 0.1;
// Scenarios are a few lines; the cap keeps a path to a huge or endless file from hanging us.
constexpr size_t kMaxFileBytes = 1 << 20;
constexpr uint32_t kUnitMask = 0x3u << kTempTypeShift;

// A 20 s loop: 8 s quiet, then an alarm episode whose temperature rises and falls.
constexpr const char* kDemoScenario = R"({
  "loop_ms": 20000,
  "timeline": [
    {"at_ms": 0, "alarm": false, "rect": false, "temperature": 0, "unit": "C"},
    {"at_ms": 8000, "alarm": true, "rect": true, "temperature": 38.6},
    {"at_ms": 9500, "temperature": 39.4},
    {"at_ms": 11000, "temperature": 40.2},
    {"at_ms": 12500, "temperature": 39.1},
    {"at_ms": 14000, "alarm": false, "rect": false, "temperature": 0}
  ]
})";

constexpr std::string_view kTopMembers[] = {"name",     "width",   "height",      "fps",
                                            "timeline", "loop_ms", "start_error", "start_hangs"};
// The refusals a camera can answer a stream start with, as "start_error" names them.
constexpr std::pair<std::string_view, int> kStartErrors[] = {
    {"busy", EBUSY}, {"no-bandwidth", ENOSPC}, {"io", EIO}};
constexpr std::string_view kStepMembers[] = {"at_ms", "time",        "flags", "alarm",
                                             "rect",  "temperature", "unit",  "stall"};

// Once per path and reason: the enumeration re-reads a file on every refresh, and a broken
// file should not flood stderr. A path that loads cleanly again is forgotten, so a later fault
// in it is reported anew.
struct BadFileReports {
    std::mutex mutex;
    std::map<std::string, std::string> reasonByPath;
};

BadFileReports& badFileReports() {
    // Never destroyed: a streaming thread may still load while exit handlers run.
    static auto* reports = new BadFileReports;
    return *reports;
}

void reportBadFile(const std::string& path, const std::string& reason) {
    BadFileReports& reports = badFileReports();
    std::lock_guard lock(reports.mutex);
    const auto [entry, inserted] = reports.reasonByPath.try_emplace(path, reason);
    if (!inserted && entry->second == reason) {
        return;
    }
    entry->second = reason;
    std::fprintf(stderr,
                 "Framegate: virtual camera scenario \"%s\" ignored, using the defaults: %s\n",
                 path.c_str(), reason.c_str());
}

void forgetBadFile(const std::string& path) {
    BadFileReports& reports = badFileReports();
    std::lock_guard lock(reports.mutex);
    reports.reasonByPath.erase(path);
}

std::string checkMembers(const Json::Value& object, std::span<const std::string_view> allowed,
                         const std::string& where) {
    for (const std::string& member : object.getMemberNames()) {
        if (std::find(allowed.begin(), allowed.end(), member) == allowed.end()) {
            return "unknown member \"" + where + member + "\"";
        }
    }
    return {};
}

// "from A to B" for a fault text, the limits printed as they would be written in a file.
std::string range(double low, double high) {
    char text[64];
    std::snprintf(text, sizeof text, "from %g to %g", low, high);
    return text;
}

// A 32-bit word: a JSON number or, easier to write for bit patterns, a "0x..." text.
bool readWord(const Json::Value& value, uint32_t& word) {
    if (value.isUInt()) {
        word = value.asUInt();
        return true;
    }
    if (!value.isString()) {
        return false;
    }
    const std::string text = value.asString();
    if (text.size() < 3 || text.size() > 10 || text[0] != '0' ||
        (text[1] != 'x' && text[1] != 'X')) {
        return false;
    }
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data() + 2, end, word, 16);
    return error == std::errc() && stop == end;
}

// What is wrong with the values of a timeline step's members; empty when nothing.
std::string stepFault(const Json::Value& step) {
    uint32_t word = 0;
    const Json::Value& time = step["time"];
    if (!time.isNull() && time != "local" && !readWord(time, word)) {
        return "time: expected \"local\" or a 32-bit word";
    }
    if (const Json::Value& flags = step["flags"]; !flags.isNull() && !readWord(flags, word)) {
        return "flags: expected a 32-bit word";
    }
    for (const char* member : {"alarm", "rect", "stall"}) {
        if (const Json::Value& flag = step[member]; !flag.isNull() && !flag.isBool()) {
            return std::string(member) + ": expected true or false";
        }
    }
    if (const Json::Value& t = step["temperature"]; !t.isNull() && !t.isNumeric()) {
        return "temperature: expected a number";
    }
    if (const Json::Value& unit = step["unit"];
        !unit.isNull() && unit != "C" && unit != "F" && unit != "K") {
        return "unit: expected \"C\", \"F\" or \"K\"";
    }
    if (const Json::Value& at = step["at_ms"]; !at.isNull() && !at.isUInt()) {
        return "at_ms: expected a whole number of milliseconds from 0";
    }
    return {};
}

// The flags word carries tenths of the unit as an unsigned 24-bit count, so values below zero
// become 0 and values above 1677721.5 become 0xFFFFFF.
uint32_t temperatureTenths(double value) {
    return static_cast<uint32_t>(
        std::clamp(std::round(value * 10.0), 0.0, static_cast<double>(kAlarmValueMask)));
}

uint32_t localTimeWord(std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    return packCaptureTime(CaptureClock{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                        local.tm_hour, local.tm_min, local.tm_sec});
}

// Reads what is left of `fd`, at most kMaxFileBytes; on failure returns nothing and sets
// `reason`.
std::optional<std::string> readAll(int fd, std::string& reason) {
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        reason = "cannot be read: not a regular file";
        return std::nullopt;
    }
    std::string text(kMaxFileBytes + 1, '\0');
    size_t length = 0;
    while (length < text.size()) {
        const ssize_t got = ::read(fd, text.data() + length, text.size() - length);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            reason = std::string("cannot be read: ") + std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0) {
            break;
        }
        length += static_cast<size_t>(got);
    }
    if (length > kMaxFileBytes) {
        reason = "larger than 1 MiB";
        return std::nullopt;
    }
    text.resize(length);
    return text;
}

std::optional<std::string> readFile(const std::string& path, std::string& reason) {
    // Non-blocking, so that a FIFO at the path cannot stall us before the type check.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        reason = std::string("cannot be read: ") + std::strerror(errno);
        return std::nullopt;
    }
    std::optional<std::string> text = readAll(fd, reason);
    ::close(fd);
    return text;
}

std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

}  // namespace

VirtualScenario::VirtualScenario()
    : m_name(kDefaultName), m_width(kDefaultWidth), m_height(kDefaultHeight), m_fps(kDefaultFps) {}

VirtualScenario VirtualScenario::demo() {
    std::string reason;
    // The built-in text is fixed and covered by the tests, so it always parses.
    return parse(kDemoScenario, reason).value();
}

VirtualScenario VirtualScenario::load(const std::string& path) {
    std::string reason;
    std::optional<VirtualScenario> scenario;
    if (const std::optional<std::string> text = readFile(path, reason)) {
        scenario = parse(*text, reason);
    }
    if (!scenario) {
        reportBadFile(path, reason);
        return VirtualScenario();
    }
    forgetBadFile(path);
    return *scenario;
}

VirtualScenario VirtualScenario::forLocator(const std::string& locator) {
    return locator == kDemoLocator ? demo() : load(locator);
}

bool VirtualScenario::isPresent(const std::string& locator) {
    struct stat status {};
    return locator == kDemoLocator || ::stat(locator.c_str(), &status) == 0;
}

std::optional<VirtualScenario> VirtualScenario::parse(const std::string& text,
                                                      std::string& reason) {
    VirtualScenario scenario;
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) {
        return scenario;
    }
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    Json::Value parsedRoot;
    std::string errors;
    std::istringstream stream(text);
    bool parsed = false;
    try {
        parsed = Json::parseFromStream(builder, stream, &parsedRoot, &errors);
    } catch (const Json::Exception& error) {
        // JsonCpp throws instead of reporting for some input (nesting beyond its stack limit):
        // a scenario file must never end the process.
        errors = error.what();
    }
    if (!parsed) {
        reason = "not JSON: " + oneLine(errors);
        return std::nullopt;
    }
    // Read through a const reference: the non-const operator[] would add missing members.
    const Json::Value& root = parsedRoot;
    if (!root.isObject()) {
        reason = "not a JSON object";
        return std::nullopt;
    }
    if (std::string fault = readHeader(root, scenario); !fault.empty()) {
        reason = std::move(fault);
        return std::nullopt;
    }
    if (std::string fault = readTimeline(root["timeline"], scenario); !fault.empty()) {
        reason = std::move(fault);
        return std::nullopt;
    }
    return scenario;
}

std::string VirtualScenario::readHeader(const Json::Value& root, VirtualScenario& scenario) {
    if (std::string unknown = checkMembers(root, kTopMembers, ""); !unknown.empty()) {
        return unknown;
    }
    if (const Json::Value& name = root["name"]; !name.isNull()) {
        if (!name.isString() || name.asString().empty()) {
            return "name: expected a non-empty text";
        }
        scenario.m_name = name.asString();
    }
    if (const Json::Value& width = root["width"]; !width.isNull()) {
        if (!width.isInt() || width.asInt() < kMinSide || width.asInt() > kMaxSide ||
            width.asInt() % 2 != 0) {
            return "width: expected an even whole number " + range(kMinSide, kMaxSide);
        }
        scenario.m_width = width.asInt();
    }
    if (const Json::Value& height = root["height"]; !height.isNull()) {
        if (!height.isInt() || height.asInt() < kMinSide || height.asInt() > kMaxSide) {
            return "height: expected a whole number " + range(kMinSide, kMaxSide);
        }
        scenario.m_height = height.asInt();
    }
    if (const Json::Value& fps = root["fps"]; !fps.isNull()) {
        if (!fps.isNumeric() || !(fps.asDouble() >= kMinFps) || fps.asDouble() > kMaxFps) {
            return "fps: expected a number " + range(kMinFps, kMaxFps);
        }
        scenario.m_fps = fps.asDouble();
    }
    if (const Json::Value& loop = root["loop_ms"]; !loop.isNull()) {
        if (!loop.isUInt() || loop.asUInt() == 0) {
            return "loop_ms: expected a whole number of milliseconds above 0";
        }
        scenario.m_loopMs = loop.asUInt();
    }
    if (const Json::Value& refusal = root["start_error"]; !refusal.isNull()) {
        const auto known =
            std::find_if(std::begin(kStartErrors), std::end(kStartErrors), [&](const auto& entry) {
                return refusal.isString() && refusal.asString() == entry.first;
            });
        if (known == std::end(kStartErrors)) {
            return "start_error: expected \"busy\", \"no-bandwidth\" or \"io\"";
        }
        scenario.m_startError = known->second;
    }
    if (const Json::Value& hangs = root["start_hangs"]; !hangs.isNull()) {
        if (!hangs.isBool()) {
            return "start_hangs: expected true or false";
        }
        scenario.m_startHangs = hangs.asBool();
    }
    return {};
}

std::string VirtualScenario::readTimeline(const Json::Value& timeline, VirtualScenario& scenario) {
    if (timeline.isNull()) {
        return {};
    }
    if (!timeline.isArray()) {
        return "timeline: expected an array of steps";
    }
    // Validate every step and order them by at_ms; steps with the same time keep file order.
    std::vector<std::pair<int64_t, const Json::Value*>> ordered;
    for (Json::ArrayIndex i = 0; i < timeline.size(); ++i) {
        const Json::Value& step = timeline[i];
        const std::string where = "timeline[" + std::to_string(i) + "].";
        if (!step.isObject()) {
            return where.substr(0, where.size() - 1) + ": expected an object";
        }
        if (std::string unknown = checkMembers(step, kStepMembers, where); !unknown.empty()) {
            return unknown;
        }
        if (std::string fault = stepFault(step); !fault.empty()) {
            return where + fault;
        }
        const Json::Value& at = step["at_ms"];
        ordered.emplace_back(at.isNull() ? 0 : at.asUInt(), &step);
    }
    std::stable_sort(ordered.begin(), ordered.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    Step state;
    for (const auto& [atMs, step] : ordered) {
        state.atMs = atMs;
        applyStep(*step, state);
        scenario.m_steps.push_back(state);
    }
    return {};
}

// A step changes only the members it names: `flags` replaces the whole word first, then
// `alarm`, `rect`, `unit` and `temperature` each rewrite their own bits of it.
void VirtualScenario::applyStep(const Json::Value& step, Step& state) {
    if (const Json::Value& time = step["time"]; !time.isNull()) {
        state.localTime = time == "local";
        readWord(time, state.captureTime);
    }
    if (const Json::Value& flags = step["flags"]; !flags.isNull()) {
        readWord(flags, state.flags);
    }
    if (const Json::Value& alarm = step["alarm"]; !alarm.isNull()) {
        state.flags = alarm.asBool() ? state.flags | kFlagAlarm : state.flags & ~kFlagAlarm;
    }
    if (const Json::Value& rect = step["rect"]; !rect.isNull()) {
        state.flags = rect.asBool() ? state.flags | kFlagShowRect : state.flags & ~kFlagShowRect;
    }
    if (const Json::Value& unit = step["unit"]; !unit.isNull()) {
        const TempType type = unit == "F" ? kFahrenheit : unit == "K" ? kKelvin : kCelsius;
        state.flags = (state.flags & ~kUnitMask) | static_cast<uint32_t>(type) << kTempTypeShift;
    }
    if (const Json::Value& t = step["temperature"]; !t.isNull()) {
        state.flags = (state.flags & ~kAlarmValueMask) | temperatureTenths(t.asDouble());
    }
    if (const Json::Value& stall = step["stall"]; !stall.isNull()) {
        state.stall = stall.asBool();
    }
}

VirtualScenario::FrameState VirtualScenario::stateAt(std::chrono::milliseconds elapsed,
                                                     std::time_t now) const {
    int64_t t = std::max<int64_t>(elapsed.count(), 0);
    if (m_loopMs > 0) {
        t %= m_loopMs;
    }
    // The last step at or before t; before the first step the defaults hold.
    const auto after = std::upper_bound(m_steps.begin(), m_steps.end(), t,
                                        [](int64_t at, const Step& s) { return at < s.atMs; });
    const Step state = after == m_steps.begin() ? Step{} : *(after - 1);
    return FrameState{state.localTime ? localTimeWord(now) : state.captureTime, state.flags,
                      state.stall};
}

}  // namespace Framegate
