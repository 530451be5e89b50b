#include "app/CalorviewMain.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QTranslator>
#include <cstdio>
#include <memory>

#include "app/MainWindow.h"
#include "app/TerminationShutdown.h"
#include "platform/SingleInstance.h"
#include "settings/SettingStore.h"

namespace {

int refuseSecondInstance(int argc, char** argv) {
    // The application object exists only to show the message.
    QApplication app(argc, argv);
    QMessageBox box(QMessageBox::NoIcon, "Attention", "Application is already running",
                    QMessageBox::Ok);
    box.exec();
    return 0;
}

}  // namespace

int CalorviewMain(int argc, char** argv) {
    QString detail;
    switch (SingleInstance::acquire(&detail)) {
        case SingleInstance::Result::kAcquired:
            break;
        case SingleInstance::Result::kAlreadyRunning:
            return refuseSecondInstance(argc, argv);
        case SingleInstance::Result::kUnavailable:
            std::fprintf(stderr,
                         "Calorview: no single-instance lock (%s); running without the guard\n",
                         qPrintable(detail));
            break;
    }

    auto app = std::make_unique<QApplication>(argc, argv);
    SettingStore::instance().setPath(QCoreApplication::applicationDirPath() + "/kvs.ini");

    auto styleSheet = std::make_unique<QFile>("./Skin/kvs.qss");
    if (styleSheet->open(QIODevice::ReadOnly)) {
        app->setStyleSheet(QString::fromLocal8Bit(styleSheet->readAll()));
    }

    auto translator = std::make_unique<QTranslator>();
    if (SettingStore::instance().chineseLang() &&
        translator->load("./Lang/kvs_zh.qm", QString(), QString(), QString())) {
        QApplication::installTranslator(translator.get());
    }

    auto window = std::make_unique<MainWindow>();
    window->resize(1280, 720);
    window->show();

    auto shutdown = std::make_unique<TerminationShutdown>(window.get());
    const int result = QApplication::exec();
    // The camera is closed already (the window stops frame delivery when it closes); tearing
    // the window down finishes the files still being written. The signal handlers stay until
    // then, so a second SIGTERM cannot cut a file short.
    window.reset();
    shutdown.reset();
    translator.reset();
    styleSheet.reset();
    app.reset();
    return result;
}
