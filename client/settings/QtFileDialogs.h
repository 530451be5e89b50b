// The pages' pickers as the user sees them: QFileDialog, with no parent and no caption.
// GUI thread only.
#pragma once

#include "settings/FileDialogs.h"

class QtFileDialogs : public FileDialogs {
public:
    QString existingDirectory(const QString& startDir) override;
    QString openFileName(const QString& startPath, const QString& filter) override;
    QString saveFileName(const QString& startPath, const QString& filter) override;
};
