#pragma once

#include <QList>
#include <QString>
#include <QWidget>
#include <atomic>

class QPushButton;
class QScrollArea;
class QSoundEffect;
class VideoWindow;

// The live page: the video window on the left, "Snapshot" and "Record" under it, and the alarm
// list on the right. It is also the alarm consumer: while registered with the connection
// manager, the capture thread hands it every frame's alarm state.
//
// Threads: everything runs on the GUI thread except AlarmFrameConsumer and OnAlarmFrame (capture
// thread). The capture thread finds the panel through a process-wide atomic pointer; the
// alarm-enabled flag is atomic. pushAlarm and StopAlarmRecod reach their slots queued.
class AlarmWindow : public QWidget {
    Q_OBJECT

public:
    // Size of one alarm item; the list and the page are laid out from it.
    static constexpr int kItemWidth = 256;
    static constexpr int kItemHeight = 140;

    // Builds the page and publishes it as the one alarm panel.
    explicit AlarmWindow(QWidget* parent = nullptr);
    // Unpublishes the panel and waits for an intake call still running on the capture thread.
    ~AlarmWindow() override;

    VideoWindow* videoWindow() const { return m_pVideoWindow; }

    // Alarm frames are acted on, and the intake is registered with the connection manager
    // (which accepts it only while connected and none is registered).
    void EnableAlarm();
    // Alarm frames are ignored from now on; the registration stays until the next disconnect.
    void DisableAlarm();
    // Any thread.
    bool IsAlarmEnabled() const { return m_bAlarmEnabled.load(); }

    // Replaces the alarm sound with one on `path` (a WAV file, relative to the working folder).
    void SetAlarmSoundFile(const QString& path);
    QSoundEffect* AlarmSound() const { return m_pAlarmSound; }

    // Stops a recording this panel runs (through the record toggle) and forgets that it was an
    // alarm recording. The disk is full, or the camera was lost.
    void StopRecordingIfActive();
    // True while a recording started by this panel runs.
    bool IsRecording() const { return m_bRecording.load(); }

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

private slots:
    void onGrabButtonClicked();
    void onRecordButtonClicked();
    void onPushAlarm(const QString& filename, const QString& time, const QString& time1,
                     double temp, int TempType, int nFreeSpace);
    void OnstopAlarmRecod();
    // The video window's recording cannot go on: end it as a failure.
    void onRecordingFailed();
    // The frames changed size under the recording: finish the file and go on in a new one.
    void onRecordingSizeChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Items 10 pixels apart, newest on top; the list widget as tall as its items.
    void LayoutAlarmList();
    // The record button's "working" property: the authority on whether a press stops.
    bool IsRecordButtonWorking() const;
    // Sets it and re-polishes the button so the style sheet's [working] rules apply.
    void SetRecordButtonWorking(bool working);
    // The stop half of the toggle: the video window's recording ends, the panel's state clears.
    void EndRecording();

    VideoWindow* m_pVideoWindow;
    QPushButton* m_pGrabButton;
    QPushButton* m_pRecordButton;
    QScrollArea* m_pScrollArea;
    QWidget* m_pAlarmList;
    QList<QWidget*> m_AlarmItems;  // index 0 = newest
    QSoundEffect* m_pAlarmSound = nullptr;
    // Recording state: written on the GUI thread; the alarm intake reads the flag and ticks on
    // the capture thread, hence atomics. Ticks are the tick clock's (0: none running).
    std::atomic<uint32_t> m_nRecordStartTick{0};
    std::atomic<uint32_t> m_nLastAlarmTick{0};
    std::atomic<bool> m_bRecording{false};
    std::atomic<bool> m_bAlarmRecording{false};  // the running or requested one is an alarm's
    std::atomic<bool> m_bAlarmEnabled{true};
};
