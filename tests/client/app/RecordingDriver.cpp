// The client as a user runs it: builds the main window offscreen and waits for the camera. By
// default it then presses Record and says so on stdout, and either presses it again after
// --stop-after MS and closes the window, or records until SIGTERM (the program ends as it does
// then) or SIGKILL. With --no-record it only says "frames arriving" and leaves the window to what
// the camera sends (alarms), closing it after --stop-after MS or on SIGTERM. With --watch it
// also says each change of the camera list ("cameras N") and of the picture's state ("picture
// live", "picture: <the note on it>") for the life of the run. Settings come from
// ./kvs.ini, files go where they say. Free space always reads 1 TiB, so no run depends on the
// machine's disk.
#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "alarm/AlarmWindow.h"
#include "app/MainWindow.h"
#include "app/TerminationShutdown.h"
#include "settings/SettingStore.h"
#include "support/FakeDiskSpace.h"
#include "video/StreamWatch.h"
#include "video/VideoWindow.h"

int main(int argc, char** argv) {
    int stopAfterMs = -1;
    bool pressRecord = true;
    bool watch = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--stop-after") == 0 && i + 1 < argc) {
            stopAfterMs = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--no-record") == 0) {
            pressRecord = false;
        } else if (std::strcmp(argv[i], "--watch") == 0) {
            watch = true;
        }
    }
    CalorviewTest::FakeDiskSpace diskSpace;  // outlives the window and its writers
    QApplication app(argc, argv);
    SettingStore::instance().setPath(QDir::currentPath() + "/kvs.ini");
    MainWindow window;
    window.resize(1280, 720);
    window.show();
    TerminationShutdown shutdown(&window);

    auto* record = window.findChild<QPushButton*>("RecordButton");
    auto* video = window.findChild<VideoWindow*>("VideoWindow");
    if (record == nullptr || video == nullptr) {
        std::fprintf(stderr, "no record button\n");
        return 1;
    }
    QTimer cameras;
    if (watch) {
        QObject::connect(window.streamWatch(), &StreamWatch::stateChanged, [&] {
            const QString note = window.streamWatch()->Text();
            std::printf("picture%s\n", note.isEmpty() ? " live" : qPrintable(": " + note));
            std::fflush(stdout);
        });
        QObject::connect(&cameras, &QTimer::timeout, [&, count = -1]() mutable {
            if (window.deviceCount() != count) {
                count = window.deviceCount();
                std::printf("cameras %d\n", count);
                std::fflush(stdout);
            }
        });
        cameras.start(20);
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!video->IsStillRecvYUV()) {
            return;  // no frames yet
        }
        poll.stop();
        if (pressRecord) {
            record->click();
            std::printf("recording %s\n", video->IsRecording() ? "started" : "refused");
        } else {
            std::printf("frames arriving\n");
        }
        std::fflush(stdout);
        if (stopAfterMs >= 0) {
            // Precise: a coarse timer may fire 5 % early or late.
            QTimer::singleShot(stopAfterMs, Qt::PreciseTimer, &window, [&] {
                if (pressRecord) {
                    record->click();
                }
                window.close();
            });
        }
    });
    poll.start(20);
    return QApplication::exec();
}
