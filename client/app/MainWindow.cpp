#include "app/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QComboBox>
#include <QDebug>
#include <QImage>
#include <QLabel>
#include <QListView>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QWindow>

#include "alarm/AlarmEpisodeTracker.h"
#include "alarm/AlarmLog.h"
#include "alarm/AlarmWindow.h"
#include "app/DlgAbout.h"
#include "app/Triangle.h"
#include "framegate/SDK_USB.h"
#include "history/HistoryPage.h"
#include "platform/AppFolders.h"
#include "platform/DesktopGeometry.h"
#include "platform/DeviceNotifier.h"
#include "platform/ShellOpen.h"
#include "settings/SettingStore.h"
#include "settings/SettingWindow.h"
#include "storage/StorageKeeper.h"
#include "ui/NotifyManager.h"
#include "ui/StyleSheetBackground.h"
#include "video/DeviceConnectionManager.h"
#include "video/OSDWindow.h"
#include "video/StreamWatch.h"
#include "video/VideoWindow.h"

namespace {

constexpr int kNameBufferBytes = 320;

DeviceConnectionManager& manager() {
    return *DeviceConnectionManager::instance();
}

}  // namespace

MainWindow::MainWindow(QWidget* parent, DeviceNotifier* notifier)
    : QWidget(parent),
      m_pTitle(new QLabel(tr("Velmora Thermal Camera Client"), this)),
      m_pMenuAlarm(new QPushButton(tr("Live"), this)),
      m_pMenuSetting(new QPushButton(tr("Setting"), this)),
      m_pMenuHistory(new QPushButton(tr("History"), this)),
      m_pDeviceList(new QComboBox(this)),
      m_pClose(new QPushButton(this)),
      m_pResize(new QPushButton(this)),
      m_pMin(new QPushButton(this)),
      m_pAbout(new QPushButton(this)),
      m_pTabGroup(new QButtonGroup(this)),
      m_pAlarmWindow(new AlarmWindow(this)),
      m_pSettingWindow(new SettingWindow(this)),
      m_pHistoryPage(new HistoryPage(this)),
      m_pDlgAbout(new DlgAbout(nullptr)),
      m_pLine(new QWidget(this)),
      m_pTabMarker(new Triangle(m_pMenuAlarm)),
      m_pNotifier(notifier != nullptr ? notifier : new DeviceNotifier(this)),
      m_pStreamWatch(new StreamWatch(
          [video = m_pAlarmWindow->videoWindow()] { return video->LastFrameTick(); }, this)) {
    m_pDeviceList->setView(new QListView(m_pDeviceList));
    m_pMenuAlarm->setCheckable(true);
    m_pMenuSetting->setCheckable(true);
    m_pMenuHistory->setCheckable(true);
    m_pResize->setProperty("max", false);

    setWindowIcon(
        QPixmap::fromImage(QImage(AppFolders::Current().Resource("./Skin/mainicon.png"))));
    setWindowTitle("Calorview");
    setWindowFlags(Qt::FramelessWindowHint);
    setObjectName("MainWindow");
    m_pTitle->setObjectName("Title");
    m_pMenuAlarm->setObjectName("MenuAlarm");
    m_pMenuSetting->setObjectName("MenuSetting");
    m_pMenuHistory->setObjectName("MenuHistory");
    m_pDeviceList->setObjectName("DeviceList");
    m_pClose->setObjectName("Close");
    m_pResize->setObjectName("Resize");
    m_pMin->setObjectName("Min");
    m_pAbout->setObjectName("About");
    m_pLine->setObjectName("Line");

    auto* menu = new QMenu(m_pAbout);
    m_alarmLog = menu->addAction(tr("Open alarm log"));
    m_help = menu->addAction(tr("Help"));
    m_about = menu->addAction(tr("About"));
    m_pAbout->setMenu(menu);
    m_pTabGroup->addButton(m_pMenuAlarm);
    m_pTabGroup->addButton(m_pMenuSetting);
    m_pTabGroup->addButton(m_pMenuHistory);
    m_pMenuAlarm->setChecked(true);

    connect(m_pClose, &QPushButton::clicked, this, &MainWindow::onCloseButtonClicked);
    connect(m_pResize, &QPushButton::clicked, this, &MainWindow::onResizeButtonClicked);
    connect(m_pMin, &QPushButton::clicked, this, &MainWindow::onMinButtonClicked);
    connect(m_pMenuAlarm, &QPushButton::clicked, this, &MainWindow::onMenuAlarmButtonClicked);
    connect(m_pMenuSetting, &QPushButton::clicked, this, &MainWindow::onMenuSettingButtonClicked);
    connect(m_pMenuHistory, &QPushButton::clicked, this, &MainWindow::onMenuHistoryButtonClicked);
    connect(m_pHistoryPage, &HistoryPage::unreviewedChanged, this, &MainWindow::setHistoryTitle);
    connect(m_pDeviceList, &QComboBox::currentIndexChanged, this,
            &MainWindow::onDeviceListCurrentIndexChanged);
    connect(menu, &QMenu::triggered, this, &MainWindow::onAboutMenuClicked);
    // The settings page and the alarm panel know nothing of each other: the page's switches
    // reach the panel through here.
    connect(m_pSettingWindow, &SettingWindow::alarmSwitched, m_pAlarmWindow, [this](bool enabled) {
        if (enabled) {
            m_pAlarmWindow->EnableAlarm();
        } else {
            m_pAlarmWindow->DisableAlarm();
        }
    });
    connect(m_pSettingWindow, &SettingWindow::alarmSoundFileChosen, m_pAlarmWindow,
            &AlarmWindow::SetAlarmSoundFile);

    updateDeviceList();

    m_pTitle->setPixmap(QPixmap(AppFolders::Current().Resource("./Skin/logo.png")));
    m_pTitle->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_pSettingWindow->hide();
    m_pHistoryPage->hide();
    m_pDlgAbout->setWindowTitle(tr("About"));
    m_pDlgAbout->hide();
    placeTabMarker(m_pMenuAlarm);

    connect(m_pStreamWatch, &StreamWatch::stateChanged, this, [this](StreamWatch::State state) {
        VideoWindow* video = m_pAlarmWindow->videoWindow();
        video->SetPictureNote(m_pStreamWatch->Text());
        // The overlay's clock stands still with the picture: hidden with it, back with frames.
        OSDWindow* osd = video->osdWindow();
        if (osd != nullptr && state == StreamWatch::State::kNoPicture) {
            osd->SetSuspended(true);
            osd->hide();
        } else if (osd != nullptr && state == StreamWatch::State::kLive) {
            osd->SetSuspended(false);
        }
    });
    connect(m_pStreamWatch, &StreamWatch::stalled, this, &MainWindow::reopenStalledCamera);

    connect(m_pNotifier, &DeviceNotifier::deviceChanged, this,
            [this](DeviceNotifier::Change change) {
                const bool removed = change == DeviceNotifier::Change::kRemoveComplete;
                QTimer::singleShot(kDeviceSettleMs, this,
                                   [this, removed] { onDeviceChanged(removed); });
            });
}

void MainWindow::UseStorageKeeper(StorageKeeper* keeper) {
    AlarmEpisodeTracker* tracker = m_pAlarmWindow->episodeTracker();
    connect(tracker, &AlarmEpisodeTracker::episodeStarted, keeper,
            &StorageKeeper::OnEpisodeStarted);
    connect(tracker, &AlarmEpisodeTracker::episodeEnded, keeper, &StorageKeeper::OnEpisodeEnded);
    connect(m_pAlarmWindow, &AlarmWindow::recordingStarted, keeper,
            &StorageKeeper::OnRecordingStarted);
    connect(m_pAlarmWindow, &AlarmWindow::recordingFinished, keeper,
            &StorageKeeper::OnRecordingFinished);
    connect(m_pAlarmWindow, &AlarmWindow::snapshotWritten, keeper, &StorageKeeper::OnFileWritten);
    connect(m_pAlarmWindow, &AlarmWindow::diskSpaceShort, keeper, &StorageKeeper::OnDiskSpaceShort);
    connect(m_pSettingWindow, &SettingWindow::storageRulesChanged, keeper,
            &StorageKeeper::RequestPass);
    m_pAlarmWindow->SetEpisodeMarks(keeper);
    m_pHistoryPage->UseStorageKeeper(keeper);
}

MainWindow::~MainWindow() {
    // Stop frame delivery before the live page and its video window are torn down.
    manager().DisconnectDev();
    delete m_pDlgAbout;
}

void MainWindow::onCloseButtonClicked() {
    close();
}

void MainWindow::onResizeButtonClicked() {
    if (m_bMaximized) {
        setGeometry(m_NormalGeometry);
    } else {
        m_NormalGeometry = geometry();
        const QScreen* screen = QGuiApplication::primaryScreen();
        if (screen != nullptr) {
            setGeometry(screen->availableGeometry());
        }
    }
    m_bMaximized = !m_bMaximized;
    m_pResize->setProperty("max", m_bMaximized);
    m_pResize->style()->unpolish(m_pResize);
    m_pResize->style()->polish(m_pResize);
}

void MainWindow::onMinButtonClicked() {
    showMinimized();
}

void MainWindow::onMenuAlarmButtonClicked() {
    showPage(m_pAlarmWindow, m_pMenuAlarm);
}

void MainWindow::onMenuSettingButtonClicked() {
    showPage(m_pSettingWindow, m_pMenuSetting);
}

void MainWindow::onMenuHistoryButtonClicked() {
    showPage(m_pHistoryPage, m_pMenuHistory);
}

void MainWindow::showPage(QWidget* page, QPushButton* tab) {
    for (QWidget* each :
         {static_cast<QWidget*>(m_pAlarmWindow), static_cast<QWidget*>(m_pSettingWindow),
          static_cast<QWidget*>(m_pHistoryPage)}) {
        each->setVisible(each == page);
    }
    placeTabMarker(tab);
}

void MainWindow::setHistoryTitle(int unreviewed) {
    m_pMenuHistory->setText(unreviewed > 0 ? tr("History (%1)").arg(unreviewed) : tr("History"));
    m_pMenuHistory->setToolTip(
        unreviewed > 0
            ? tr("Alarm episodes of the last 7 days not reviewed yet: %1").arg(unreviewed)
            : QString());
}

void MainWindow::placeTabMarker(QPushButton* tab) {
    m_pTabMarker->setParent(tab);
    m_pTabMarker->setGeometry(tab->width() / 2 - 4, tab->height() - 6, 8, 4);
    m_pTabMarker->show();
}

void MainWindow::onDeviceListCurrentIndexChanged(int index) {
    if (index == -1) {
        return;
    }
    m_pDeviceList->setCurrentIndex(index);
    const qulonglong data = m_pDeviceList->itemData(index, Qt::UserRole).toULongLong();
    m_nSelectedCamera = static_cast<int>(static_cast<uint32_t>(data));
    if (m_DevNum > 0 && m_connectTimer == 0 && !manager().IsConnected()) {
        startConnectTimer(kConnectPeriodMs);
    }
}

void MainWindow::onAboutMenuClicked(QAction* checka) {
    if (m_help == nullptr || m_about == nullptr) {
        return;
    }
    if (checka == m_alarmLog) {
        // Today's file, made with its header when no episode has ended yet today: the user
        // sees an empty log rather than an error.
        ShellOpen().OpenFile(AlarmLog::EnsureToday(), tr("Alarm log not found"));
    } else if (checka == m_help) {
        qDebug() << "onAboutMenuClicked  = m_help";
        ShellOpen().OpenManual();
    } else if (checka == m_about) {
        qDebug() << "onAboutMenuClicked  = m_about";
        if (m_pDlgAbout->isHidden()) {
            m_pDlgAbout->exec();
        } else {
            m_pDlgAbout->hide();
        }
    }
}

// Help is reached through the about menu.
void MainWindow::onHelpMenuClicked() {}

void MainWindow::updateDeviceList() {
    int index = 0;
    char name[kNameBufferBytes] = {};
    const bool found = GetUsbDeviceNum(&index, name);
    m_DevNum = 0;
    m_pDeviceList->clear();
    if (found) {
        m_nSelectedCamera = index;
        m_DevNum = 1;
        m_pDeviceList->addItem(QString::fromLocal8Bit(name),
                               QVariant::fromValue<qulonglong>(static_cast<qulonglong>(index)));
    } else if (manager().IsConnected() || m_bReopening) {
        // Gone while open, or while closed to be opened again after a stall.
        loseCamera();
    }
    qDebug("========================updateDeviceList m_DevNum:%d==========", m_DevNum);
}

void MainWindow::onDeviceChanged(bool interfaceRemoved) {
    updateDeviceList();
    if (interfaceRemoved && m_DevNum > 0 && m_streamCheckTimer == 0 && manager().IsConnected() &&
        !m_bClosing) {
        m_streamCheckTimer = startTimer(kStreamCheckPeriodMs);
    }
}

void MainWindow::loseCamera() {
    closeCamera();
    announceCamera(false);
    m_bReopening = false;
    m_pStreamWatch->Disconnected();
}

void MainWindow::reopenStalledCamera() {
    if (m_bClosing || !manager().IsConnected()) {
        return;
    }
    // A camera that never sends again is reopened every few seconds for as long as it stays
    // listed: said at the first time and then at most every 10 minutes, with the count.
    ++m_stalledReopenings;
    if (!m_stallLogged.isValid() || m_stallLogged.hasExpired(kStallLogPeriodMs)) {
        qWarning(
            "MainWindow: no frame from %s for %u s; closing it to open it again (%d times "
            "since the last log line)",
            qPrintable(m_ConnectedCamera), StreamWatch::kStalledMs / 1000, m_stalledReopenings);
        m_stalledReopenings = 0;
        m_stallLogged.start();
    }
    closeCamera();
    m_bReopening = true;
    m_pStreamWatch->Reopening();
    if (m_DevNum > 0 && m_connectTimer == 0) {
        startConnectTimer(kReconnectPeriodMs);
    }
}

void MainWindow::announceCamera(bool connected) {
    if (connected != m_bCameraAnnounced) {
        m_bCameraAnnounced = connected;
        if (connected) {
            emit cameraConnected(m_ConnectedCamera);
        } else {
            emit cameraDisconnected(m_ConnectedCamera);
        }
    }
}

void MainWindow::closeCamera() {
    manager().DisconnectDev();
    if (SettingStore::instance().alarmEnabled()) {
        m_pAlarmWindow->StopRecordingIfActive();
    }
    OSDWindow* osd = m_pAlarmWindow->videoWindow()->osdWindow();
    if (osd != nullptr) {
        osd->SetSuspended(true);
        osd->hide();
    }
}

void MainWindow::startConnectTimer(int periodMs) {
    if (!m_bClosing) {
        m_connectTimer = startTimer(periodMs);
    }
}

void MainWindow::StopFrameDelivery() {
    m_bClosing = true;
    for (int* timer : {&m_connectTimer, &m_streamCheckTimer}) {
        if (*timer != 0) {
            killTimer(*timer);
            *timer = 0;
        }
    }
    manager().DisconnectDev();
    // No alarm frame comes any more: the episode in progress is over, and its listeners
    // still live.
    m_pAlarmWindow->episodeTracker()->EndEpisodeInProgress();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    StopFrameDelivery();
    QWidget::closeEvent(event);
}

void MainWindow::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_connectTimer && m_connectTimer != 0) {
        connectTimerTick();
    } else if (event->timerId() == m_streamCheckTimer && m_streamCheckTimer != 0) {
        streamCheckTimerTick();
    }
}

void MainWindow::connectTimerTick() {
    if (!manager().ConnectToDev(m_nSelectedCamera)) {
        return;
    }
    // Registering the frame consumer may be refused, which closes the camera again: that is a
    // failed attempt, and the timer tries again.
    VideoWindow* video = m_pAlarmWindow->videoWindow();
    if (video != nullptr) {
        video->StartVideo();
    }
    if (!manager().IsConnected()) {
        return;
    }
    qDebug("ConnectToDev Success\n");
    m_pStreamWatch->Connected();
    emit deviceConnected();
    m_ConnectedCamera = m_pDeviceList->currentText();
    // A camera opened again after a stall was never said to be gone: that is no news.
    m_bReopening = false;
    announceCamera(true);
    m_pAlarmWindow->EnableAlarm();
    if (!SettingStore::instance().alarmEnabled()) {
        m_pAlarmWindow->DisableAlarm();
    }
    if (video != nullptr && video->osdWindow() != nullptr) {
        video->osdWindow()->SetSuspended(false);
    }
    killTimer(m_connectTimer);
    m_connectTimer = 0;
}

void MainWindow::streamCheckTimerTick() {
    VideoWindow* video = m_pAlarmWindow->videoWindow();
    if (video != nullptr && !video->IsStillRecvYUV()) {
        if (manager().IsConnected()) {
            loseCamera();
        }
        if (m_DevNum > 0 && m_connectTimer == 0 && !manager().IsConnected()) {
            startConnectTimer(kReconnectPeriodMs);
        }
    }
    killTimer(m_streamCheckTimer);
    m_streamCheckTimer = 0;
}

void MainWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintStyleSheetBackground(this, &painter);
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    OSDWindow* osd = m_pAlarmWindow->videoWindow()->osdWindow();
    if (osd != nullptr) {
        osd->FollowParent();
    }
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int w = width();
    const int h = height();
    m_pTitle->setGeometry(0, 0, 150, kTitleHeight);
    m_pLine->setGeometry(0, 48, w, 2);
    m_pMenuAlarm->setGeometry(200, 0, 100, kTitleHeight);
    m_pMenuSetting->setGeometry(300, 0, 100, kTitleHeight);
    m_pMenuHistory->setGeometry(400, 0, 120, kTitleHeight);
    m_pDeviceList->setGeometry(w - 300, 10, 120, 30);
    m_pClose->setGeometry(w - 40, 15, 20, 20);
    m_pResize->setGeometry(w - 70, 15, 20, 20);
    m_pMin->setGeometry(w - 100, 15, 20, 20);
    m_pAbout->setGeometry(w - 130, 15, 20, 20);
    m_pAlarmWindow->setGeometry(0, kTitleHeight, w, h - kTitleHeight);
    m_pSettingWindow->setGeometry(0, kTitleHeight, w, h - kTitleHeight);
    m_pSettingWindow->fitWidth(w, h - kTitleHeight);
    m_pHistoryPage->setGeometry(0, kTitleHeight, w, h - kTitleHeight);
    if (auto* tab = qobject_cast<QPushButton*>(m_pTabGroup->checkedButton())) {
        placeTabMarker(tab);
    }

    const QRect desktop = desktopGeometry();
    m_pDlgAbout->move(centredOn(desktop, m_pDlgAbout->size()));
    if (desktop.width() == w || desktop.height() == h) {
        move(desktop.topLeft());
    } else {
        move(centredOn(desktop, size()));
    }
    SetNotifyArea(this, 0, 0, 240, 100);
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
    // The free part of the title band drags the window; the tabs, the list and the buttons
    // stay clickable because they take their own presses. Labels pass presses on.
    const QPoint position = event->position().toPoint();
    QWidget* child = childAt(position);
    const bool free = child == nullptr || child == m_pTitle || child == m_pLine;
    if (event->button() == Qt::LeftButton && position.y() < kTitleHeight && free &&
        windowHandle() != nullptr) {
        windowHandle()->startSystemMove();
        return;
    }
    QWidget::mousePressEvent(event);
}
