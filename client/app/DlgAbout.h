#pragma once

#include <QDialog>

// The about dialog: one line with the program version from "CompileInfo.ini" in the application
// directory, or the built-in version, and under it where the settings and the data are (the
// portable folder or the installed form's XDG folders). GUI thread only.
class DlgAbout : public QDialog {
    Q_OBJECT

public:
    // Reads the version while it is built; `appDir` empty means the application directory.
    explicit DlgAbout(QWidget* parent = nullptr, const QString& appDir = QString());
};
