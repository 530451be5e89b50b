#include "settings/CompileInfo.h"

#include <QCoreApplication>
#include <QSettings>

#include "settings/StoredObjectCheck.h"

namespace {

// Shown when "CompileInfo.ini" or its key is missing.
constexpr char kDefaultVersion[] = "V1.000.0000000.1.T.200717";

}  // namespace

QString CompileVersion(const QString& appDir) {
    const QString dir = appDir.isEmpty() ? QCoreApplication::applicationDirPath() : appDir;
    const QString path = dir + "/CompileInfo.ini";
    if (FileMayHoldStoredObject(path)) {
        return QString::fromLatin1(kDefaultVersion);  // the build writes plain text
    }
    const QSettings info(path, QSettings::IniFormat);
    return info.value("CompileInfo/CompileVersion", QString::fromLatin1(kDefaultVersion))
        .toString();
}
