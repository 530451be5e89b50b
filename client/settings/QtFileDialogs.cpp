#include "settings/QtFileDialogs.h"

#include <QFileDialog>

QString QtFileDialogs::existingDirectory(const QString& startDir) {
    return QFileDialog::getExistingDirectory(nullptr, QString(), startDir,
                                             QFileDialog::ShowDirsOnly);
}

QString QtFileDialogs::openFileName(const QString& startPath, const QString& filter) {
    return QFileDialog::getOpenFileName(nullptr, QString(), startPath, filter);
}

QString QtFileDialogs::saveFileName(const QString& startPath, const QString& filter) {
    return QFileDialog::getSaveFileName(nullptr, QString(), startPath, filter);
}
