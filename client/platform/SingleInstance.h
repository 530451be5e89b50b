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

    // `runtimeDir` is the folder for the lock file; empty means $XDG_RUNTIME_DIR, or a private
    // folder under /tmp when that is unset.
    static Result acquire(QString* detail, const QString& runtimeDir = QString());
};
