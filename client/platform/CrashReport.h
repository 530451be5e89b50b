// Crash reports. When the program dies on a fatal signal (SIGSEGV, SIGBUS, SIGILL, SIGFPE,
// SIGABRT) a text file "crash-YYYYMMDD-HHMMSS.txt" (local time) in the log folder records the
// signal, the faulting address or the sender, the version, the thread and a backtrace of the
// crashing thread; then the signal takes its default course (core dump, exit status 128 + signal).
// The next start names the reports it has not named before.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

class CrashReport {
public:
    // Prepares all the handler needs and installs it: creates `folder` if missing and keeps its
    // absolute path, `version` and local time's UTC offset now (a report after a daylight-saving
    // change is named by the old offset; its text gives UTC), and gives the calling thread an
    // alternate stack so that its stack overflow is reported too. Other threads have none: a
    // stack overflow there dies without a report. Once per process, on the GUI thread. A
    // sanitizer build installs nothing: the sanitizer's own report says more.
    static void install(const QString& folder, const QString& version);

    // The report files in `folder` that no earlier call returned, by name; remembers them in
    // the folder's "crash-reports-announced". GUI thread.
    static QStringList takeNewReports(const QString& folder);

    // For tests only: crashes right here, by "segv", "abort" or "fpe"; any other `kind` does
    // nothing. Not inlined, and cold as a whole (never split into a nameless part), so that
    // the report's backtrace names it.
    [[gnu::noinline, gnu::cold]] static void CrashOnPurpose(const QByteArray& kind);
};
