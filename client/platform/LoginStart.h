// Starting Calorview when the user logs in: the desktop's autostart entry
// $XDG_CONFIG_HOME/autostart/calorview.desktop (the XDG autostart rule every desktop follows).
// Whether it is on is whether that file exists; turning it on writes it, turning it off removes
// it. The installed form's entry runs "calorview" from the path; the portable folder's runs the
// program by its absolute path with its folder as the working folder, as the launcher does.
//
// GUI thread (the settings page).
#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>

#include "platform/AppFolders.h"

class LoginStart {
public:
    LoginStart(const AppFolders& folders, const QProcessEnvironment& environment);

    QString entryPath() const { return m_EntryPath; }
    bool enabled() const;
    // Writes or removes the entry; false with `error` in words when that failed.
    bool Set(bool on, QString* error) const;
    // The entry's text.
    QByteArray Entry() const;

private:
    AppFolders m_Folders;
    QString m_EntryPath;
};
