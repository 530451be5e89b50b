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

// A per-user folder under /tmp that nobody else can have prepared for us.
bool privateTmpFolder(QByteArray* folder, QString* detail) {
    *folder = QByteArray("/tmp/calorview-") + QByteArray::number(getuid());
    if (mkdir(folder->constData(), 0700) != 0 && errno != EEXIST) {
        *detail = QString::fromLocal8Bit(std::strerror(errno));
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

SingleInstance::Result SingleInstance::acquire(QString* detail, const QString& runtimeDir) {
    QString ignored;
    QString& reason = detail != nullptr ? *detail : ignored;
    QByteArray folder = runtimeDir.toLocal8Bit();
    if (folder.isEmpty()) {
        folder = qgetenv("XDG_RUNTIME_DIR");
    }
    if (folder.isEmpty() && !privateTmpFolder(&folder, &reason)) {
        return Result::kUnavailable;
    }
    const QByteArray path = folder + "/" + kLockName;
    // Deliberately never closed: the lock lives exactly as long as the process.
    const int fd = open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        reason = QString::fromLocal8Bit(path) + ": " + QString::fromLocal8Bit(std::strerror(errno));
        return Result::kUnavailable;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(fd);
        if (error == EWOULDBLOCK) {
            return Result::kAlreadyRunning;
        }
        reason = QString::fromLocal8Bit(path) + ": " + QString::fromLocal8Bit(std::strerror(error));
        return Result::kUnavailable;
    }
    reason = QString::fromLocal8Bit(path);
    return Result::kAcquired;
}
