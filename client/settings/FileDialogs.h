// The file and folder pickers of the settings and History pages, replaceable so that tests can
// answer them. GUI thread only. An empty answer means the user cancelled.
#pragma once

#include <QString>

class FileDialogs {
public:
    virtual ~FileDialogs() = default;

    // A folder, starting at `startDir`; only folders are shown.
    virtual QString existingDirectory(const QString& startDir) = 0;
    // An existing file, starting at `startPath`, offering `filter` (for example "wave file
    // (*.wav)").
    virtual QString openFileName(const QString& startPath, const QString& filter) = 0;
    // A file name to write, starting at `startPath`; the dialog asks before an existing file is
    // replaced.
    virtual QString saveFileName(const QString& startPath, const QString& filter) = 0;
};
