#include "platform/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <cerrno>
#include <cstring>

namespace {

constexpr const char* kLockName = "Calorview";

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Empty when `folder` is a directory we may create files in, otherwise why not.
QString unusableFolder(const QByteArray& folder) {
    if (folder.isEmpty()) {
        return QStringLiteral("XDG_RUNTIME_DIR unset");
    }
    const QString name = QString::fromLocal8Bit(folder) + ": ";
    struct stat info {};
    if (stat(folder.constData(), &info) != 0) {
        return name + systemError(errno);
    }
    if (!S_ISDIR(info.st_mode)) {
        return name + "not a folder";
    }
    if (access(folder.constData(), W_OK | X_OK) != 0) {
        return name + systemError(errno);
    }
    return QString();
}

// A per-user folder under `root` that nobody else can have prepared for us.
bool privateTmpFolder(const QByteArray& root, QByteArray* folder, QString* detail) {
    *folder = root + "/calorview-" + QByteArray::number(getuid());
    if (mkdir(folder->constData(), 0700) != 0 && errno != EEXIST) {
        *detail = QString::fromLocal8Bit(*folder) + ": " + systemError(errno);
        return false;
    }
    struct stat info {};
    if (lstat(folder->constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != getuid() || (info.st_mode & 0077) != 0) {
        *detail = QString::fromLocal8Bit(*folder) + " is not a private folder of this user";
        return false;
    }
    return true;
}

}  // namespace

SingleInstance::Result SingleInstance::acquire(QString* detail, const QString& runtimeDir,
                                               const QString& tmpRoot) {
    QString ignored;
    QString& reason = detail != nullptr ? *detail : ignored;
    QByteArray folder = runtimeDir.toLocal8Bit();
    if (folder.isEmpty()) {
        folder = qgetenv("XDG_RUNTIME_DIR");
    }
    // A runtime folder that is gone or read-only must not cost us the guard.
    const QString problem = unusableFolder(folder);
    if (!problem.isEmpty() && !privateTmpFolder(tmpRoot.toLocal8Bit(), &folder, &reason)) {
        reason = problem + "; " + reason;
        return Result::kUnavailable;
    }
    const QByteArray path = folder + "/" + kLockName;
    // Deliberately never closed: the lock lives exactly as long as the process.
    const int fd = open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason = QString::fromLocal8Bit(path) + ": " + systemError(errno);
        return Result::kUnavailable;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) {
            return Result::kAlreadyRunning;
        }
        reason = QString::fromLocal8Bit(path) + ": " + systemError(error);
        return Result::kUnavailable;
    }
    reason = QString::fromLocal8Bit(path);
    return Result::kAcquired;
}
