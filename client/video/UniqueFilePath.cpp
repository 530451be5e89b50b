#include "video/UniqueFilePath.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <cerrno>

namespace {

// `path` with "_n" before its extension (the part from the last "." of the file name).
std::string NumberedPath(const std::string& path, int n) {
    const size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        dot = path.size();
    }
    return path.substr(0, dot) + "_" + std::to_string(n) + path.substr(dot);
}

// Moves `from` to `to` unless something is there; errno EEXIST when it is.
bool RenameWithoutReplacing(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL) {
        return false;
    }
    // No RENAME_NOREPLACE here (some network file systems): a link never replaces either.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    ::unlink(from.c_str());
    return true;
}

}  // namespace

QString UniqueFilePath(const QString& path) {
    const std::string local = QFile::encodeName(path).toStdString();
    std::string candidate = local;
    for (int n = 1; QFileInfo::exists(QFile::decodeName(candidate.c_str())); ++n) {
        candidate = NumberedPath(local, n);
    }
    return QFile::decodeName(candidate.c_str());
}

std::string RenameToFreeName(const std::string& from, const std::string& path) {
    std::string candidate = path;
    for (int n = 1; !RenameWithoutReplacing(from, candidate); ++n) {
        if (errno != EEXIST) {
            return {};
        }
        candidate = NumberedPath(path, n);
    }
    return candidate;
}
