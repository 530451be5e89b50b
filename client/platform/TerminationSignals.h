// Turns SIGTERM and SIGINT into a Qt signal on the GUI thread, so that the main window closes
// normally (a running recording is finished, the camera is closed) instead of the process dying.
#pragma once

#include <QObject>

class QSocketNotifier;

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // Installs the handlers; one object per process, on the GUI thread.
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void terminationRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier* m_notifier = nullptr;
};
