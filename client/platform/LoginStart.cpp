#include "platform/LoginStart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace {

// A desktop entry's string value: the backslash and line ends escaped.
QString EntryString(QString text) {
    return text.replace('\\', "\\\\").replace('\n', "\\n").replace('\r', "\\r");
}

// One quoted argument of Exec: inside the quotes ", `, $ and \ are escaped, % is doubled (a
// field code otherwise), and then the value is escaped like any string.
QString ExecArgument(QString argument) {
    argument.replace('\\', "\\\\").replace('"', "\\\"").replace('`', "\\`").replace('$', "\\$");
    argument.replace('%', "%%");
    return EntryString('"' + argument + '"');
}

}  // namespace

LoginStart::LoginStart(const AppFolders& folders, const QProcessEnvironment& environment)
    : m_Folders(folders),
      m_EntryPath(AppFolders::XdgBase(environment, "XDG_CONFIG_HOME", ".config") +
                  "/autostart/calorview.desktop") {}

bool LoginStart::enabled() const {
    return QFileInfo::exists(m_EntryPath);
}

QByteArray LoginStart::Entry() const {
    QString entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Calorview\n"
        "Comment=Live picture, alarms and recordings of a USB thermal camera\n"
        "Icon=calorview\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n";
    if (m_Folders.installed) {
        entry += "Exec=calorview\n";
    } else {
        const QString appDir = QDir(m_Folders.appDir).absolutePath();
        entry += "Exec=" + ExecArgument(appDir + "/calorview") + '\n';
        entry += "Path=" + EntryString(appDir) + '\n';
    }
    return entry.toUtf8();
}

bool LoginStart::Set(bool on, QString* error) const {
    if (!on) {
        QFile file(m_EntryPath);
        if (file.exists() && !file.remove()) {
            *error = QString("%1 cannot be removed (%2)").arg(m_EntryPath, file.errorString());
            return false;
        }
        return true;
    }
    const QString folder = QFileInfo(m_EntryPath).path();
    if (!QDir().mkpath(folder)) {
        *error = QString("%1 cannot be made").arg(folder);
        return false;
    }
    QSaveFile file(m_EntryPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(Entry()) < 0 || !file.commit()) {
        *error = QString("%1 cannot be written (%2)").arg(m_EntryPath, file.errorString());
        return false;
    }
    return true;
}
