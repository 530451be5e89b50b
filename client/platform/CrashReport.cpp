#include "platform/CrashReport.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSet>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizerBuild = true;
#else
constexpr bool kSanitizerBuild = false;
#endif

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kMaxFrames = 64;
constexpr int kMaxNameSuffix = 100;
constexpr char kAnnouncedList[] = "crash-reports-announced";

// Prepared by install(): the handler may not allocate, read files or ask for the time zone.
char g_folder[PATH_MAX];
char g_version[128];
long g_utcOffsetSeconds = 0;
// The GUI thread's alternate stack: after a stack overflow the handler has no room on the
// thread's own stack.
alignas(16) char g_alternateStack[64 * 1024];

// Text built on the handler's stack; what does not fit is cut.
struct Text {
    char data[PATH_MAX + 256];
    size_t size = 0;

    Text& add(const char* text) {
        while (*text != '\0' && size + 1 < sizeof data) {
            data[size++] = *text++;
        }
        return *this;
    }
    Text& number(uint64_t value, unsigned base = 10, int minDigits = 1) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value % base];
            value /= base;
        } while (value != 0 || count < minDigits);
        while (count > 0 && size + 1 < sizeof data) {
            data[size++] = digits[--count];
        }
        return *this;
    }
    const char* c_str() {
        data[size] = '\0';
        return data;
    }
    void writeTo(int fd) const {
        for (size_t done = 0; done < size;) {
            const ssize_t written = write(fd, data + done, size - done);
            if (written <= 0) {
                return;
            }
            done += static_cast<size_t>(written);
        }
    }
};

const char* SignalName(int number) {
    switch (number) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGILL:
            return "SIGILL";
        case SIGFPE:
            return "SIGFPE";
        case SIGABRT:
            return "SIGABRT";
        default:
            return "signal";
    }
}

// "YYYYMMDD-HHMMSS" or, with separators, "YYYY-MM-DD HH:MM:SS". Calendar arithmetic only.
void AddTime(Text& text, int64_t secondsSinceEpoch, bool separated) {
    using namespace std::chrono;
    const sys_seconds moment{seconds{secondsSinceEpoch}};
    const sys_days day = floor<days>(moment);
    const year_month_day date{day};
    const hh_mm_ss time{moment - day};
    text.number(static_cast<uint64_t>(static_cast<int>(date.year())), 10, 4)
        .add(separated ? "-" : "")
        .number(static_cast<unsigned>(date.month()), 10, 2)
        .add(separated ? "-" : "")
        .number(static_cast<unsigned>(date.day()), 10, 2)
        .add(separated ? " " : "-")
        .number(static_cast<uint64_t>(time.hours().count()), 10, 2)
        .add(separated ? ":" : "")
        .number(static_cast<uint64_t>(time.minutes().count()), 10, 2)
        .add(separated ? ":" : "")
        .number(static_cast<uint64_t>(time.seconds().count()), 10, 2);
}

// A new report file: "crash-<local time>.txt", or with "-1", "-2", ... when the name is taken.
// -1 when none can be made; *path holds the last name tried.
int CreateReport(int64_t utcSeconds, Text* path) {
    if (g_folder[0] == '\0') {
        return -1;
    }
    for (int suffix = 0; suffix < kMaxNameSuffix; ++suffix) {
        *path = Text{};
        path->add(g_folder).add("/crash-");
        AddTime(*path, utcSeconds + g_utcOffsetSeconds, false);
        if (suffix > 0) {
            path->add("-").number(static_cast<uint64_t>(suffix));
        }
        path->add(".txt");
        const int fd = open(path->c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

// Runs on the crashing thread, on its alternate stack where it has one, with every signal
// blocked. Async-signal-safe calls only: clock_gettime, open, write, close, prctl, getpid,
// gettid, backtrace (its library was loaded by install()), backtrace_symbols_fd and raise.
// Everything else was prepared by install(); all text is built on this stack.
void OnFatalSignal(int number, siginfo_t* info, void* /*context*/) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    Text path;
    const int fd = CreateReport(now.tv_sec, &path);
    const int out = fd >= 0 ? fd : STDERR_FILENO;

    Text note;
    note.add("Calorview: fatal ").add(SignalName(number));
    if (fd >= 0) {
        note.add("; crash report ").add(path.c_str()).add("\n");
    } else {
        note.add("; no crash report could be made (").add(path.c_str()).add("), so here it is:\n");
    }
    note.writeTo(STDERR_FILENO);

    char threadName[17] = {};
    prctl(PR_GET_NAME, threadName);
    Text report;
    report.add("Calorview crash report\nSignal: ")
        .number(static_cast<uint64_t>(number))
        .add(" (")
        .add(SignalName(number))
        .add("), code ")
        .add(info->si_code < 0 ? "-" : "")
        .number(static_cast<uint64_t>(info->si_code < 0 ? -info->si_code : info->si_code))
        .add("\n");
    if (info->si_code > 0) {  // raised by the kernel for a fault
        report.add("Address: 0x").number(reinterpret_cast<uintptr_t>(info->si_addr), 16).add("\n");
    } else if (info->si_pid == getpid()) {
        report.add("Address: none; raised by the program itself\n");
    } else {
        report.add("Address: none; sent by process ")
            .number(static_cast<uint64_t>(info->si_pid))
            .add(" of user ")
            .number(info->si_uid)
            .add("\n");
    }
    report.add("Version: ")
        .add(g_version)
        .add("\nThread: ")
        .add(threadName)
        .add(" (thread ")
        .number(static_cast<uint64_t>(gettid()))
        .add(" of process ")
        .number(static_cast<uint64_t>(getpid()))
        .add(")\nTime: ");
    AddTime(report, now.tv_sec, true);
    report.add(" UTC\nBacktrace of the crashing thread:\n");
    report.writeTo(out);

    void* frames[kMaxFrames];
    backtrace_symbols_fd(frames, backtrace(frames, kMaxFrames), out);
    if (fd >= 0) {
        close(fd);
    }
    // Pending until the handler returns and unblocks it; the handler is reset by then, so the
    // default action follows (core dump, status 128 + signal), for a fault before its
    // instruction runs again.
    raise(number);
}

}  // namespace

void CrashReport::install(const QString& folder, const QString& version) {
    if (kSanitizerBuild) {
        return;
    }
    QDir().mkpath(folder);
    const QByteArray path = QFile::encodeName(QDir(folder).absolutePath());
    if (path.size() < static_cast<qsizetype>(sizeof g_folder)) {  // else reports go to stderr
        qstrncpy(g_folder, path.constData(), sizeof g_folder);
    }
    qstrncpy(g_version, version.toUtf8().constData(), sizeof g_version);
    const time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    g_utcOffsetSeconds = local.tm_gmtoff;
    // The first backtrace() loads the unwinder library: loading is not safe in a handler.
    void* frame = nullptr;
    backtrace(&frame, 1);

    stack_t stack{};
    stack.ss_sp = g_alternateStack;
    stack.ss_size = sizeof g_alternateStack;
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_sigaction = OnFatalSignal;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    for (const int number : kFatalSignals) {
        sigaction(number, &action, nullptr);
    }
}

QStringList CrashReport::takeNewReports(const QString& folder) {
    const QDir dir(folder);
    const QStringList reports =
        dir.entryList({QStringLiteral("crash-*.txt")}, QDir::Files, QDir::Name);
    QSet<QString> announced;
    QFile list(dir.filePath(kAnnouncedList));
    if (list.open(QIODevice::ReadOnly)) {
        for (const QByteArray& name : list.read(1 << 20).split('\n')) {
            announced.insert(QFile::decodeName(name));
        }
    }
    QStringList fresh;
    for (const QString& report : reports) {
        if (!announced.contains(report)) {
            fresh.append(report);
        }
    }
    if (!fresh.isEmpty()) {
        // Only the reports still there, so the list never outgrows the folder.
        QSaveFile save(dir.filePath(kAnnouncedList));
        if (save.open(QIODevice::WriteOnly)) {
            save.write(QFile::encodeName(reports.join('\n')));
            save.commit();
        }
    }
    return fresh;
}

void CrashReport::CrashOnPurpose(const QByteArray& kind) {
    // Volatile throughout: the compiler may neither drop the store nor compute the quotient
    // without dividing.
    volatile int zero = 0;
    if (kind == "segv") {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    } else if (kind == "abort") {
        std::abort();
    } else if (kind == "fpe") {
        volatile int one = 1;
        zero = one / zero;
    }
}
