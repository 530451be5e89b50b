#include "infra/Logger.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "support/TempDir.h"

using namespace Velmora::Infra;
using CalorviewTest::readFile;
using CalorviewTest::TempDir;
using CalorviewTest::writeFile;
using testing::HasSubstr;
using testing::Not;

namespace {

int filter(std::vector<const char*> args) {
    return logFilter(static_cast<int>(args.size()), args.data());
}

int logAt(int level, const char* module, const char* message) {
    return logPrint(level, module, "/src/camlib/Sample.cpp", "deliver", 42, "Unknown", "%s",
                    message);
}

const char* const kUsageText =
    "logfilter command usage:\n"
    "logfilter -loglevel [levelnum](0-no printlevel, 1-fatal, 2-error, 3-warn, 4-info, 5-trace, "
    "6-debug): set log level\n"
    "logfilter -logmodule [modulename] [on/off] #turn module's log on/off\n"
    "logfilter -logmodule [on/off] #turn ALL module's log on/off\n"
    "logfilter -logpath [logpath/] #logger module's log to logpath or cancel logger(by set path "
    "to )\n"
    "logfiter -logsize [logsize] #log file max size limited to logsize Kbytes\n";

// Every test starts from the state InitUSBCam leaves: level 6, a log file, a roomy limit.
class LoggerTest : public testing::Test {
protected:
    void SetUp() override {
        testing::internal::CaptureStdout();
        filter({"-loglevel", "6"});
        filter({"-logmodule", "on"});
        for (const char* option : {"-logtime", "-logthread", "-logversion", "-logfunction"}) {
            filter({option, "on"});
        }
        filter({"-logsize", "1024"});
        filter({"-logpath", m_log.c_str()});
        testing::internal::GetCapturedStdout();
    }
    void TearDown() override { filter({"-logpath", ""}); }

    std::string logText() const { return readFile(m_log); }

    TempDir m_dir;
    std::string m_log = m_dir.file("sdk_usb.log");
};

}  // namespace

// Relies on a fresh process, as ctest runs every test case.
TEST(LoggerDefaults, LevelThreeDropsTraceAndDebugUntilRaised) {
    TempDir dir;
    const std::string log = dir.file("first.log");
    filter({"-logpath", log.c_str()});
    filter({"-logsize", "1024"});
    testing::internal::CaptureStdout();
    EXPECT_EQ(logAt(kLogDebug, "Unknown", "debug line\n"), 0);
    EXPECT_EQ(logAt(kLogTrace, "Unknown", "trace line\n"), 0);
    EXPECT_GT(logAt(kLogWarn, "Unknown", "warn line\n"), 0);
    filter({"-loglevel", "6"});
    EXPECT_GT(logAt(kLogDebug, "Unknown", "debug again\n"), 0);
    testing::internal::GetCapturedStdout();
    const std::string text = readFile(log);
    EXPECT_THAT(text, Not(HasSubstr("debug line")));
    EXPECT_THAT(text, Not(HasSubstr("trace line")));
    EXPECT_THAT(text, HasSubstr("warn line"));
    EXPECT_THAT(text, HasSubstr("debug again"));
    filter({"-logpath", ""});
}

TEST_F(LoggerTest, FullPrefixFieldsInOrderAndResultIsLength) {
    testing::internal::CaptureStdout();
    const int length = logAt(kLogDebug, "Unknown", "frame 7\n");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string text = logText();
    EXPECT_EQ(static_cast<size_t>(length), text.size());
    EXPECT_EQ(out, text) << "standard output gets the same text, without colour off a terminal";
    EXPECT_TRUE(std::regex_match(
        text, std::regex(R"(\d\d:\d\d:\d\d\|\[Unknown\] \[ver:Unknown\] debug Sample\.cpp )"
                         R"(deliver 42 tid:\d+ frame 7\n)")))
        << text;
}

TEST_F(LoggerTest, LevelNamesAndDropping) {
    struct Case {
        int level;
        const char* name;
    };
    const Case cases[] = {{kLogFatal, "] fatal Sample"}, {kLogError, "] error Sample"},
                          {kLogWarn, "] warn Sample"},   {kLogInfo, "] info Sample"},
                          {kLogTrace, "] trace Sample"}, {kLogDebug, "] debug Sample"}};
    testing::internal::CaptureStdout();
    for (const Case& c : cases) {
        logAt(c.level, "Unknown", "x\n");
        EXPECT_THAT(logText(), HasSubstr(c.name));
    }
    EXPECT_EQ(logAt(kLogNone, "Unknown", "level zero\n"), 0);
    EXPECT_EQ(logAt(7, "Unknown", "above debug\n"), 0);
    filter({"-loglevel", "2"});
    EXPECT_EQ(logAt(kLogWarn, "Unknown", "warn dropped\n"), 0);
    EXPECT_GT(logAt(kLogError, "Unknown", "error kept\n"), 0);
    filter({"-loglevel", "0"});
    EXPECT_EQ(logAt(kLogFatal, "Unknown", "silenced\n"), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_THAT(logText(), Not(HasSubstr("dropped")));
    EXPECT_THAT(logText(), Not(HasSubstr("silenced")));
    EXPECT_THAT(logText(), Not(HasSubstr("level zero")));
}

TEST_F(LoggerTest, ShowSwitchesRemoveTheirFields) {
    struct Case {
        const char* option;
        std::regex expected;
    };
    const Case cases[] = {
        {"-logtime",
         std::regex(R"(\[Unknown\] \[ver:Unknown\] info Sample\.cpp deliver 42 tid:\d+ m\n)")},
        {"-logthread",
         std::regex(
             R"(\d\d:\d\d:\d\d\|\[Unknown\] \[ver:Unknown\] info Sample\.cpp deliver 42 m\n)")},
        {"-logversion",
         std::regex(R"(\d\d:\d\d:\d\d\|\[Unknown\] info Sample\.cpp deliver 42 tid:\d+ m\n)")},
        {"-logfunction",
         std::regex(
             R"(\d\d:\d\d:\d\d\|\[Unknown\] \[ver:Unknown\] info Sample\.cpp 42 tid:\d+ m\n)")},
    };
    testing::internal::CaptureStdout();
    for (const Case& c : cases) {
        filter({"-logsize", "0"});  // every line empties the file: it holds just this line
        filter({c.option, "OFF"});
        logAt(kLogInfo, "Unknown", "m\n");
        EXPECT_TRUE(std::regex_match(logText(), c.expected)) << c.option << ": " << logText();
        filter({c.option, "On"});
    }
    testing::internal::GetCapturedStdout();
}

TEST_F(LoggerTest, AHugeSizeLimitIsNoLimit) {
    testing::internal::CaptureStdout();
    for (const char* size : {"99999999999999999", "99999999999999999999999"}) {
        filter({"-logsize", "0"});
        logAt(kLogInfo, "Unknown", "dropped\n");  // the limit of 0 empties the file first
        filter({"-logsize", size});
        logAt(kLogInfo, "Unknown", "first\n");
        logAt(kLogInfo, "Unknown", "second\n");
        const std::string text = logText();
        EXPECT_NE(text.find("first\n"), std::string::npos) << size << ": " << text;
        EXPECT_NE(text.find("second\n"), std::string::npos) << size;
    }
    testing::internal::GetCapturedStdout();
}

TEST_F(LoggerTest, NoLineNumberMeansNoFileAndLineAndNullTextsAreEmpty) {
    testing::internal::CaptureStdout();
    logPrint(kLogInfo, nullptr, "dir\\win\\Path.cpp", "fn", 0, nullptr, "plain\n");
    logPrint(kLogInfo, "Unknown", "dir\\win\\Path.cpp", "fn", 9, "Unknown", "cut\n");
    testing::internal::GetCapturedStdout();
    const std::string text = logText();
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(\|\[\] \[ver:\] info fn tid:\d+ plain\n)")))
        << text;
    EXPECT_THAT(text, HasSubstr("info Path.cpp fn 9 tid:"));
}

TEST_F(LoggerTest, MessageWithoutNewlineContinuesTheLine) {
    testing::internal::CaptureStdout();
    logAt(kLogDebug, "Unknown", "first half, ");
    logAt(kLogDebug, "Unknown", "second half\n");
    logAt(kLogDebug, "Unknown", "next\n");
    testing::internal::GetCapturedStdout();
    const std::string text = logText();
    EXPECT_TRUE(std::regex_match(
        text, std::regex(R"([^\n]*tid:\d+ first half, second half\n[^\n]*tid:\d+ next\n)")))
        << text;
}

TEST_F(LoggerTest, OverlongMessageIsCutAndStillEndsItsLine) {
    const std::string huge(20000, 'x');
    testing::internal::CaptureStdout();
    const int length = logAt(kLogDebug, "Unknown", huge.c_str());
    logAt(kLogDebug, "Unknown", "after\n");
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(length, kLogLineMax);
    const std::string text = logText();
    ASSERT_GT(text.size(), static_cast<size_t>(kLogLineMax));
    EXPECT_EQ(text[kLogLineMax - 1], '\n');
    EXPECT_TRUE(std::regex_match(text.substr(kLogLineMax),
                                 std::regex(R"(\d\d:\d\d:\d\d\|[^\n]*tid:\d+ after\n)")));
}

TEST_F(LoggerTest, MessagesAroundTheLineLimitKeepEveryCharacter) {
    // The prefix's length varies with the thread id: measure it with an empty message.
    testing::internal::CaptureStdout();
    const int prefix = logAt(kLogDebug, "Unknown", "");
    logAt(kLogDebug, "Unknown", "\n");
    for (const int extra : {-1, 0}) {
        // A text of kLogLineMax - 1 characters plus its newline, and one of exactly kLogLineMax
        // characters with no newline: neither is cut, and the next call starts a new line.
        const std::string body(static_cast<size_t>(kLogLineMax - prefix + extra), 'y');
        const std::string message = extra < 0 ? body + "\n" : body;
        EXPECT_EQ(logAt(kLogDebug, "Unknown", message.c_str()), kLogLineMax) << extra;
        logAt(kLogDebug, "Unknown", "after\n");
    }
    testing::internal::GetCapturedStdout();
    const std::string text = logText();
    // Each run of y, and what follows it (std::regex recurses per character: too deep here).
    std::vector<size_t> kept;
    for (size_t at = text.find('y'); at != std::string::npos; at = text.find('y', at)) {
        const size_t end = text.find_first_not_of('y', at);
        kept.push_back(end - at);
        EXPECT_EQ(text.compare(end, 1, "\n"), 0) << "the line ends right after the text";
        at = end;
    }
    const auto full = static_cast<size_t>(kLogLineMax - prefix);
    EXPECT_EQ(kept, (std::vector<size_t>{full - 1, full})) << "every y is kept";
}

TEST_F(LoggerTest, ModuleFilter) {
    testing::internal::CaptureStdout();
    filter({"-logmodule", "Camera", "off"});
    EXPECT_EQ(logAt(kLogInfo, "Camera", "camera silenced\n"), 0);
    EXPECT_GT(logAt(kLogInfo, "Timer", "timer still on\n"), 0);
    EXPECT_GT(logAt(kLogInfo, nullptr, "no module still on\n"), 0);
    filter({"-logmodule", "Camera", "ON"});
    EXPECT_GT(logAt(kLogInfo, "Camera", "camera back\n"), 0);
    filter({"-logmodule", "Camera", "off"});
    filter({"-logmodule", "on"});  // all on: the table is no longer consulted
    EXPECT_GT(logAt(kLogInfo, "Camera", "all on again\n"), 0);
    filter({"-logmodule", "off"});
    EXPECT_EQ(logAt(kLogFatal, "Timer", "all off\n"), 0);
    EXPECT_GT(logInfo("short call ignores modules\n"), 0);
    testing::internal::GetCapturedStdout();
    const std::string text = logText();
    EXPECT_THAT(text, Not(HasSubstr("silenced")));
    EXPECT_THAT(text, Not(HasSubstr("all off")));
    for (const char* kept : {"timer still on", "no module still on", "camera back", "all on again",
                             "short call ignores modules"}) {
        EXPECT_THAT(text, HasSubstr(kept));
    }
}

TEST_F(LoggerTest, ShortInfoCallPrefixAndLevel) {
    testing::internal::CaptureStdout();
    logInfo("custom_abort, line : %d\n", 12);
    filter({"-loglevel", "3"});
    EXPECT_EQ(logInfo("dropped below info\n"), 0);
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(
        logText(),
        std::regex(R"(\d\d:\d\d:\d\d\|\[\] \[ver:\] info   tid:\d+ custom_abort, line : 12\n)")))
        << logText();
}

TEST_F(LoggerTest, FileIsEmptiedWhenItReachedTheLimit) {
    writeFile(m_log, std::string(1024 * 1024, 'o'));
    filter({"-logsize", "1024*1024*50"});  // reads 1024: a limit of 1048576 bytes
    testing::internal::CaptureStdout();
    logAt(kLogDebug, "Unknown", "first line of a fresh file\n");
    logAt(kLogDebug, "Unknown", "second\n");
    testing::internal::GetCapturedStdout();
    const std::string text = logText();
    // The old content is gone and the line that found the file full is its first.
    EXPECT_TRUE(std::regex_match(
        text, std::regex(R"(\d\d:\d\d:\d\d\|[^\n]* first line of a fresh file\n[^\n]* second\n)")))
        << text.substr(0, 200);
}

TEST_F(LoggerTest, FileBelowTheLimitIsAppendedAndCountedFromItsSize) {
    writeFile(m_log, std::string(1024 * 1024 - 1, 'o'));
    filter({"-logsize", "1024"});
    testing::internal::CaptureStdout();
    logAt(kLogDebug, "Unknown", "appended\n");
    const size_t afterFirst = logText().size();
    logAt(kLogDebug, "Unknown", "restarts the file\n");
    testing::internal::GetCapturedStdout();
    EXPECT_GT(afterFirst, 1024u * 1024u);
    EXPECT_THAT(logText(), Not(HasSubstr("appended")));
    EXPECT_THAT(logText(), HasSubstr("restarts the file"));
}

TEST_F(LoggerTest, LogSizeArgumentsThatGiveNoLimitEmptyTheFileEveryLine) {
    for (const char* size : {"0", "-5", "abc", ""}) {
        filter({"-logsize", size});
        testing::internal::CaptureStdout();
        logAt(kLogDebug, "Unknown", "one\n");
        logAt(kLogDebug, "Unknown", "two\n");
        testing::internal::GetCapturedStdout();
        EXPECT_THAT(logText(), Not(HasSubstr("one"))) << "size " << size;
        EXPECT_THAT(logText(), HasSubstr("two")) << "size " << size;
    }
}

TEST_F(LoggerTest, EmptyPathStopsFileOutputAtOnce) {
    testing::internal::CaptureStdout();
    logAt(kLogDebug, "Unknown", "kept\n");
    filter({"-logpath", ""});
    logAt(kLogDebug, "Unknown", "not in file\n");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(logText(), HasSubstr("kept"));
    EXPECT_THAT(logText(), Not(HasSubstr("not in file")));
    EXPECT_THAT(out, HasSubstr("not in file"));
}

TEST_F(LoggerTest, UnwritablePathReportsFopenAndStillLogsToStdout) {
    filter({"-logpath", "/nonexistent-folder/sdk_usb.log"});
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int length = logAt(kLogError, "Unknown", "still on stdout\n");
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GT(length, 0);
    EXPECT_THAT(out, HasSubstr("still on stdout"));
    EXPECT_THAT(err, HasSubstr("fopen:No such file or directory"));
}

TEST(LoggerFilter, UsageAndMalformedCommands) {
    struct Case {
        std::vector<const char*> args;
        int result;
        bool usage;
    };
    const Case cases[] = {
        {{}, 0, true},
        {{"-h"}, 0, true},
        {{"-loglevel"}, -1, true},
        {{"-loglevel", "abc"}, -1, true},
        {{"-loglevel", "6", "7"}, -1, true},
        {{"-logsize"}, -1, true},
        {{"-logmodule"}, -1, true},
        {{"-logpath"}, -1, true},
        {{"-unknown", "1"}, -1, true},
        {{"-logtime", nullptr}, -1, true},
        {{"-loglevel", "4"}, 0, false},
        {{"-logsize", "12kb"}, 0, false},
    };
    for (const Case& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(logFilter(static_cast<int>(c.args.size()), c.args.data()), c.result);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, c.usage ? kUsageText : "") << (c.args.empty() ? "(none)" : c.args[0]);
    }
    testing::internal::CaptureStdout();
    EXPECT_GT(logAt(kLogInfo, "Unknown", "level stayed 4\n"), 0);
    EXPECT_EQ(logAt(kLogTrace, "Unknown", "trace dropped\n"), 0);
    testing::internal::GetCapturedStdout();
}

TEST(LoggerDebugOutput, GoesToStderrOnlyWhenEnabled) {
    filter({"-loglevel", "6"});
    for (const bool enabled : {false, true}) {
        if (enabled) {
            setenv("FRAMEGATE_DEBUG_OUTPUT", "1", 1);
        } else {
            unsetenv("FRAMEGATE_DEBUG_OUTPUT");
        }
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        logAt(kLogInfo, "Unknown", "to the debugger\n");
        const std::string err = testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(err.find("to the debugger") != std::string::npos, enabled);
    }
    unsetenv("FRAMEGATE_DEBUG_OUTPUT");
}
