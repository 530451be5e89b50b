#include "platform/ShellOpen.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QProcess>
#include <QUrl>

ShellOpen::ShellOpen()
    : ShellOpen(
          &QDesktopServices::openUrl,
          [](const QString& mimeType) { return HasDefaultApplication(mimeType); },
          [](const QString& caption, const QString& text) {
              QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok);
              box.exec();
          }) {}

ShellOpen::ShellOpen(UrlOpener opener, HandlerCheck handlerCheck, MessagePresenter presenter)
    : m_Opener(std::move(opener)),
      m_HandlerCheck(std::move(handlerCheck)),
      m_Presenter(std::move(presenter)) {}

// Help is an entry of the main window's about menu: its texts keep the "MainWindow" context.
QString ShellOpen::ManualPath(const QString& appDir) {
    const QString dir = appDir.isEmpty() ? QCoreApplication::applicationDirPath() : appDir;
    return dir + "/" + QCoreApplication::translate("MainWindow", "Operation Manual.pdf");
}

bool ShellOpen::HasDefaultApplication(const QString& mimeType, const QString& xdgMime,
                                      int timeoutMs) {
    QProcess query;
    query.start(xdgMime, {"query", "default", mimeType});
    if (!query.waitForFinished(timeoutMs)) {
        query.kill();
        query.waitForFinished();
        return true;
    }
    // The answer is the default's desktop file ("org.gnome.Evince.desktop"). Without one
    // xdg-mime prints nothing and exits 0 (generic desktops) or 4, "operation failed" (KDE,
    // LXQt); any other ending says nothing about the viewer.
    if (!query.readAllStandardOutput().trimmed().isEmpty()) {
        return true;
    }
    const bool answered = query.exitStatus() == QProcess::NormalExit &&
                          (query.exitCode() == 0 || query.exitCode() == 4);
    return !answered;
}

bool ShellOpen::OpenManual(const QString& appDir) const {
    return OpenFile(ManualPath(appDir),
                    QCoreApplication::translate("MainWindow", "Manual not found"));
}

bool ShellOpen::OpenFile(const QString& path, const QString& missing) const {
    const QString mimeType =
        QMimeDatabase().mimeTypeForFile(path, QMimeDatabase::MatchExtension).name();
    QString problem;
    if (!QFileInfo(path).isFile()) {
        problem = missing;
    } else if (!m_HandlerCheck(mimeType) || !m_Opener(QUrl::fromLocalFile(path))) {
        problem =
            QCoreApplication::translate("MainWindow", "No application found to open this file.");
    } else {
        return true;
    }
    m_Presenter(QCoreApplication::translate("MainWindow", "Attention"), problem);
    return false;
}
