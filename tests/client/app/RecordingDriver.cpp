// The client as a user runs it, with one hand on the "Record" button: builds the main window
// offscreen, waits for the camera, presses Record and says so on stdout, then either presses it
// again after --stop-after MS and closes the window, or records until SIGTERM (the window
// closes normally) or SIGKILL. Settings come from ./kvs.ini, files go where they say.
#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "alarm/AlarmWindow.h"
#include "app/MainWindow.h"
#include "platform/TerminationSignals.h"
#include "settings/SettingStore.h"
#include "video/VideoWindow.h"

int main(int argc, char** argv) {
    int stopAfterMs = -1;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--stop-after") == 0) {
            stopAfterMs = std::atoi(argv[i + 1]);
        }
    }
    QApplication app(argc, argv);
    SettingStore::instance().setPath(QDir::currentPath() + "/kvs.ini");
    MainWindow window;
    window.resize(1280, 720);
    window.show();
    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, &window,
                     &QWidget::close);

    auto* record = window.findChild<QPushButton*>("RecordButton");
    auto* video = window.findChild<VideoWindow*>("VideoWindow");
    if (record == nullptr || video == nullptr) {
        std::fprintf(stderr, "no record button\n");
        return 1;
    }
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!video->IsStillRecvYUV()) {
            return;  // no frames yet
        }
        poll.stop();
        record->click();
        std::printf("recording %s\n", video->IsRecording() ? "started" : "refused");
        std::fflush(stdout);
        if (stopAfterMs >= 0) {
            // Precise: a coarse timer may fire 5 % early or late.
            QTimer::singleShot(stopAfterMs, Qt::PreciseTimer, &window, [&] {
                record->click();
                window.close();
            });
        }
    });
    poll.start(20);
    return QApplication::exec();
}
