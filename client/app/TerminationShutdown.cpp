#include "app/TerminationShutdown.h"

#include <QApplication>
#include <QDialog>
#include <QWidget>

#include "app/MainWindow.h"

TerminationShutdown::TerminationShutdown(MainWindow* window, QObject* parent)
    : QObject(parent), m_window(window) {
    connect(&m_signals, &TerminationSignals::terminationRequested, this,
            &TerminationShutdown::Terminate);
}

void TerminationShutdown::Terminate() {
    if (m_window != nullptr) {
        m_window->StopFrameDelivery();
    }
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (!window->isVisible()) {
            continue;
        }
        if (auto* dialog = qobject_cast<QDialog*>(window)) {
            dialog->reject();
        } else {
            window->close();
        }
    }
    // Every running loop ends, the nested ones of dialogs too; a dialog opened after this
    // returns at once.
    QCoreApplication::exit(0);
}
