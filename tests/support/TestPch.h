// Headers most tests parse, precompiled once per build for all tests (tests/CMakeLists.txt).
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Only in the QT tests' copy. Not QtTest: its headers read QT_TESTCASE_SOURCEDIR, set per folder.
#ifdef CALORVIEW_TEST_PCH_QT
#include <QApplication>
#include <QByteArray>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <QWidget>
#endif
