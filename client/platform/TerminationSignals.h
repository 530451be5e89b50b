// Turns SIGTERM and SIGINT into a Qt signal on the GUI thread, so that the main window closes
// normally (a running recording is finished, the camera is closed) instead of the process dying.
#pragma once

#include <QObject>

class QSocketNotifier;

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // Holds SIGTERM and SIGINT back from the calling thread and the threads it starts from now
    // on, until a TerminationSignals exists: a signal that comes while the program starts then
    // waits for the handler instead of killing the process. Call first thing in main.
    static void HoldUntilHandled();
    // Lets them through again with their default action (a run that ends without a window).
    static void StopHolding();
    // Installs the handlers and lets a held signal through, to this thread only; one object per
    // process, on the GUI thread (the thread that called HoldUntilHandled).
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

signals:
    void terminationRequested(int signalNumber);

private:
    void readSignal();

    QSocketNotifier* m_notifier = nullptr;
};
