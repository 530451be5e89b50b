#include "platform/AppFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>

namespace {

AppFolders g_current;  // written once at start, before other threads exist

// Makes `path` and its parents (0700 for what is made: the user's data).
bool MakeFolder(const QString& path, QString* error) {
    const QFileInfo info(path);
    if (info.isDir()) {
        return true;
    }
    if (info.exists() || info.isSymLink()) {
        *error = QString("%1 is not a folder").arg(path);
        return false;
    }
    if (!QDir().mkpath(path)) {
        *error = QString("%1 cannot be made").arg(path);
        return false;
    }
    QFile::setPermissions(path,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return true;
}

}  // namespace

QString AppFolders::XdgBase(const QProcessEnvironment& environment, const char* variable,
                            const QString& fallback) {
    const QString value = environment.value(QString::fromLatin1(variable));
    if (!value.isEmpty() && QDir::isAbsolutePath(value)) {
        return QDir::cleanPath(value);
    }
    QString home = environment.value(QStringLiteral("HOME"));
    if (home.isEmpty()) {
        const passwd* user = ::getpwuid(::getuid());
        home = user != nullptr ? QString::fromLocal8Bit(user->pw_dir) : QDir::rootPath();
    }
    return QDir::cleanPath(home + '/' + fallback);
}

AppFolders AppFolders::Decide(const QString& appDir, const QProcessEnvironment& environment) {
    AppFolders folders;
    folders.appDir = appDir;
    folders.installed = QFileInfo(appDir + '/' + kMarker).isFile();
    if (!folders.installed) {
        folders.settingsFile = appDir + "/kvs.ini";
        folders.stateDir = appDir;
        return folders;
    }
    folders.settingsFile =
        XdgBase(environment, "XDG_CONFIG_HOME", ".config") + "/calorview/kvs.ini";
    folders.stateDir = XdgBase(environment, "XDG_STATE_HOME", ".local/state") + "/calorview";
    folders.dataDir = XdgBase(environment, "XDG_DATA_HOME", ".local/share") + "/calorview";
    return folders;
}

bool AppFolders::Prepare(QString* error) const {
    if (!installed) {
        return true;
    }
    bool ok = true;
    QString failed;
    const auto make = [&](const QString& path) {
        QString why;
        if (!MakeFolder(path, &why)) {
            failed += (failed.isEmpty() ? "" : "; ") + why;
            ok = false;
        }
    };
    make(QFileInfo(settingsFile).path());
    make(stateDir);
    make(dataDir);
    if (QFileInfo(dataDir).isDir()) {
        for (const char* folder : kStorageFolders) {
            make(dataDir + '/' + folder);
        }
        if (!QDir::setCurrent(dataDir)) {
            failed += (failed.isEmpty() ? "" : "; ") + QString("%1 cannot be entered").arg(dataDir);
            ok = false;
        }
    }
    *error = failed;
    return ok;
}

QString AppFolders::Resource(const QString& relative) const {
    if (!installed) {
        return relative;
    }
    return QDir::cleanPath(appDir + '/' + relative);
}

QString AppFolders::StyleSheet(const QString& text) const {
    if (!installed) {
        return text;
    }
    QString resolved = text;
    return resolved.replace("url(./Skin/", "url(" + appDir + "/Skin/");
}

const AppFolders& AppFolders::Current() {
    return g_current;
}

void AppFolders::Install(const AppFolders& folders) {
    g_current = folders;
}
