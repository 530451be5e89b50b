// Process-wide module logger and its "logfilter" command interpreter.
//
// Every function here may be called from any thread. Each call is serialised by one lock inside
// the logger, so lines from different threads never interleave and the file byte count stays
// exact.
#pragma once

namespace Velmora::Infra {

enum LogLevel : int {
    kLogNone = 0,
    kLogFatal = 1,
    kLogError = 2,
    kLogWarn = 3,
    kLogInfo = 4,
    kLogTrace = 5,
    kLogDebug = 6,
};

// The longest text one call produces; a longer message is cut and still ends its line.
inline constexpr int kLogLineMax = 8191;

// Formats one log text and writes it to the debugger output, standard output and the log file.
// Returns the number of characters produced, or 0 when the line is filtered out.
// `module` and `version` may be null.
int logPrint(int level, const char* module, const char* file, const char* function, int line,
             const char* version, const char* format, ...) __attribute__((format(printf, 7, 8)));

// The short form used by the time and assertion code: level info, no file name or line number,
// and it ignores the module filter.
int logInfo(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Runs one logfilter command: argv holds the option first ("-loglevel", "6"), no command word.
// Returns 0 when the command was applied, -1 when it was malformed (usage is printed then).
int logFilter(int argc, const char* const argv[]);

}  // namespace Velmora::Infra

// Framegate logs every line under module "Unknown" and version "Unknown".
#define INFRA_LOG(level, ...)                                                               \
    ::Velmora::Infra::logPrint((level), "Unknown", __FILE__, __func__, __LINE__, "Unknown", \
                               __VA_ARGS__)
#define INFRA_FATAL(...) INFRA_LOG(::Velmora::Infra::kLogFatal, __VA_ARGS__)
#define INFRA_ERROR(...) INFRA_LOG(::Velmora::Infra::kLogError, __VA_ARGS__)
#define INFRA_WARN(...) INFRA_LOG(::Velmora::Infra::kLogWarn, __VA_ARGS__)
#define INFRA_INFO(...) INFRA_LOG(::Velmora::Infra::kLogInfo, __VA_ARGS__)
#define INFRA_TRACE(...) INFRA_LOG(::Velmora::Infra::kLogTrace, __VA_ARGS__)
#define INFRA_DEBUG(...) INFRA_LOG(::Velmora::Infra::kLogDebug, __VA_ARGS__)
