// Answers every file picker with `answer` and records where it was asked to start.
#pragma once

#include <QStringList>

#include "settings/FileDialogs.h"

namespace CalorviewTest {

class FakeDialogs : public FileDialogs {
public:
    QString existingDirectory(const QString& startDir) override {
        starts.append(startDir);
        return answer;
    }
    QString openFileName(const QString& startPath, const QString& filter) override {
        starts.append(startPath);
        filters.append(filter);
        return answer;
    }
    QString saveFileName(const QString& startPath, const QString& filter) override {
        return openFileName(startPath, filter);
    }

    QString answer;
    QStringList starts;
    QStringList filters;
};

}  // namespace CalorviewTest
