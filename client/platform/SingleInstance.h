// One Calorview per user: an exclusive lock on a file named "Calorview" in the user's runtime
// folder. The kernel releases it when the process ends, even after a crash. GUI thread, at
// start-up.
#pragma once

#include <QString>

class SingleInstance {
public:
    enum class Result {
        kAcquired,        // this is the only instance; the lock is held until the process ends
        kAlreadyRunning,  // another process holds the lock
        kUnavailable,     // no lock file could be made; the reason is in *detail
    };

    // The lock lives in `runtimeDir` (empty means $XDG_RUNTIME_DIR). When that is unset or not
    // a writable folder, it lives in the private folder "calorview-<uid>" under `tmpRoot`,
    // created 0700 and refused unless it is a real folder owned by this user alone. On success
    // *detail holds the lock file's path.
    static Result acquire(QString* detail, const QString& runtimeDir = QString(),
                          const QString& tmpRoot = QStringLiteral("/tmp"));
};
