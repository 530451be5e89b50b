#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "capture/virtual/VirtualScenario.h"
#include "framegate/FrameMetadata.h"

namespace Framegate {
namespace {

using std::chrono::milliseconds;

constexpr std::time_t kNow = 1700000000;

VirtualScenario parsed(const std::string& text) {
    std::string reason;
    std::optional<VirtualScenario> scenario = VirtualScenario::parse(text, reason);
    EXPECT_TRUE(scenario) << text << ": " << reason;
    return scenario.value_or(VirtualScenario());
}

uint32_t flagsAt(const VirtualScenario& scenario, int ms) {
    return scenario.stateAt(milliseconds(ms), kNow).flags;
}

uint32_t localWord(std::time_t now) {
    std::tm local{};
    localtime_r(&now, &local);
    return packCaptureTime({local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                            local.tm_min, local.tm_sec});
}

TEST(VirtualScenarioTest, TopLevelMembersAndDefaults) {
    for (const char* text : {" \n", R"({"timeline": []})"}) {
        const VirtualScenario scenario = parsed(text);
        EXPECT_EQ(scenario.name(), "Virtual Thermal Camera") << text;
        EXPECT_EQ(scenario.width(), 480) << text;
        EXPECT_EQ(scenario.height(), 640);
        EXPECT_EQ(scenario.fps(), 25.0);
        const VirtualScenario::FrameState state = scenario.stateAt(milliseconds(5000), kNow);
        EXPECT_EQ(state.captureTime, localWord(kNow));
        EXPECT_EQ(state.flags, 0u);
        EXPECT_FALSE(state.stall);
    }
    const VirtualScenario scenario =
        parsed(R"({"name": "Bench cam", "width": 320, "height": 240, "fps": 7.5})");
    EXPECT_EQ(scenario.name(), "Bench cam");
    EXPECT_EQ(scenario.width(), 320);
    EXPECT_EQ(scenario.height(), 240);
    EXPECT_EQ(scenario.fps(), 7.5);
}

// Every rejected text fails with a one-line reason naming the member at fault.
TEST(VirtualScenarioTest, RejectsBadMembersWithTheirName) {
    const std::pair<const char*, const char*> cases[] = {
        {"not json", "not JSON"},
        {R"({"fps": 25, "fps": 30})", "not JSON"},
        {"[1, 2]", "not a JSON object"},
        {R"({"name": 5})", "name"},
        {R"({"width": 481})", "width"},
        {R"({"height": 0})", "height"},
        {R"({"fps": 1000})", "fps"},
        {R"({"fps": 1e-300})", "fps"},
        {R"({"fps": 0.09})", "fps"},
        {R"({"loop_ms": 0})", "loop_ms"},
        {R"({"start_hangs": 1})", "start_hangs"},
        {R"({"timeline": {}})", "timeline"},
        {R"({"colour": "iron"})", "colour"},
        {R"({"timeline": [3]})", "timeline[0]"},
        {R"({"timeline": [{}, {"at_ms": -1}]})", "timeline[1].at_ms"},
        {R"({"timeline": [{"time": "utc"}]})", "timeline[0].time"},
        {R"({"timeline": [{"flags": "0x1G"}]})", "timeline[0].flags"},
        {R"({"timeline": [{"alarm": 1}]})", "timeline[0].alarm"},
        {R"({"timeline": [{"temperature": "40"}]})", "timeline[0].temperature"},
        {R"({"timeline": [{"unit": "c"}]})", "timeline[0].unit"},
        {R"({"timeline": [{"alram": true}]})", "timeline[0].alram"},
    };
    for (const auto& [text, member] : cases) {
        std::string reason;
        EXPECT_FALSE(VirtualScenario::parse(text, reason)) << text;
        EXPECT_NE(reason.find(member), std::string::npos) << text << " -> " << reason;
        EXPECT_EQ(reason.find('\n'), std::string::npos) << reason;
    }
    // Nesting past the JSON reader's limit makes it throw (found by the scenario fuzzer).
    std::string reason;
    EXPECT_FALSE(VirtualScenario::parse(R"({"timeline": )" + std::string(5000, '['), reason));
    EXPECT_NE(reason.find("not JSON"), std::string::npos) << reason;
}

TEST(VirtualScenarioTest, StepsHoldFromTheirTimeInTimeOrder) {
    // Out of order on purpose; equal times keep file order (the later one wins).
    const VirtualScenario scenario = parsed(R"({"timeline": [
        {"at_ms": 3000, "flags": 3},
        {"at_ms": 1000, "flags": 1, "time": "0x6A5B3C2D"},
        {"at_ms": 2000, "flags": 20},
        {"at_ms": 2000, "flags": 2, "stall": true},
        {"at_ms": 4000, "time": "local", "stall": false}]})");
    struct Case {
        int ms;
        uint32_t flags;
        uint32_t time;
        bool stall;
    };
    const uint32_t local = localWord(kNow);
    const Case cases[] = {{0, 0, local, false},         {999, 0, local, false},
                          {1000, 1, 0x6A5B3C2D, false}, {2000, 2, 0x6A5B3C2D, true},
                          {3500, 3, 0x6A5B3C2D, true},  {90000, 3, local, false}};
    for (const Case& c : cases) {
        const VirtualScenario::FrameState state = scenario.stateAt(milliseconds(c.ms), kNow);
        EXPECT_EQ(state.flags, c.flags) << c.ms;
        EXPECT_EQ(state.captureTime, c.time) << c.ms;
        EXPECT_EQ(state.stall, c.stall) << c.ms;
    }
    // "local" follows the clock.
    EXPECT_EQ(scenario.stateAt(milliseconds(0), kNow + 86399).captureTime, localWord(kNow + 86399));
}

TEST(VirtualScenarioTest, LoopRestartsTheTimelineFromTheDefaults) {
    const VirtualScenario scenario = parsed(R"({"loop_ms": 1000, "timeline": [
        {"at_ms": 200, "alarm": true}, {"at_ms": 600, "stall": true}, {"at_ms": 5000, "flags": 9}]})");
    const std::pair<int, uint32_t> cases[] = {
        {0, 0}, {200, kFlagAlarm}, {999, kFlagAlarm}, {1000, 0}, {3250, kFlagAlarm}};
    for (const auto& [ms, flags] : cases) {
        EXPECT_EQ(flagsAt(scenario, ms), flags) << ms;
    }
    EXPECT_FALSE(scenario.stateAt(milliseconds(1100), kNow).stall);
    EXPECT_TRUE(scenario.stateAt(milliseconds(2700), kNow).stall);
}

// What the client decodes from the composed word is what the step said.
TEST(VirtualScenarioTest, ComposedFlagsRoundTripThroughTheFrameFormat) {
    struct Case {
        const char* step;
        bool alarm;
        bool rect;
        TempType unit;
        uint32_t tenths;
    };
    const Case cases[] = {
        {R"("alarm": true, "temperature": 38.6, "unit": "C", "rect": true)", true, true, kCelsius,
         386},
        {R"("alarm": true, "temperature": 101.25, "unit": "F")", true, false, kFahrenheit, 1013},
        {R"("temperature": 310.04, "unit": "K", "rect": true)", false, true, kKelvin, 3100},
        // Out of the word's range: below zero becomes 0, above 24 bits the largest value.
        {R"("alarm": true, "temperature": -12.5)", true, false, kCelsius, 0},
        {R"("alarm": true, "temperature": 1e300)", true, false, kCelsius, kAlarmValueMask},
    };
    for (const Case& c : cases) {
        const uint32_t flags =
            flagsAt(parsed(std::string(R"({"timeline": [{)") + c.step + "}]}"), 0);
        EXPECT_EQ((flags & kFlagAlarm) != 0, c.alarm) << c.step;
        EXPECT_EQ((flags & kFlagShowRect) != 0, c.rect) << c.step;
        EXPECT_EQ(tempTypeOf(flags), c.unit) << c.step;
        EXPECT_EQ(flags, packFlags(c.alarm, c.rect, c.unit, c.tenths)) << c.step;
    }
}

// `flags` replaces the word; the named fields then edit only their own bits of it.
TEST(VirtualScenarioTest, FieldsEditTheirBitsOfARawWord) {
    const VirtualScenario scenario = parsed(R"({"timeline": [
        {"at_ms": 0, "flags": "0x87000123"},
        {"at_ms": 10, "alarm": true, "rect": true},
        {"at_ms": 20, "unit": "K", "temperature": 2.5},
        {"at_ms": 30, "alarm": false},
        {"at_ms": 40, "flags": 0, "alarm": true}]})");
    const std::pair<int, uint32_t> cases[] = {{0, 0x87000123u},
                                              {10, 0xE7000123u},
                                              {20, 0xF7000019u},
                                              {30, 0xB7000019u},
                                              {40, kFlagAlarm}};
    for (const auto& [ms, flags] : cases) {
        EXPECT_EQ(flagsAt(scenario, ms), flags) << ms;
    }
}

// The built-in demo and the documented example play what their descriptions promise.
TEST(VirtualScenarioTest, DemoAndDocumentedExamplePlayTheirAlarmEpisodes) {
    const std::string example =
        std::filesystem::path(__FILE__).parent_path().parent_path().parent_path() /
        "docs/scenarios/alarm-episode.json";
    testing::internal::CaptureStderr();
    const VirtualScenario documented = VirtualScenario::load(example);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    const VirtualScenario demo = VirtualScenario::demo();
    const auto alarm = [](TempType unit, bool rect, uint32_t tenths) {
        return packFlags(true, rect, unit, tenths);
    };
    const std::tuple<const VirtualScenario*, int, uint32_t> cases[] = {
        {&demo, 7999, 0},
        {&demo, 8000, alarm(kCelsius, true, 386)},
        {&demo, 11000, alarm(kCelsius, true, 402)},
        {&demo, 14000, 0},
        {&demo, 28000, alarm(kCelsius, true, 386)},
        {&documented, 4999, 0},
        {&documented, 9000, alarm(kCelsius, true, 412)},
        {&documented, 13000, 0},
        {&documented, 21000, alarm(kFahrenheit, false, 1045)},
        {&documented, 23000, 0},
        {&documented, 35000, alarm(kCelsius, true, 379)},
    };
    for (const auto& [scenario, ms, flags] : cases) {
        EXPECT_EQ(flagsAt(*scenario, ms), flags) << (scenario == &demo ? "demo " : "doc ") << ms;
    }
}

class VirtualScenarioFileTest : public testing::Test {
protected:
    void SetUp() override {
        m_path = testing::TempDir() + "scenario_" + std::to_string(::getpid()) + "_" +
                 std::to_string(++s_runs) + "_" +
                 testing::UnitTest::GetInstance()->current_test_info()->name() + ".json";
    }
    void TearDown() override { std::filesystem::remove_all(m_path); }
    void write(const std::string& text) const { std::ofstream(m_path) << text; }

    // Bad-file reports are remembered per path for the whole process: a fresh path per run
    // keeps repeated runs (--gtest_repeat) independent.
    static inline int s_runs = 0;
    std::string m_path;
};

// A bad file gives the defaults and one line on stderr naming the file and the reason, however
// often it is read; a different fault, or the same after a good read, is reported again.
TEST_F(VirtualScenarioFileTest, BadFileIsReportedOnceAndGivesTheDefaults) {
    write(R"({"name": "Lab", "fps": "fast"})");
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        const VirtualScenario scenario = VirtualScenario::load(m_path);
        EXPECT_EQ(scenario.name(), "Virtual Thermal Camera");
        EXPECT_EQ(scenario.fps(), 25.0);
    }
    std::string output = testing::internal::GetCapturedStderr();
    EXPECT_NE(output.find(m_path), std::string::npos) << output;
    EXPECT_NE(output.find("fps"), std::string::npos) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;

    testing::internal::CaptureStderr();
    for (const char* text : {"{", "{}", "{", "{"}) {
        write(text);
        VirtualScenario::load(m_path);
    }
    output = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 2) << output;
    EXPECT_NE(output.find("not JSON"), std::string::npos) << output;
}

TEST_F(VirtualScenarioFileTest, UnreadableOrMissingFileGivesTheDefaults) {
    std::filesystem::create_directory(m_path);  // present, but no file to read
    testing::internal::CaptureStderr();
    EXPECT_EQ(VirtualScenario::load(m_path).width(), 480);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("cannot be read"), std::string::npos);
    EXPECT_TRUE(VirtualScenario::isPresent(m_path));
    std::filesystem::remove(m_path);
    EXPECT_FALSE(VirtualScenario::isPresent(m_path));
    EXPECT_TRUE(VirtualScenario::isPresent(VirtualScenario::kDemoLocator));
}

}  // namespace
}  // namespace Framegate
