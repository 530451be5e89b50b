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

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // Items 10 pixels apart, newest on top; the list widget as tall as its items.
    void LayoutAlarmList();

    VideoWindow* m_pVideoWindow;
    QPushButton* m_pGrabButton;
    QPushButton* m_pRecordButton;
    QScrollArea* m_pScrollArea;
    QWidget* m_pAlarmList;
    QList<QWidget*> m_AlarmItems;  // index 0 = newest
    QSoundEffect* m_pAlarmSound = nullptr;
    // The recording flags and ticks and the push/stop hand-over flags join with the intake.
    std::atomic<bool> m_bAlarmEnabled{true};
};
