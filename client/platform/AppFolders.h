// Where the program reads its resources and keeps its settings and data. Decided once at start:
// - the portable folder (the tar.gz, `make run`): kvs.ini beside the program, everything else
//   relative to the working folder as the launcher set it (the program's own folder);
// - the installed form (the package's marker file "calorview.installed" lies beside the
//   program; never judged by what is writable, since root can write anywhere): the settings in
//   $XDG_CONFIG_HOME/calorview/kvs.ini, the outbox in $XDG_STATE_HOME/calorview/, and the storage
//   folders and the logs in $XDG_DATA_HOME/calorview/, which becomes the working folder so that
//   relative folder settings resolve there; the resources (Skin/, Lang/, alarm1.wav, the manual)
//   come from the program's folder. An XDG variable unset, empty or relative (the XDG rules ignore
//   it) falls back to ~/.config, ~/.local/state and ~/.local/share.
//
// GUI thread: made at start, before anything reads a path; Current() any thread afterwards (it
// never changes).
#pragma once

#include <QProcessEnvironment>
#include <QString>

class AppFolders {
public:
    static constexpr const char* kMarker = "calorview.installed";
    // The storage folders the installed form makes in its data folder (the settings' defaults).
    static constexpr const char* kStorageFolders[] = {"AlarmImages", "AlarmRecords", "Records",
                                                      "Snapshot", "QZLog"};

    bool installed = false;
    QString appDir;        // the program's folder: the resources
    QString settingsFile;  // kvs.ini
    QString stateDir;      // the outbox's folder
    QString dataDir;       // the installed form's working folder; empty in the portable one

    // The form for a program in `appDir` with these environment variables.
    static AppFolders Decide(const QString& appDir, const QProcessEnvironment& environment);

    // The installed form: makes the settings, state and data folders and the storage folders
    // in the data folder, and enters the data folder. False with `error` in words when one
    // cannot be made or entered (the program goes on without them: the live picture works, what
    // it would write fails with its own message). Nothing to do in the portable form.
    bool Prepare(QString* error) const;

    // A resource named as the program names it relative to the working folder ("./Skin/kvs.qss",
    // "alarm1.wav"): as it is in the portable form, in the program's folder in the installed one.
    QString Resource(const QString& relative) const;
    // The style sheet's text with its "url(./Skin/" references made to find the images.
    QString StyleSheet(const QString& text) const;

    // An XDG base folder: `variable` when it holds an absolute path, else `fallback` (".config")
    // under the home folder.
    static QString XdgBase(const QProcessEnvironment& environment, const char* variable,
                           const QString& fallback);

    // The folders this run uses; Install once at start (the portable form until then).
    static const AppFolders& Current();
    static void Install(const AppFolders& folders);
};
