#pragma once

#include <QList>
#include <QString>
#include <QWidget>
#include <atomic>

#include "alarm/AlarmItem.h"
#include "alarm/AlarmLog.h"

class QPushButton;
class QScrollArea;
class AlarmEpisodeTracker;
class QSoundEffect;
class EpisodeMarks;
class VideoWindow;

// The live page: the video window on the left, "Snapshot" and "Record" under it, and the alarm
// list on the right. It is also the alarm consumer: while registered with the connection
// manager, the capture thread hands it every frame's alarm state.
//
// Threads: everything runs on the GUI thread except AlarmFrameConsumer and OnAlarmFrame (capture
// thread). The capture thread finds the panel through a process-wide atomic pointer. The flags
// and ticks both threads touch are atomics: alarm-enabled, recording, the push-ready and
// stop-ready hand-over flags (each lets one pushAlarm / StopAlarmRecod travel at a time) and
// the sound request. pushAlarm, StopAlarmRecod and the sound request reach the GUI queued. An
// alarm's snapshot is written on the video window's "Snapshot" thread; its item is made when the
// queued snapshotSaved reports the file complete, and only then is push-ready set again; an
// alarm past "Alarm/SnapshotsPerSecond" in its second gets no snapshot and sets it at once.
// The episode tracker takes every alarm frame acted on from the intake (capture thread, a short
// lock) and the snapshot and recording outcomes on the GUI thread; each episode that ends is
// appended to the day's alarm log on the GUI thread.
class AlarmWindow : public QWidget {
    Q_OBJECT

public:
    // Size of one alarm item; the list and the page are laid out from it.
    static constexpr int kItemWidth = AlarmItem::kWidth;
    static constexpr int kItemHeight = AlarmItem::kHeight;

    // Builds the page and publishes it as the one alarm panel.
    explicit AlarmWindow(QWidget* parent = nullptr);
    // Unpublishes the panel and waits for an intake call still running on the capture thread.
    ~AlarmWindow() override;

    VideoWindow* videoWindow() const { return m_pVideoWindow; }
    // Alarm episodes: begun and ended on the GUI thread.
    AlarmEpisodeTracker* episodeTracker() const { return m_pEpisodeTracker; }

    // Alarm frames are acted on, and the intake is registered with the connection manager
    // (which accepts it only while connected and none is registered).
    void EnableAlarm();
    // Alarm frames are ignored from now on; the registration stays until the next disconnect.
    void DisableAlarm();
    // Any thread.
    bool IsAlarmEnabled() const { return m_bAlarmEnabled.load(); }

    // The keep marks the viewer offers for an alarm's episode (not owned; null: no Keep).
    void SetEpisodeMarks(EpisodeMarks* marks) { m_pEpisodeMarks = marks; }

    // Replaces the alarm sound with one on `path` (a WAV file, relative to the working folder).
    void SetAlarmSoundFile(const QString& path);
    QSoundEffect* AlarmSound() const { return m_pAlarmSound; }
    // Starts the alarm sound if it is not playing and at least 3000 ms passed since the last
    // start (tick clock), with "Alarm/AlarmSoundPlayTimes" loops. The start's tick is kept also
    // when the file cannot be played.
    void PlayAlarmSound();
    // How many times PlayAlarmSound started the sound.
    int SoundStarts() const { return m_nSoundStarts; }
    // The loop count QSoundEffect takes for a stored play count: -1 loops forever, 0 and other
    // negative values play once, as the old sound class did.
    static int LoopCountFor(int playTimes);
    // An alarm item's value: the temperature with up to 6 significant digits and its unit sign
    // (1 degrees Fahrenheit, 2 Kelvin, anything else degrees Celsius).
    static QString ValueText(double temp, int TempType);
    // The alarm snapshot counter: the number in the next alarm snapshot's name. Any thread.
    static int AlarmSnapshotCounter();

    // Stops a recording this panel runs (through the record toggle) and forgets that it was an
    // alarm recording. The disk is full, or the camera was lost.
    void StopRecordingIfActive();
    // True while a recording started by this panel runs.
    bool IsRecording() const { return m_bRecording.load(); }
    // The alarm log's last append failed. GUI thread.
    bool alarmLogFailing() const { return m_AlarmLog.failing(); }

    // The AlarmConsumer given to the connection manager; forwards to the published panel.
    static void AlarmFrameConsumer(const void* alarmWord, const char* fileTime,
                                   const char* displayTime, int kind, int alarmPresent);
    // The intake of one frame (capture thread).
    void OnAlarmFrame(const void* alarmWord, const char* fileTime, const char* displayTime,
                      int kind, int alarmPresent);

signals:
    void pushAlarm(const QString& filename, const QString& time, const QString& time1, double temp,
                   int TempType, int nFreeSpace);
    void StopAlarmRecod();
    // A recording of this panel began or ended: its full path; `alarm` when it is in the alarm
    // records folder. GUI thread.
    void recordingStarted(const QString& path, bool alarm);
    void recordingFinished(const QString& path, bool alarm);
    // A snapshot (alarm or manual) was written to `path`. GUI thread.
    void snapshotWritten(const QString& path);
    // A snapshot or recording was refused because its disk is below the 5-GiB limit.
    void diskSpaceShort();

private slots:
    void onGrabButtonClicked();
    void onRecordButtonClicked();
    void onPushAlarm(const QString& filename, const QString& time, const QString& time1,
                     double temp, int TempType, int nFreeSpace);
    void OnstopAlarmRecod();
    // The video window's recording cannot go on: end it as a failure. A signal of an earlier
    // recording (its generation) changes nothing.
    void onRecordingFailed(quint64 generation);
    // The frames changed size under the recording: finish the file and go on in a new one.
    void onRecordingSizeChanged(quint64 generation);
    // The capture thread's sound request, on the GUI thread.
    void onSoundRequested();
    // The alarm snapshot onPushAlarm started is complete (`file`) or failed (empty): the item
    // for the alarm, or the failure toast; then the next alarm may come.
    void onSnapshotSaved(const QString& file, const QImage& thumbnail);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    // A mouse release on an alarm item opens its snapshot in the viewer, from a queued call.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The snapshot at `path` in a modal viewer, when it loads, with a Keep button for its
    // episode `key` when there is one and marks are set.
    void OpenViewer(const QString& path, const QString& key);
    // Whether the running recording's folder lies on the file system that holds `folder`.
    bool RecordingSharesDiskWith(const QString& folder) const;
    // The record button's "working" property: the authority on whether a press stops.
    bool IsRecordButtonWorking() const;
    // Sets it and re-polishes the button so the style sheet's [working] rules apply.
    void SetRecordButtonWorking(bool working);
    // The stop half of the toggle: the video window's recording ends, the panel's state clears.
    void EndRecording();
    // An item for the pending alarm, whose snapshot is `file`, at the top of the list: a new
    // one while the list is short, else the oldest, reused.
    void AddAlarmItem(const QString& file, const QImage& thumbnail);
    // An alarm snapshot that was not written: the toast, and for a full disk the recording's
    // stop; `nFreeSpace` 1 when refused for disk space.
    void ReportSnapshotNotWritten(int nFreeSpace);
    // Whether the alarm being handled may have a snapshot under "Alarm/SnapshotsPerSecond"
    // (`perSecond`, 0 = every alarm), counting it when it may. GUI thread.
    bool TakeSnapshotTurn(int perSecond);

    VideoWindow* m_pVideoWindow;
    AlarmEpisodeTracker* m_pEpisodeTracker;
    AlarmLog m_AlarmLog;  // GUI thread
    EpisodeMarks* m_pEpisodeMarks = nullptr;
    QPushButton* m_pGrabButton;
    QPushButton* m_pRecordButton;
    QScrollArea* m_pScrollArea;
    QWidget* m_pAlarmList;
    QList<AlarmItem*> m_AlarmItems;  // index 0 = newest; at most 65, reused from then on
    // GUI thread: the alarm whose snapshot is being saved, for its item.
    struct PendingAlarm {
        QString time1;
        double temp = 0;
        int TempType = 0;
    } m_PendingAlarm;
    QSoundEffect* m_pAlarmSound = nullptr;
    // Recording state: written on the GUI thread; the alarm intake reads the flag and ticks on
    // the capture thread, hence atomics. Ticks are the tick clock's (0: none running).
    std::atomic<uint32_t> m_nRecordStartTick{0};
    std::atomic<uint32_t> m_nLastAlarmTick{0};
    std::atomic<bool> m_bRecording{false};
    std::atomic<bool> m_bAlarmRecording{false};  // the running or requested one is an alarm's
    QString m_RecordingPath;                     // GUI thread: the running recording's file
    std::atomic<bool> m_bAlarmEnabled{true};
    std::atomic<bool> m_bPushReady{true};
    std::atomic<bool> m_bStopReady{true};
    std::atomic<bool> m_bSoundRequested{false};  // a request is queued: no backlog builds
    uint32_t m_nLastSoundTick = 0;               // GUI thread
    int m_nSoundStarts = 0;                      // GUI thread
    // GUI thread: the tick the current 1-s snapshot window began at, and the alarm snapshots
    // tried in it (0: no window yet).
    uint32_t m_nSnapshotWindowTick = 0;
    int m_nSnapshotsInWindow = 0;
};
