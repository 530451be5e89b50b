#include "alarm/AlarmWindow.h"

#include <QEvent>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QSoundEffect>
#include <QStyle>
#include <QUrl>
#include <algorithm>
#include <cstring>
#include <thread>

#include "alarm/AlarmEpisodeTracker.h"
#include "alarm/EpisodeMarks.h"
#include "alarm/ImageView.h"
#include "platform/AppFolders.h"
#include "platform/DiskSpace.h"
#include "platform/TickClock.h"
#include "settings/SettingStore.h"
#include "ui/NotifyManager.h"
#include "ui/StyleSheetBackground.h"
#include "video/DeviceConnectionManager.h"
#include "video/FrameFacts.h"
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

// The numbers in alarm and manual snapshot names: from 0 at start, never reset.
std::atomic<int> g_nAlarmSnapshotCounter{0};
int g_nManualSnapshotCounter = 0;  // GUI thread

constexpr uint32_t kSoundGapMs = 3000;
constexpr uint32_t kAlarmHoldMs = 5000;
constexpr uint32_t kRecordingLimitMs = 480000;
constexpr uint32_t kSnapshotWindowMs = 1000;
// A list longer than this shows a new alarm in its oldest item.
constexpr int kMaxItemsBeforeInsert = 64;

bool IsConnected() {
    return DeviceConnectionManager::instance()->IsConnected() != 0;
}

}  // namespace

AlarmWindow::AlarmWindow(QWidget* parent)
    : QWidget(parent),
      m_pVideoWindow(new VideoWindow(this)),
      m_pEpisodeTracker(new AlarmEpisodeTracker(this)),
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
    connect(m_pVideoWindow, &VideoWindow::snapshotSaved, this, &AlarmWindow::onSnapshotSaved,
            Qt::QueuedConnection);

    connect(this, &AlarmWindow::recordingStarted, m_pEpisodeTracker,
            &AlarmEpisodeTracker::OnRecordingStarted);
    connect(this, &AlarmWindow::recordingFinished, m_pEpisodeTracker,
            &AlarmEpisodeTracker::OnRecordingFinished);
    connect(m_pEpisodeTracker, &AlarmEpisodeTracker::episodeEnded, this,
            [this](const AlarmEpisode& episode) { m_AlarmLog.Append(episode); });

    m_pScrollArea->setWidget(m_pAlarmList);
    // Opaque, so that scroll() can move its pixels (AddAlarmItem); eventFilter paints it.
    m_pAlarmList->setAttribute(Qt::WA_OpaquePaintEvent);
    m_pAlarmList->installEventFilter(this);
    m_pAlarmList->setGeometry(0, 0, kItemWidth, 0);
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
    // The video window, destroyed with the children, finishes a save in flight: its report
    // is for nobody.
    disconnect(m_pVideoWindow, nullptr, this, nullptr);
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
    // Resolved now, against the working folder, as the bare default "alarm1.wav" expects; an
    // installed program finds that default among its resources.
    QFileInfo file(path);
    if (file.isRelative() && !file.exists()) {
        file.setFile(AppFolders::Current().Resource(path));
    }
    m_pAlarmSound->setSource(QUrl::fromLocalFile(file.absoluteFilePath()));
}

int AlarmWindow::LoopCountFor(int playTimes) {
    if (playTimes == -1) {
        return QSoundEffect::Infinite;
    }
    return playTimes > 0 ? playTimes : 1;
}

QString AlarmWindow::ValueText(double temp, int TempType) {
    return TemperatureText(temp, TempType);
}

int AlarmWindow::AlarmSnapshotCounter() {
    return g_nAlarmSnapshotCounter.load();
}

void AlarmWindow::PlayAlarmSound() {
    if (m_pAlarmSound->isPlaying()) {
        return;
    }
    const int playTimes = SettingStore::instance().alarmSoundPlayTimes();
    const uint32_t now = TickClock::Now();
    if (m_nLastSoundTick == 0 || now - m_nLastSoundTick >= kSoundGapMs) {
        m_pAlarmSound->setLoopCount(LoopCountFor(playTimes));
        m_pAlarmSound->play();
        m_nLastSoundTick = now;
        ++m_nSoundStarts;
        qDebug("PlayAlarmSound: started, %d loops", playTimes);
    }
}

void AlarmWindow::onSoundRequested() {
    // Cleared first: a request arriving while this one runs is queued anew, never lost.
    m_bSoundRequested.store(false);
    PlayAlarmSound();
}

void AlarmWindow::AlarmFrameConsumer(const void* alarmWord, const char* fileTime,
                                     const char* displayTime, int kind, int alarmPresent) {
    g_nDeliveries.fetch_add(1);
    if (AlarmWindow* panel = g_pPanel.load()) {
        panel->OnAlarmFrame(alarmWord, fileTime, displayTime, kind, alarmPresent);
    }
    g_nDeliveries.fetch_sub(1);
}

void AlarmWindow::OnAlarmFrame(const void* alarmWord, const char* fileTime, const char* displayTime,
                               int kind, int alarmPresent) {
    if (alarmPresent != 1) {
        if (m_bRecording.load() && m_bStopReady.exchange(false)) {
            emit StopAlarmRecod();
        }
        return;
    }
    if (!m_bAlarmEnabled.load()) {
        return;
    }
    int32_t word = 0;
    std::memcpy(&word, alarmWord, sizeof word);
    m_pEpisodeTracker->OnAlarmFrame(displayTime, word, kind);
    SettingStore& settings = SettingStore::instance();
    if (settings.alarmSoundEnabled() && !m_bSoundRequested.exchange(true)) {
        // Played on the GUI thread; while one request waits there, no more are queued.
        QMetaObject::invokeMethod(this, &AlarmWindow::onSoundRequested, Qt::QueuedConnection);
    }
    // The counter advances on every alarm frame; the name is only built for the one pushed.
    const int counter = g_nAlarmSnapshotCounter.fetch_add(1);
    if (m_bPushReady.exchange(false)) {
        // Only the pushed frame is copied, with its own facts: a later alarm frame copied while
        // this one waits for its save would put another picture under this one's name.
        if (settings.alarmSnapshotEnabled() && IsConnected()) {
            m_pVideoWindow->CopyFrameForSnapshot(FrameFacts{fileTime, displayTime, word, kind});
        }
        QString name =
            QString("Alarm_%1_%2.png").arg(QString::fromLatin1(fileTime).trimmed()).arg(counter);
        name.replace(' ', '_');
        name.remove(':');
        emit pushAlarm(settings.alarmImagesPath() + "/" + name, QString::fromLatin1(fileTime),
                       QString::fromLatin1(displayTime), word / 10.0, kind, 0);
    }
}

void AlarmWindow::onGrabButtonClicked() {
    if (!IsConnected()) {
        return;
    }
    char captureTime[32] = {};
    m_pVideoWindow->CopyFrameForSnapshot(captureTime);
    // A taken name gets "_1", "_2", ... from the save itself.
    const QString path = SettingStore::instance().snapshotPath() + "/" +
                         QString::fromLatin1(captureTime) + "_" +
                         QString::number(g_nManualSnapshotCounter++) + ".png";
    int result = 0;
    if (m_pVideoWindow->SaveSnapshot(QFile::encodeName(path).constData(), &result)) {
        ShowSuccessNotify(tr("Snapshot succeed!"));
        emit snapshotWritten(path);
    } else if (result == 1) {
        ShowNotify(tr("DiskFreeSpace Not Enough"), true);
        emit diskSpaceShort();
        StopRecordingIfActive();
    } else {
        ShowNotify(tr("Snapshot failed!"), true);
    }
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
        const uint32_t now = TickClock::Now();
        m_nRecordStartTick.store(now);
        m_nLastAlarmTick.store(now);
        const int started = m_pVideoWindow->StartRecord(m_bAlarmRecording.load());
        if (started != 1) {
            // An alarm's failed start must not turn the user's next press into an alarm
            // recording.
            m_bAlarmRecording.store(false);
            ShowNotify(started == 2 ? tr("DiskFreeSpace Not Enough") : tr("Recording failed!"),
                       true);
            return;
        }
        ShowSuccessNotify(tr("Recording Start!"));
        m_bRecording.store(true);
        m_RecordingPath = m_pVideoWindow->RecordingPath();
        emit recordingStarted(m_RecordingPath, m_bAlarmRecording.load());
    }
    SetRecordButtonWorking(!working);
}

void AlarmWindow::StopRecordingIfActive() {
    if (m_bRecording.load()) {
        onRecordButtonClicked();
        m_bAlarmRecording.store(false);
    }
}

void AlarmWindow::onRecordingFailed(quint64 generation) {
    if (!IsRecordButtonWorking() || !m_pVideoWindow->IsCurrentRecording(generation)) {
        return;  // already stopped by other means, or a signal of an earlier recording
    }
    EndRecording();
    m_bAlarmRecording.store(false);
    ShowNotify(tr("Recording failed!"), true);
    SetRecordButtonWorking(false);
}

void AlarmWindow::onRecordingSizeChanged(quint64 generation) {
    if (IsRecordButtonWorking() && m_pVideoWindow->IsCurrentRecording(generation)) {
        // As the 8-minute split does: this file ends, the next starts at the new size, in the
        // same folder.
        const bool alarm = m_bAlarmRecording.load();
        onRecordButtonClicked();
        m_bAlarmRecording.store(alarm);
        onRecordButtonClicked();
    }
}

bool AlarmWindow::RecordingSharesDiskWith(const QString& folder) const {
    SettingStore& settings = SettingStore::instance();
    const QString recordings =
        m_bAlarmRecording.load() ? settings.alarmRecordsPath() : settings.recordPath();
    return DiskSpace::Current().SameFileSystem(QFile::encodeName(folder).constData(),
                                               QFile::encodeName(recordings).constData());
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
    const bool alarm = m_bAlarmRecording.load();
    // However an alarm recording ends, the next press of Record is a manual one.
    m_bAlarmRecording.store(false);
    m_nLastAlarmTick.store(0);
    m_nRecordStartTick.store(0);
    emit recordingFinished(m_RecordingPath, alarm);
}

void AlarmWindow::onPushAlarm(const QString& filename, const QString& /*time*/,
                              const QString& time1, double temp, int TempType, int nFreeSpace) {
    SettingStore& settings = SettingStore::instance();
    const bool snapshot = settings.alarmSnapshotEnabled();
    // Past the second's share, an alarm goes without a snapshot, quietly: a long alarm would
    // otherwise fill the disk with near-identical pictures and the list with their items.
    const bool skipped = snapshot && !TakeSnapshotTurn(settings.alarmSnapshotsPerSecond());
    // Written on the "Snapshot" thread, never over an old file (names repeat across runs and
    // with a stopped camera clock): onSnapshotSaved goes on when it is complete.
    const bool saving = snapshot && !skipped && IsConnected() &&
                        m_pVideoWindow->StartSnapshotSave(
                            QFile::encodeName(filename).constData(), &nFreeSpace,
                            QSize(AlarmItem::kThumbnailWidth, AlarmItem::kThumbnailHeight));
    if (m_bRecording.load()) {
        m_nLastAlarmTick.store(TickClock::Now());
    } else if (settings.alarmRecordEnabled()) {
        m_bAlarmRecording.store(true);
        m_pVideoWindow->SetAlarmRecordingComment(
            QString("Alarm at %1: %2").arg(time1, ValueText(temp, TempType)));
        onRecordButtonClicked();
    }
    if (saving) {
        // Push-ready stays clear until the item exists: one alarm in flight, as ever.
        m_PendingAlarm = {time1, temp, TempType};
        return;
    }
    m_pEpisodeTracker->OnSnapshotOutcome(QString());
    if (snapshot && !skipped) {
        ReportSnapshotNotWritten(nFreeSpace);
    }
    m_bPushReady.store(true);
}

bool AlarmWindow::TakeSnapshotTurn(int perSecond) {
    if (perSecond <= 0) {
        return true;
    }
    // Windows follow one another from the first alarm after the last one ran out; the unsigned
    // difference stays right across the tick's wrap.
    const uint32_t now = TickClock::Now();
    if (m_nSnapshotsInWindow == 0 || now - m_nSnapshotWindowTick >= kSnapshotWindowMs) {
        m_nSnapshotWindowTick = now;
        m_nSnapshotsInWindow = 0;
    }
    if (m_nSnapshotsInWindow >= perSecond) {
        return false;
    }
    ++m_nSnapshotsInWindow;
    return true;
}

void AlarmWindow::onSnapshotSaved(const QString& file, const QImage& thumbnail) {
    m_pEpisodeTracker->OnSnapshotOutcome(file);
    if (file.isEmpty()) {
        ReportSnapshotNotWritten(0);
    } else {
        AddAlarmItem(file, thumbnail);
        emit snapshotWritten(file);
    }
    m_bPushReady.store(true);
}

void AlarmWindow::ReportSnapshotNotWritten(int nFreeSpace) {
    if (nFreeSpace == 1) {
        ShowNotify(tr("DiskFreeSpace Not Enough"), true);
        emit diskSpaceShort();
        // Only a recording on the full disk stops: one elsewhere still has room, and the next
        // alarm frame would start it again, one file per alarm.
        if (RecordingSharesDiskWith(SettingStore::instance().alarmImagesPath())) {
            StopRecordingIfActive();
        }
    } else {
        ShowNotify(tr("Snapshot failed!"), true);
    }
}

void AlarmWindow::AddAlarmItem(const QString& file, const QImage& thumbnail) {
    AlarmItem* item = nullptr;
    if (m_AlarmItems.size() > kMaxItemsBeforeInsert) {
        // The oldest alarm leaves the list; its item shows the newest. Nothing is deleted, so a
        // viewer opened from it (see eventFilter) keeps its own path and nothing dangles.
        item = m_AlarmItems.takeLast();
    } else {
        item = new AlarmItem(m_pAlarmList);
        item->installEventFilter(this);
    }
    item->ShowAlarm(file, m_PendingAlarm.time1, thumbnail,
                    ValueText(m_PendingAlarm.temp, m_PendingAlarm.TempType));
    // The episode this alarm belongs to, for the viewer's Keep.
    item->setProperty("episode", m_pEpisodeTracker->episodeKey());
    m_AlarmItems.prepend(item);
    m_pAlarmList->resize(kItemWidth, kItemPitch * m_AlarmItems.size());
    // Every item one place down by scrolling the list: the pixels already drawn move along, and
    // only the place uncovered at the top is painted, not every visible item once per alarm.
    m_pAlarmList->scroll(0, kItemPitch);
    item->move(10, 0);
    item->show();
}

void AlarmWindow::OnstopAlarmRecod() {
    if (m_nLastAlarmTick.load() == 0 || m_nRecordStartTick.load() == 0 || !m_bRecording.load()) {
        m_bStopReady.store(true);
        return;
    }
    const uint32_t now = TickClock::Now();
    if (now - m_nRecordStartTick.load() > kRecordingLimitMs) {
        if (m_bAlarmRecording.load()) {
            onRecordButtonClicked();
            m_bAlarmRecording.store(false);
        } else {
            // A manual recording goes on in a new file.
            onRecordButtonClicked();
            onRecordButtonClicked();
        }
        m_bStopReady.store(true);
        return;
    }
    if (now - m_nLastAlarmTick.load() < kAlarmHoldMs) {
        m_bStopReady.store(true);
        return;
    }
    if (m_bRecording.load() && m_bAlarmRecording.load()) {
        onRecordButtonClicked();
        m_bAlarmRecording.store(false);
    }
    m_bStopReady.store(true);
}

bool AlarmWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pAlarmList && event->type() == QEvent::Paint) {
        // Opaque, so Qt paints no background for it: the margins beside the items would show
        // whatever the settings page left there.
        QPainter painter(m_pAlarmList);
        paintStyleSheetBackground(m_pAlarmList, &painter);
        return false;
    }
    if (event->type() == QEvent::MouseButtonRelease &&
        std::find(m_AlarmItems.begin(), m_AlarmItems.end(), watched) != m_AlarmItems.end()) {
        // Opened once the release has been delivered, not inside it: alarms go on while the
        // viewer runs, and may push this very item out of the list and delete it.
        const QString path = watched->property("path").toString();
        const QString key = watched->property("episode").toString();
        QMetaObject::invokeMethod(
            this, [this, path, key] { OpenViewer(path, key); }, Qt::QueuedConnection);
    }
    return QWidget::eventFilter(watched, event);
}

void AlarmWindow::OpenViewer(const QString& path, const QString& key) {
    ImageView view;
    if (!view.LoadImage(path)) {
        return;
    }
    if (m_pEpisodeMarks != nullptr && !key.isEmpty()) {
        view.ShowKeep(m_pEpisodeMarks->IsKept(key));
        connect(&view, &ImageView::keepToggled, this,
                [this, key](bool keep) { m_pEpisodeMarks->SetKept(key, keep); });
    }
    view.exec();
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
