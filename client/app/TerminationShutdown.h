// Ends the run on SIGTERM or SIGINT (logging out, a service stop) whatever is open: frame
// delivery stops first, so the capture thread touches nothing of Qt's while the pages are torn
// down; then every window closes, modal ones included, whose nested loops would otherwise keep
// the process alive, and the event loops end. The files being finished are completed by the
// teardown that follows the event loop, as after a clean stop.
//
// GUI thread only.
#pragma once

#include <QObject>
#include <QPointer>

#include "platform/TerminationSignals.h"

class MainWindow;

class TerminationShutdown : public QObject {
    Q_OBJECT
public:
    // Installs the signal handlers; one object per process. `window` is not owned.
    explicit TerminationShutdown(MainWindow* window, QObject* parent = nullptr);

    // What a termination signal does; also callable directly.
    void Terminate();

private:
    TerminationSignals m_signals;
    QPointer<MainWindow> m_window;
};
