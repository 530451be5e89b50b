// Calorview's entry: one instance per user, settings beside the program, style sheet and optional
// Chinese translation from the working directory, then the main window until it closes.
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QTranslator>
#include <cstdio>
#include <memory>

#include "app/MainWindow.h"
#include "platform/SingleInstance.h"
#include "platform/TerminationSignals.h"
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

int main(int argc, char** argv) {
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

    TerminationSignals termination;
    QObject::connect(&termination, &TerminationSignals::terminationRequested, window.get(),
                     &QWidget::close);

    const int result = QApplication::exec();
    window.reset();
    translator.reset();
    styleSheet.reset();
    app.reset();
    return result;
}
