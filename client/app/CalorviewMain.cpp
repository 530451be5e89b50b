#include "app/CalorviewMain.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QProcessEnvironment>
#include <QTimer>
#include <QTranslator>
#include <cstdio>
#include <memory>

#include "alarm/AlarmWindow.h"
#include "app/MainWindow.h"
#include "app/TerminationShutdown.h"
#include "events/MqttPublisher.h"
#include "events/StationEvents.h"
#include "history/HistoryPage.h"
#include "platform/AppFolders.h"
#include "platform/CrashReport.h"
#include "platform/SingleInstance.h"
#include "platform/TerminationSignals.h"
#include "settings/CompileInfo.h"
#include "settings/SettingStore.h"
#include "settings/SettingWindow.h"
#include "settings/StationEventsGroup.h"
#include "storage/StorageKeeper.h"
#include "ui/NotifyWidget.h"
#include "video/StreamWatch.h"
#include "video/VideoWindow.h"

namespace {

int refuseSecondInstance(int argc, char** argv) {
    // No window of ours to close: a SIGTERM ends the message at once.
    TerminationSignals::StopHolding();
    // The application object exists only to show the message.
    QApplication app(argc, argv);
    QMessageBox box(QMessageBox::NoIcon, "Attention", "Application is already running",
                    QMessageBox::Ok);
    box.exec();
    return 0;
}

// The station events follow the window's camera, pages and settings, and the storage keeper.
void WatchStation(StationEvents* events, MainWindow* window, StorageKeeper* storage) {
    AlarmWindow* page = window->alarmWindow();
    events->Watch(page, storage);
    QObject::connect(window, &MainWindow::cameraConnected, events,
                     &StationEvents::OnCameraConnected);
    QObject::connect(window, &MainWindow::cameraDisconnected, events,
                     &StationEvents::OnCameraDisconnected);
    QObject::connect(window->streamWatch(), &StreamWatch::deliveryChanged, events,
                     &StationEvents::OnCameraDelivery);
    const VideoWindow* video = page->videoWindow();
    events->WatchHealth({
        [video] { return video->LastFrameTick(); },
        [video] { return video->arrivals().frames(); },
        [video] { return video->arrivals().missing(); },
        [video] { return video->IsRecording(); },
        [page] { return page->alarmLogFailing(); },
    });

    StationEventsGroup* group = window->settingWindow()->stationEventsGroup();
    QObject::connect(group, &StationEventsGroup::changed, events, &StationEvents::Reconfigure);
    const auto show = [events, group] {
        StationEventsGroup::State state;
        if (const MqttPublisher* publisher = events->publisher()) {
            state.enabled = true;
            state.connected = publisher->IsConnected();
            state.since = publisher->connectedSince();
            state.error = publisher->lastError();
            state.pending = publisher->outbox().PendingCount();
        }
        group->ShowState(state);
    };
    QObject::connect(events, &StationEvents::stateChanged, group, show);
    show();
}

}  // namespace

int CalorviewMain(int argc, char** argv) {
    // Before any thread exists: a SIGTERM during the start then closes the window like any other.
    TerminationSignals::HoldUntilHandled();
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
    // Before anything reads or writes a path: the installed form enters its data folder.
    AppFolders::Install(AppFolders::Decide(QCoreApplication::applicationDirPath(),
                                           QProcessEnvironment::systemEnvironment()));
    const AppFolders& folders = AppFolders::Current();
    QString folderError;
    if (!folders.Prepare(&folderError)) {
        qWarning("Calorview: %s", qUtf8Printable(folderError));
    }
    // Relative to the working folder, like the library's log.
    const QString logFolder = QStringLiteral("QZLog");
    CrashReport::install(logFolder, CompileVersion());
    for (const QString& report : CrashReport::takeNewReports(logFolder)) {
        qWarning("Calorview: crash report of an earlier run: %s/%s", qPrintable(logFolder),
                 qPrintable(report));
    }
    SettingStore::instance().setPath(folders.settingsFile);
    // Made before the window and ended after it: the episode its closing ends is still sent.
    auto events = std::make_unique<StationEvents>(folders.stateDir);

    NotifyWidget::SetSkinFolder(folders.Resource("./Skin"));
    auto styleSheet = std::make_unique<QFile>(folders.Resource("./Skin/kvs.qss"));
    if (styleSheet->open(QIODevice::ReadOnly)) {
        app->setStyleSheet(folders.StyleSheet(QString::fromLocal8Bit(styleSheet->readAll())));
    }

    auto translator = std::make_unique<QTranslator>();
    const bool translated =
        SettingStore::instance().chineseLang() &&
        translator->load(folders.Resource("./Lang/kvs_zh.qm"), QString(), QString(), QString());
    if (translated) {
        QApplication::installTranslator(translator.get());
    }

    // Made before the window and ended after it: the recording the window's teardown finishes
    // is still told of.
    auto storage = std::make_unique<StorageKeeper>(logFolder);
    auto window = std::make_unique<MainWindow>();
    if (translated) {
        // The History page's calendar and dates in the translation's language; the other pages
        // format their dates themselves.
        window->historyPage()->setLocale(QLocale(translator->language()));
    }
    window->UseStorageKeeper(storage.get());
    WatchStation(events.get(), window.get(), storage.get());
    window->resize(1280, 720);
    window->show();
    if (!folderError.isEmpty()) {
        // Said, not asked: an unattended station goes on showing the live picture.
        auto* box = new QMessageBox(
            QMessageBox::Warning, "Attention",
            QCoreApplication::translate(
                "CalorviewMain",
                "Calorview cannot make or use its folders: %1.\nThe live picture works; "
                "the files that belong in them cannot be saved.")
                .arg(folderError),
            QMessageBox::Ok, window.get());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }
    // For the crash-report tests only (README).
    const QByteArray crash = qgetenv("CALORVIEW_TEST_CRASH");
    if (!crash.isEmpty()) {
        QTimer::singleShot(0, window.get(), [crash] { CrashReport::CrashOnPurpose(crash); });
    }

    auto shutdown = std::make_unique<TerminationShutdown>(window.get());
    const int result = QApplication::exec();
    // The camera is closed already (the window stops frame delivery when it closes); tearing
    // the window down finishes the files still being written. The signal handlers stay until
    // then, so a second SIGTERM cannot cut a file short.
    window.reset();
    storage.reset();
    events.reset();
    shutdown.reset();
    translator.reset();
    styleSheet.reset();
    app.reset();
    return result;
}
