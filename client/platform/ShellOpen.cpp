#include "platform/ShellOpen.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

ShellOpen::ShellOpen()
    : ShellOpen(&QDesktopServices::openUrl, [](const QString& caption, const QString& text) {
          QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok);
          box.exec();
      }) {}

ShellOpen::ShellOpen(UrlOpener opener, MessagePresenter presenter)
    : m_Opener(std::move(opener)), m_Presenter(std::move(presenter)) {}

// Help is an entry of the main window's about menu: its texts keep the "MainWindow" context.
QString ShellOpen::ManualPath(const QString& appDir) {
    const QString dir = appDir.isEmpty() ? QCoreApplication::applicationDirPath() : appDir;
    return dir + "/" + QCoreApplication::translate("MainWindow", "Operation Manual.pdf");
}

bool ShellOpen::OpenManual(const QString& appDir) const {
    const QString path = ManualPath(appDir);
    QString problem;
    if (!QFileInfo(path).isFile()) {
        problem = QCoreApplication::translate("MainWindow", "Manual not found");
    } else if (!m_Opener(QUrl::fromLocalFile(path))) {
        problem =
            QCoreApplication::translate("MainWindow", "No application found to open this file.");
    } else {
        return true;
    }
    m_Presenter(QCoreApplication::translate("MainWindow", "Attention"), problem);
    return false;
}
