#include "alarm/AlarmWindow.h"

#include <QFileInfo>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QSoundEffect>
#include <QStyle>
#include <QUrl>
#include <thread>

#include "alarm/NotifyManager.h"
#include "platform/StyleSheetBackground.h"
#include "platform/TickClock.h"
#include "settings/SettingStore.h"
#include "video/DeviceConnectionManager.h"
#include "video/VideoWindow.h"

namespace {

// Column width of the alarm list: an item and its 20-pixel margin.
constexpr int kListColumnWidth = AlarmWindow::kItemWidth + 20;
// Vertical pitch of the items in the list.
constexpr int kItemPitch = 150;

// The panel the capture thread delivers to, and the number of deliveries under way. A panel
// being destroyed unpublishes itself and then waits for the count to drop, so no delivery ever
// reaches a dead panel (the camera may still be open while the pages are torn down).
std::atomic<AlarmWindow*> g_pPanel{nullptr};
std::atomic<int> g_nDeliveries{0};

}  // namespace

AlarmWindow::AlarmWindow(QWidget* parent)
    : QWidget(parent),
      m_pVideoWindow(new VideoWindow(this)),
      m_pGrabButton(new QPushButton(tr("Snapshot"), this)),
      m_pRecordButton(new QPushButton(tr("Record"), this)),
      m_pScrollArea(new QScrollArea(this)),
      m_pAlarmList(new QWidget) {
    m_pGrabButton->setObjectName("GrabButton");
    m_pRecordButton->setObjectName("RecordButton");
    m_pScrollArea->setObjectName("ScrollArea");
    m_pAlarmList->setObjectName("AlarmList");

    connect(this, &AlarmWindow::pushAlarm, this, &AlarmWindow::onPushAlarm, Qt::QueuedConnection);
    connect(this, &AlarmWindow::StopAlarmRecod, this, &AlarmWindow::OnstopAlarmRecod,
            Qt::QueuedConnection);
    connect(m_pGrabButton, &QPushButton::clicked, this, &AlarmWindow::onGrabButtonClicked);
    connect(m_pRecordButton, &QPushButton::clicked, this, &AlarmWindow::onRecordButtonClicked);
    connect(m_pVideoWindow, &VideoWindow::recordingFailed, this, &AlarmWindow::onRecordingFailed,
            Qt::QueuedConnection);
    connect(m_pVideoWindow, &VideoWindow::recordingSizeChanged, this,
            &AlarmWindow::onRecordingSizeChanged, Qt::QueuedConnection);

    m_pScrollArea->setWidget(m_pAlarmList);
    LayoutAlarmList();
    SetAlarmSoundFile(SettingStore::instance().alarmSoundFile());
    g_pPanel.store(this);
}

AlarmWindow::~AlarmWindow() {
    DeviceConnectionManager::instance()->ReleaseAlarmConsumer();
    AlarmWindow* self = this;
    g_pPanel.compare_exchange_strong(self, nullptr);
    while (g_nDeliveries.load() != 0) {
        std::this_thread::yield();
    }
}

void AlarmWindow::EnableAlarm() {
    m_bAlarmEnabled.store(true);
    DeviceConnectionManager::instance()->RegisterAlarmConsumer(&AlarmWindow::AlarmFrameConsumer,
                                                               this);
}

void AlarmWindow::DisableAlarm() {
    m_bAlarmEnabled.store(false);
    DeviceConnectionManager::instance()->ReleaseAlarmConsumer();
}

void AlarmWindow::SetAlarmSoundFile(const QString& path) {
    delete m_pAlarmSound;
    m_pAlarmSound = new QSoundEffect(this);
    // Resolved now, against the working folder, as the bare default "alarm1.wav" expects.
    m_pAlarmSound->setSource(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
}

void AlarmWindow::AlarmFrameConsumer(const void* alarmWord, const char* fileTime,
                                     const char* displayTime, int kind, int alarmPresent) {
    g_nDeliveries.fetch_add(1);
    if (AlarmWindow* panel = g_pPanel.load()) {
        panel->OnAlarmFrame(alarmWord, fileTime, displayTime, kind, alarmPresent);
    }
    g_nDeliveries.fetch_sub(1);
}

void AlarmWindow::OnAlarmFrame(const void*, const char*, const char*, int, int) {
    // The alarm intake (sound, snapshot copy, pushAlarm / StopAlarmRecod) comes here.
}

void AlarmWindow::onGrabButtonClicked() {
    // The manual snapshot comes here.
}

void AlarmWindow::onRecordButtonClicked() {
    const bool working = IsRecordButtonWorking();
    if (working) {
        EndRecording();
        ShowSuccessNotify(tr("Recording finished!"));
    } else {
        if (!DeviceConnectionManager::instance()->IsConnected()) {
            m_bAlarmRecording.store(false);
            return;
        }
        const uint32_t now = TickClock::GetTickCount();
        m_nRecordStartTick.store(now);
        m_nLastAlarmTick.store(now);
        switch (m_pVideoWindow->StartRecord(m_bAlarmRecording.load())) {
            case 1:
                ShowSuccessNotify(tr("Recording Start!"));
                m_bRecording.store(true);
                break;
            case 2:
                ShowNotify(tr("DiskFreeSpace Not Enough"), true);
                return;
            default:
                ShowNotify(tr("Recording failed!"), true);
                return;
        }
    }
    SetRecordButtonWorking(!working);
}

void AlarmWindow::StopRecordingIfActive() {
    if (m_bRecording.load()) {
        onRecordButtonClicked();
        m_bAlarmRecording.store(false);
    }
}

void AlarmWindow::onRecordingFailed() {
    if (!IsRecordButtonWorking()) {
        return;  // already stopped by other means
    }
    EndRecording();
    m_bAlarmRecording.store(false);
    ShowNotify(tr("Recording failed!"), true);
    SetRecordButtonWorking(false);
}

void AlarmWindow::onRecordingSizeChanged() {
    if (IsRecordButtonWorking()) {
        // As the 8-minute split does: this file ends, the next starts at the new size.
        onRecordButtonClicked();
        onRecordButtonClicked();
    }
}

bool AlarmWindow::IsRecordButtonWorking() const {
    const QVariant working = m_pRecordButton->property("working");
    return working.isValid() && working.toBool();
}

void AlarmWindow::SetRecordButtonWorking(bool working) {
    m_pRecordButton->setProperty("working", working);
    style()->unpolish(m_pRecordButton);
    style()->polish(m_pRecordButton);
}

void AlarmWindow::EndRecording() {
    m_pVideoWindow->StopRecord();
    m_bRecording.store(false);
    m_nLastAlarmTick.store(0);
    m_nRecordStartTick.store(0);
}

void AlarmWindow::onPushAlarm(const QString&, const QString&, const QString&, double, int, int) {
    // The alarm snapshot, alarm recording start and the new alarm item come here.
}

void AlarmWindow::OnstopAlarmRecod() {
    // The end-of-alarm-recording check comes here.
}

void AlarmWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintStyleSheetBackground(this, &painter);
}

void AlarmWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int w = width();
    const int h = height();
    m_pVideoWindow->setGeometry(0, 0, w - kListColumnWidth, h - 60);
    m_pGrabButton->setGeometry(20, h - 44, 100, 25);
    m_pRecordButton->setGeometry(130, h - 44, 100, 25);
    m_pScrollArea->setGeometry(w - kListColumnWidth, 0, kListColumnWidth, h);
    // The renderer's surface follows the new size; this also re-registers the frame consumer.
    m_pVideoWindow->StartVideo();
}

void AlarmWindow::LayoutAlarmList() {
    for (int i = 0; i < m_AlarmItems.size(); ++i) {
        m_AlarmItems[i]->setGeometry(10, kItemPitch * i, kItemWidth, kItemHeight);
    }
    m_pAlarmList->setGeometry(0, 0, kItemWidth, kItemPitch * m_AlarmItems.size());
}
