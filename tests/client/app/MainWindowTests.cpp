// The main window's camera supervision, driven by timer events and device-change notices
// instead of real waiting, against a virtual camera.
#include "app/MainWindow.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSoundEffect>
#include <QTest>
#include <QTimer>
#include <QTimerEvent>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <thread>

#include "alarm/AlarmWindow.h"
#include "alarm/ImageView.h"
#include "app/TerminationShutdown.h"
#include "framegate/SDK_USB.h"
#include "platform/DeviceNotifier.h"
#include "platform/TickClock.h"
#include "settings/SettingStore.h"
#include "settings/SettingWindow.h"
#include "support/CapturedMessages.h"
#include "support/ManualTickClock.h"
#include "support/ScenarioFile.h"
#include "support/TempDir.h"
#include "support/Wait.h"
#include "video/DeviceConnectionManager.h"
#include "video/OSDWindow.h"
#include "video/StreamWatch.h"
#include "video/VideoWindow.h"

// Stands in for the library's export in this program: refuses the registration while told to,
// as the library does for a camera it no longer knows, and passes the call on otherwise.
namespace {
std::atomic<bool> g_refuseStreamCallback{false};
}  // namespace

extern "C" int RegisterUSBStreamCallBack(int nCamID, USBStreamCallBack callback) {
    if (g_refuseStreamCallback) {
        return -1;
    }
    using Register = int (*)(int, USBStreamCallBack);
    static const auto library =
        reinterpret_cast<Register>(dlsym(RTLD_NEXT, "RegisterUSBStreamCallBack"));
    return library(nCamID, callback);
}

namespace {

class MainWindowTest : public testing::Test {
protected:
    void SetUp() override {
        SettingStore::instance().setPath(QString::fromStdString(m_dir.file("kvs.ini")));
        CalorviewTest::writeFile(m_scenario, CalorviewTest::scenarioJson("Supervised", 64, 48, 50));
        CalorviewTest::useVirtualCameras({m_scenario});
        TickClock::Install(&m_clock);
        m_notifier = new DeviceNotifier({QString::fromStdString(m_scenario)},
                                        DeviceNotifier::HotPlug::kNone);
        m_window = std::make_unique<MainWindow>(nullptr, m_notifier);
        m_notifier->setParent(m_window.get());
    }
    void TearDown() override {
        m_window.reset();
        TickClock::Install(nullptr);
    }

    // Runs a timer's tick now, as if its period had passed.
    void tick(int timerId) {
        ASSERT_NE(timerId, 0);
        QTimerEvent event(timerId);
        QApplication::sendEvent(m_window.get(), &event);
    }
    bool connected() const { return DeviceConnectionManager::instance()->IsConnected() != 0; }
    OSDWindow* osd() const { return m_window->alarmWindow()->videoWindow()->osdWindow(); }
    // A device-change notice followed by the settle pause. A timer of the same length started
    // after the notice fires after the window's, however late a loaded machine runs them.
    void notice(DeviceNotifier::Change change) {
        emit m_notifier->deviceChanged(change);
        const auto settled = std::make_shared<bool>(false);
        QTimer::singleShot(MainWindow::kDeviceSettleMs, [settled] { *settled = true; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return *settled; }, 10000));
    }

    CalorviewTest::TempDir m_dir;
    std::string m_scenario = m_dir.file("camera.json");
    CalorviewTest::ManualTickClock m_clock{1000000};
    DeviceNotifier* m_notifier = nullptr;
    std::unique_ptr<MainWindow> m_window;
};

}  // namespace

TEST_F(MainWindowTest, CameraAtStartConnectsOnTheFirstTick) {
    EXPECT_EQ(m_window->deviceCount(), 1);
    EXPECT_FALSE(connected());
    QSignalSpy connectedSpy(m_window.get(), &MainWindow::deviceConnected);
    tick(m_window->connectTimerId());
    EXPECT_TRUE(connected());
    EXPECT_EQ(connectedSpy.count(), 1);
    EXPECT_EQ(m_window->connectTimerId(), 0) << "the connect timer stops once connected";
    // A refill while connected and listed changes nothing.
    notice(DeviceNotifier::Change::kArrival);
    EXPECT_TRUE(connected());
    EXPECT_EQ(m_window->connectTimerId(), 0);
}

TEST_F(MainWindowTest, RefusedStreamCallbackIsAFailedConnect) {
    QSignalSpy connectedSpy(m_window.get(), &MainWindow::deviceConnected);
    const int timer = m_window->connectTimerId();
    {
        CalorviewTest::CapturedMessages log;
        g_refuseStreamCallback = true;
        tick(timer);
        g_refuseStreamCallback = false;
        EXPECT_EQ(log.count("ConnectToDev Success"), 0);
    }
    EXPECT_FALSE(connected()) << "the refusal closed the camera";
    EXPECT_EQ(connectedSpy.count(), 0);
    EXPECT_FALSE(DeviceConnectionManager::instance()->IsAlarmConsumerRegistered());
    EXPECT_EQ(m_window->connectTimerId(), timer) << "the timer keeps trying";

    CalorviewTest::CapturedMessages log;
    tick(timer);
    EXPECT_TRUE(connected());
    EXPECT_EQ(connectedSpy.count(), 1);
    EXPECT_EQ(log.count("ConnectToDev Success"), 1);
    EXPECT_EQ(m_window->connectTimerId(), 0);
}

TEST_F(MainWindowTest, UnpluggingTheOnlyCameraDisconnectsAtOnce) {
    tick(m_window->connectTimerId());
    ASSERT_TRUE(connected());
    // A recording runs when the camera goes ("Alarm/AlarmEnabled" is on by default).
    SettingStore::instance().setRecordPath(QString::fromStdString(m_dir.path().string()));
    AlarmWindow* panel = m_window->alarmWindow();
    ASSERT_TRUE(CalorviewTest::waitUntil([&] {
        char time[32] = {};
        panel->videoWindow()->CopyFrameForSnapshot(time);
        return time[0] != '\0';
    }));
    panel->findChild<QPushButton*>("RecordButton")->click();
    ASSERT_TRUE(panel->IsRecording());
    std::filesystem::remove(m_scenario);
    notice(DeviceNotifier::Change::kRemoveComplete);
    EXPECT_EQ(m_window->deviceCount(), 0);
    EXPECT_FALSE(connected());
    EXPECT_FALSE(panel->IsRecording());
    EXPECT_FALSE(panel->videoWindow()->IsRecording());
    EXPECT_EQ(m_window->streamCheckTimerId(), 0) << "no stream check without a listed camera";
    ASSERT_NE(osd(), nullptr);
    EXPECT_TRUE(osd()->isHidden());

    CalorviewTest::writeFile(m_scenario, CalorviewTest::scenarioJson("Supervised", 64, 48, 50));
    notice(DeviceNotifier::Change::kArrival);
    EXPECT_EQ(m_window->deviceCount(), 1);
    tick(m_window->connectTimerId());
    EXPECT_TRUE(connected()) << "plugged in again, it connects at the next tick";
}

TEST_F(MainWindowTest, RemovalNoticeWhileListedChecksTheStream) {
    // A camera whose stream dies after a second, as from a broken cable that stays listed.
    CalorviewTest::writeFile(
        m_scenario, CalorviewTest::scenarioJson("Supervised", 64, 48, 50,
                                                R"("timeline": [{"at_ms": 1000, "stall": true}])"));
    tick(m_window->connectTimerId());
    ASSERT_TRUE(connected());
    const auto connectedAt = std::chrono::steady_clock::now();
    VideoWindow* video = m_window->alarmWindow()->videoWindow();
    ASSERT_TRUE(CalorviewTest::waitUntil([&] { return video->IsStillRecvYUV(); }));

    // Frames keep coming: the check finds the stream alive and changes nothing.
    notice(DeviceNotifier::Change::kRemoveComplete);
    tick(m_window->streamCheckTimerId());
    EXPECT_TRUE(connected());
    EXPECT_EQ(m_window->streamCheckTimerId(), 0);

    // No frame for longer than the stream's grace: disconnected, and reconnecting on a timer.
    std::this_thread::sleep_until(connectedAt + std::chrono::milliseconds(1300));
    notice(DeviceNotifier::Change::kRemoveComplete);
    m_clock.now += 60000;
    tick(m_window->streamCheckTimerId());
    EXPECT_FALSE(connected());
    EXPECT_NE(m_window->connectTimerId(), 0);
    EXPECT_EQ(m_window->streamCheckTimerId(), 0);
}

// A camera that stays listed but sends nothing is closed and opened again every time the watch
// finds it stalled, without news of its coming and going (the watch tells a long stall itself).
// Unplugged while closed for a reopening, it is lost: the picture says so, and the station hears
// of it; plugged in again, it is connected and told of.
TEST_F(MainWindowTest, AStalledCameraIsReopenedAndToldOfOnce) {
    CalorviewTest::writeFile(
        m_scenario, CalorviewTest::scenarioJson("Supervised", 64, 48, 50,
                                                R"("timeline": [{"at_ms": 0, "stall": true}])"));
    QSignalSpy connects(m_window.get(), &MainWindow::cameraConnected);
    QSignalSpy disconnects(m_window.get(), &MainWindow::cameraDisconnected);
    StreamWatch* watch = m_window->streamWatch();
    tick(m_window->connectTimerId());
    ASSERT_TRUE(connected());
    for (int attempt = 0; attempt < 2; ++attempt) {
        m_clock.now += StreamWatch::kStalledMs;
        watch->Check();
        EXPECT_FALSE(connected()) << attempt;
        EXPECT_EQ(watch->state(), StreamWatch::State::kNoPicture);
        tick(m_window->connectTimerId());
        EXPECT_TRUE(connected()) << attempt;
    }
    EXPECT_EQ(connects.count(), 1);
    EXPECT_EQ(disconnects.count(), 0);

    m_clock.now += StreamWatch::kStalledMs;
    watch->Check();
    ASSERT_FALSE(connected());
    std::filesystem::remove(m_scenario);
    notice(DeviceNotifier::Change::kRemoveComplete);
    EXPECT_EQ(watch->state(), StreamWatch::State::kDisconnected);
    EXPECT_EQ(disconnects.count(), 1);

    CalorviewTest::writeFile(m_scenario, CalorviewTest::scenarioJson("Supervised", 64, 48, 50));
    notice(DeviceNotifier::Change::kArrival);
    tick(m_window->connectTimerId());
    EXPECT_EQ(connects.count(), 2);
    ASSERT_TRUE(CalorviewTest::waitUntil([&] {
        watch->Check();
        return watch->state() == StreamWatch::State::kLive;
    }));
    EXPECT_TRUE(watch->Text().isEmpty());
}

TEST_F(MainWindowTest, MaximiseTwiceRestoresTheGeometry) {
    m_window->resize(640, 480);
    const QRect normal = m_window->geometry();
    auto* resize = m_window->findChild<QPushButton*>("Resize");
    ASSERT_NE(resize, nullptr);
    resize->click();
    EXPECT_TRUE(resize->property("max").toBool());
    EXPECT_EQ(m_window->geometry(), QGuiApplication::primaryScreen()->availableGeometry());
    resize->click();
    EXPECT_FALSE(resize->property("max").toBool());
    EXPECT_EQ(m_window->geometry(), normal);
    EXPECT_FALSE(m_window->isMaximized());
}

// The whole desktop is every screen together; ctest also runs this on two screens, one of them
// left of the primary, so that the desktop's corner is not (0, 0).
TEST_F(MainWindowTest, EveryResizeCentresTheWindowOnTheDesktop) {
    QRect desktop;
    for (const QScreen* screen : QGuiApplication::screens()) {
        desktop |= screen->geometry();
    }
    m_window->show();
    m_window->resize(desktop.width() - 160, desktop.height() - 120);
    QApplication::processEvents();
    EXPECT_EQ(m_window->pos(), desktop.topLeft() + QPoint(80, 60));
    m_window->resize(desktop.width(), desktop.height() - 100);
    QApplication::processEvents();
    EXPECT_EQ(m_window->pos(), desktop.topLeft()) << "as wide as the desktop: moved to the corner";

    QWidget* about = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        about = widget->objectName() == "DlgAbout" ? widget : about;
    }
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(about->pos(), desktop.topLeft() + QPoint((desktop.width() - about->width()) / 2,
                                                       (desktop.height() - about->height()) / 2))
        << "the about dialog is centred too";
}

TEST_F(MainWindowTest, TabsSwitchPagesAndMoveTheMarker) {
    m_window->resize(1280, 720);
    auto* setting = m_window->findChild<QPushButton*>("MenuSetting");
    setting->click();
    EXPECT_TRUE(m_window->alarmWindow()->isHidden());
    EXPECT_FALSE(m_window->settingWindow()->isHidden());
    m_window->findChild<QPushButton*>("MenuAlarm")->click();
    EXPECT_FALSE(m_window->alarmWindow()->isHidden());
    EXPECT_TRUE(m_window->settingWindow()->isHidden());
}

TEST_F(MainWindowTest, TheSettingsPageSwitchesReachTheAlarmPanel) {
    AlarmWindow* panel = m_window->alarmWindow();
    SettingWindow* page = m_window->settingWindow();
    panel->EnableAlarm();
    emit page->alarmSwitched(false);
    EXPECT_FALSE(panel->IsAlarmEnabled());
    emit page->alarmSwitched(true);
    EXPECT_TRUE(panel->IsAlarmEnabled());
    emit page->alarmSoundFileChosen(QStringLiteral("/sounds/siren.wav"));
    ASSERT_NE(panel->AlarmSound(), nullptr);
    EXPECT_EQ(panel->AlarmSound()->source().toLocalFile(), "/sounds/siren.wav");
}

TEST_F(MainWindowTest, TerminationStopsFramesAndEndsEveryModalLoop) {
    tick(m_window->connectTimerId());
    ASSERT_TRUE(connected());
    m_window->show();
    TerminationShutdown shutdown(m_window.get());
    // A viewer open over a message box, and SIGTERM arriving then.
    bool innerReturned = false;
    QTimer::singleShot(0, [&] {
        QMessageBox box(QMessageBox::NoIcon, "Attention", "outer", QMessageBox::Ok);
        QTimer::singleShot(0, [&] {
            ImageView view;
            QTimer::singleShot(0, [] { raise(SIGTERM); });
            view.exec();
            innerReturned = true;
        });
        box.exec();
    });
    QTimer safety;  // the old behaviour: the loops would run for ever
    safety.callOnTimeout([] { QCoreApplication::exit(1); });
    safety.start(5000);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_LT(clock.elapsed(), 1000);
    EXPECT_TRUE(innerReturned);
    EXPECT_FALSE(connected()) << "frame delivery stopped";
    EXPECT_FALSE(m_window->isVisible());
    notice(DeviceNotifier::Change::kArrival);
    EXPECT_EQ(m_window->connectTimerId(), 0) << "and stays stopped";
}
