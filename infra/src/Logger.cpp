#include "infra/Logger.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <string>

#include "infra/CTime.h"
#include "infra/DebugOutput.h"
#include "infra/OutputDeferral.h"

namespace Velmora::Infra {

namespace {

constexpr int kBufferSize = kLogLineMax + 1;

enum ModuleMode { kAllModulesOff = 0, kModuleTable = 1, kAllModulesOn = 2 };

struct LevelStyle {
    const char* name;
    const char* ansiColour;  // the console text attribute as an ANSI sequence
};

// Indexed by level. Each level's console colour is a mix of primaries (1 blue, 2 green, 4 red),
// as the log format has always defined it; each maps to the ANSI colour of the same mix.
constexpr LevelStyle kLevels[] = {
    {"", "\033[30m"},        // 0: black
    {"fatal ", "\033[35m"},  // 5: red and blue
    {"error ", "\033[31m"},  // 4: red
    {"warn ", "\033[33m"},   // 6: red and green
    {"info ", "\033[32m"},   // 2: green
    {"trace ", "\033[37m"},  // 7: red, green and blue
    {"debug ", "\033[36m"},  // 3: green and blue
};
constexpr const char* kInfoCallStyleName = "info  ";
constexpr const char* kGreen = "\033[32m";
constexpr const char* kColourReset = "\033[0m";

const char* const kUsage[] = {
    "logfilter command usage:\n",
    "logfilter -loglevel [levelnum](0-no printlevel, 1-fatal, 2-error, 3-warn, 4-info, 5-trace, "
    "6-debug): set log level\n",
    "logfilter -logmodule [modulename] [on/off] #turn module's log on/off\n",
    "logfilter -logmodule [on/off] #turn ALL module's log on/off\n",
    "logfilter -logpath [logpath/] #logger module's log to logpath or cancel logger(by set path "
    "to )\n",
    "logfiter -logsize [logsize] #log file max size limited to logsize Kbytes\n",
};

// What one line's prefix shows; the two call forms differ only in these.
struct Prefix {
    const char* colour;
    const char* module;
    const char* version;
    const char* levelName;
    const char* file;  // null: no file name and no line number
    const char* function;
    int line;
};

// A Prefix whose texts outlive the call, for a line written later by the writer thread.
class DeferredPrefix {
public:
    explicit DeferredPrefix(const Prefix& prefix)
        : m_prefix(prefix),
          m_module(copy(prefix.module)),
          m_version(copy(prefix.version)),
          m_file(copy(prefix.file)),
          m_function(copy(prefix.function)) {}

    Prefix prefix() const {
        Prefix copyOf = m_prefix;
        copyOf.module = pointer(m_module, m_prefix.module);
        copyOf.version = pointer(m_version, m_prefix.version);
        copyOf.file = pointer(m_file, m_prefix.file);
        copyOf.function = pointer(m_function, m_prefix.function);
        return copyOf;
    }

private:
    static std::string copy(const char* text) { return text != nullptr ? text : ""; }
    static const char* pointer(const std::string& text, const char* original) {
        return original != nullptr ? text.c_str() : nullptr;
    }

    Prefix m_prefix;  // colour and level name are static texts
    std::string m_module;
    std::string m_version;
    std::string m_file;
    std::string m_function;
};

bool isOn(const char* text) {
    return strcasecmp(text, "on") == 0;
}

// Reads a decimal number up to its first non-digit; false when the text starts with none.
bool leadingNumber(const char* text, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return end != text && errno == 0;
}

const char* baseName(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    return base;
}

// All logger state. Every member is guarded by `mutex`; every entry point takes it for the
// whole call. Never destroyed: threads may still log while exit handlers run.
class Logger {
public:
    static Logger& instance() {
        static Logger* logger = new Logger;
        return *logger;
    }

    // Any thread. Formats the message outside the lock; a thread whose output is deferred hands
    // the formatted line to the writer thread and returns the message's length.
    int write(int level, const Prefix& prefix, bool useModuleFilter, const char* format,
              va_list args) {
        if (level > levelHint.load(std::memory_order_relaxed) || level <= kLogNone) {
            return 0;
        }
        char message[kBufferSize];
        int wanted = 0;
        if (format != nullptr) {
            wanted = std::max(std::vsnprintf(message, sizeof message, format, args), 0);
        }
        message[std::min(wanted, kLogLineMax)] = '\0';
        const int threadId = static_cast<int>(gettid());
        // Stamped now, not when written: a deferred line may wait for the writer thread.
        const CTime stamp = CTime::getCurrentTime();
        if (OutputDeferral::active()) {
            OutputDeferral::post([this, level, useModuleFilter, wanted, threadId, stamp,
                                  line = DeferredPrefix(prefix), text = std::string(message)] {
                writeMessage(level, line.prefix(), useModuleFilter, text.c_str(), wanted, threadId,
                             stamp);
            });
            return std::min(wanted, kLogLineMax);
        }
        return writeMessage(level, prefix, useModuleFilter, message, wanted, threadId, stamp);
    }

    int filter(int argc, const char* const argv[]) {
        std::lock_guard lock(mutex);
        if (argc <= 0 || (argc == 1 && argv[0] != nullptr && std::strcmp(argv[0], "-h") == 0)) {
            printUsage();
            return 0;
        }
        for (int i = 0; i < argc; ++i) {
            if (argv == nullptr || argv[i] == nullptr) {
                printUsage();
                return -1;
            }
        }
        const std::string option = argv[0];
        long number = 0;
        if (option == "-loglevel" && argc == 2 && leadingNumber(argv[1], number)) {
            currentLevel = static_cast<int>(number);
            levelHint.store(currentLevel, std::memory_order_relaxed);
        } else if (option == "-logmodule" && argc == 3) {
            moduleTable[argv[1]] = isOn(argv[2]);
            moduleMode = kModuleTable;
        } else if (option == "-logmodule" && argc == 2) {
            moduleMode = strcasecmp(argv[1], "off") == 0 ? kAllModulesOff : kAllModulesOn;
        } else if (option == "-logtime" && argc == 2) {
            showTime = isOn(argv[1]);
        } else if (option == "-logthread" && argc == 2) {
            showThread = isOn(argv[1]);
        } else if (option == "-logversion" && argc == 2) {
            showVersion = isOn(argv[1]);
        } else if (option == "-logfunction" && argc == 2) {
            showFunction = isOn(argv[1]);
        } else if (option == "-logpath" && argc == 2) {
            path = argv[1];
            // Closed even when the path is the same: the next line opens it afresh, so a log
            // file deleted (or a working folder changed) since it was opened is written again.
            if (file != nullptr) {
                std::fclose(file);
                file = nullptr;
            }
        } else if (option == "-logsize" && argc == 2) {
            // Kilobytes. A number too large for the byte count (or for strtoll, which then
            // gives its maximum) means no practical limit, never an overflow.
            char* end = nullptr;
            const long long kilobytes = std::strtoll(argv[1], &end, 10);
            constexpr long long kMaxKilobytes = std::numeric_limits<long long>::max() / 1024;
            sizeLimit =
                end != argv[1] && kilobytes > 0 ? std::min(kilobytes, kMaxKilobytes) * 1024 : 0;
        } else {
            printUsage();
            return -1;
        }
        return 0;
    }

private:
    Logger() : colourConsole(isatty(STDOUT_FILENO) == 1) {}

    // `message` holds at most kLogLineMax characters of a text `wanted` characters long.
    int writeMessage(int level, const Prefix& prefix, bool useModuleFilter, const char* message,
                     int wanted, int threadId, const CTime& stamp) {
        std::lock_guard lock(mutex);
        if (level > currentLevel || level <= kLogNone) {
            return 0;
        }
        if (useModuleFilter && !moduleEnabled(prefix.module)) {
            return 0;
        }
        // One spare byte: a line that exactly fills the buffer still gets its newline.
        char buffer[kBufferSize + 1];
        int length = 0;
        const bool startsLine = atLineStart;
        if (startsLine) {
            length = formatPrefix(buffer, prefix, threadId, stamp);
        }
        const int room = kLogLineMax - length;
        const bool cut = wanted > room;
        const int taken = std::min(wanted, room);
        std::memcpy(buffer + length, message, static_cast<size_t>(taken));
        length += taken;
        if (cut) {
            // A cut message still ends its line, so the next call starts with a prefix
            // and the file never holds half a line glued to the next.
            buffer[length - 1] = '\n';
        }
        const int produced = length;
        if (length == kLogLineMax && buffer[length - 1] != '\n') {
            // The text filled the line: the next call starts a new one, on a new line too.
            buffer[length++] = '\n';
        }
        buffer[length] = '\0';
        emit(buffer, length, startsLine ? prefix.colour : nullptr);
        return produced;
    }

    bool moduleEnabled(const char* module) const {
        if (moduleMode == kAllModulesOff) {
            return false;
        }
        if (moduleMode == kModuleTable && module != nullptr) {
            const auto entry = moduleTable.find(module);
            return entry == moduleTable.end() || entry->second;
        }
        return true;
    }

    int formatPrefix(char* buffer, const Prefix& prefix, int threadId, const CTime& stamp) const {
        int length = 0;
        auto append = [&](const char* fmt, auto... values) {
            const int n = std::snprintf(buffer + length, kBufferSize - length, fmt, values...);
            if (n > 0) {
                length = std::min(length + n, kLogLineMax);
            }
        };
        if (showTime) {
            append("%02d:%02d:%02d|", stamp.hour, stamp.minute, stamp.second);
        }
        if (showModule) {
            append("[%s] ", prefix.module != nullptr ? prefix.module : "");
        }
        if (showVersion) {
            append("[ver:%s] ", prefix.version != nullptr ? prefix.version : "");
        }
        if (showLevel) {
            append("%s", prefix.levelName);
        }
        const bool hasLine = prefix.file != nullptr && prefix.line > 0;
        if (showFile && hasLine) {
            append("%s ", baseName(prefix.file));
        }
        if (showFunction) {
            append("%s ", prefix.function != nullptr ? prefix.function : "");
        }
        if (showLineNumber && hasLine) {
            append("%d ", prefix.line);
        }
        if (showThread) {
            append("tid:%d ", threadId);
        }
        return length;
    }

    // `colour` is set when this text starts a line: the console switches to it first.
    void emit(const char* text, int length, const char* colour) {
        debugOutput(text);
        if (colourConsole && colour != nullptr) {
            std::fputs(colour, stdout);
        }
        std::fwrite(text, 1, static_cast<size_t>(length), stdout);
        atLineStart = length > 0 && text[length - 1] == '\n';
        if (colourConsole && atLineStart) {
            std::fputs(kColourReset, stdout);
        }
        std::fflush(stdout);
        writeFile(text, length);
    }

    void writeFile(const char* text, int length) {
        if (path.empty()) {
            return;
        }
        if (file == nullptr) {
            if (!reopen("a")) {
                return;
            }
            // The file may already hold lines from an earlier run: count from its size.
            struct stat info {};
            byteCount = ::fstat(fileno(file), &info) == 0 ? info.st_size : 0;
        }
        if (byteCount >= sizeLimit) {
            std::fclose(file);
            file = nullptr;
            if (!reopen("w")) {
                return;
            }
            byteCount = 0;
        }
        std::fwrite(text, 1, static_cast<size_t>(length), file);
        byteCount += length;
        std::fflush(file);
    }

    bool reopen(const char* mode) {
        file = std::fopen(path.c_str(), mode);
        if (file == nullptr) {
            std::fprintf(stderr, "fopen:%s\n", std::strerror(errno));
            return false;
        }
        return true;
    }

    void printUsage() const {
        for (const char* line : kUsage) {
            std::fputs(line, stdout);
        }
        std::fflush(stdout);
    }

    std::mutex mutex;
    int currentLevel = kLogWarn;
    // currentLevel for the early test outside the lock; the lock's test decides.
    std::atomic<int> levelHint{kLogWarn};
    ModuleMode moduleMode = kAllModulesOn;
    std::map<std::string, bool> moduleTable;
    bool showTime = true;
    bool showThread = true;
    bool showVersion = true;
    bool showFunction = true;
    const bool showModule = true;
    const bool showLevel = true;
    const bool showFile = true;
    const bool showLineNumber = true;
    const bool colourConsole;
    bool atLineStart = true;
    std::string path;
    long long sizeLimit = 0;
    long long byteCount = 0;
    std::FILE* file = nullptr;
};

}  // namespace

int logPrint(int level, const char* module, const char* file, const char* function, int line,
             const char* version, const char* format, ...) {
    const int clampedLevel = level >= 0 && level <= kLogDebug ? level : kLogNone;
    const Prefix prefix{
        kLevels[clampedLevel].ansiColour, module,   version, kLevels[clampedLevel].name,
        file != nullptr ? file : "",      function, line};
    va_list args;
    va_start(args, format);
    const int length = Logger::instance().write(level, prefix, true, format, args);
    va_end(args);
    return length;
}

int logInfo(const char* format, ...) {
    const Prefix prefix{kGreen, "", "", kInfoCallStyleName, nullptr, "", 0};
    va_list args;
    va_start(args, format);
    const int length = Logger::instance().write(kLogInfo, prefix, false, format, args);
    va_end(args);
    return length;
}

int logFilter(int argc, const char* const argv[]) {
    return Logger::instance().filter(argc, argv);
}

}  // namespace Velmora::Infra
