#include "video/UniqueFilePath.h"

#include <QFileInfo>

QString UniqueFilePath(const QString& path) {
    if (!QFileInfo::exists(path)) {
        return path;
    }
    const int slash = path.lastIndexOf('/');
    int dot = path.lastIndexOf('.');
    if (dot <= slash) {
        dot = path.size();
    }
    const QString stem = path.left(dot);
    const QString extension = path.mid(dot);
    for (int n = 1;; ++n) {
        const QString candidate = stem + "_" + QString::number(n) + extension;
        if (!QFileInfo::exists(candidate)) {
            return candidate;
        }
    }
}
