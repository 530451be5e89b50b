// Turns the stream of alarm frames into alarm episodes: an episode begins with the first alarm
// frame the live page acts on and ends once no alarm frame has come for the alarm hold (5 s,
// the hold of the alarm recording). The live page owns one and feeds it.
//
// Threads: OnAlarmFrame runs on the capture thread; everything else, the signals included, on
// the GUI thread. The capture thread's facts of the episode in progress (first and last frame,
// peak, tick of the last frame) live in m_Live under m_Mutex, held only to copy a few dozen
// bytes: no allocation and no queued event per frame. Only the first frame of an episode posts
// one queued call (Sync) to the GUI thread. The GUI thread ends an episode from its own timer
// once the hold has passed; should the capture thread find the hold passed first (the GUI thread
// was held up), it moves the finished episode into m_Closed, kClosedSlots slots kept from the
// start, and begins the next, so no episode is merged into another however many end before the
// GUI thread looks again. Only with every slot taken (the GUI thread held up for over
// kClosedSlots holds) does an episode go on instead, which the GUI thread then logs.
// Ticks come from TickClock, so tests drive the hold without waiting.
#pragma once

#include <QObject>
#include <QTimer>
#include <array>
#include <cstdint>
#include <mutex>

#include "alarm/AlarmEpisode.h"

class AlarmEpisodeTracker : public QObject {
    Q_OBJECT

public:
    static constexpr uint32_t kHoldMs = 5000;
    // Episodes the capture thread may end before the GUI thread takes them up.
    static constexpr int kClosedSlots = 64;
    // episodeStarted waits at most this long for the first alarm's snapshot outcome.
    static constexpr uint32_t kStartWaitMs = 1000;

    explicit AlarmEpisodeTracker(QObject* parent = nullptr);

    // One alarm frame the live page acts on: its display time, its alarm word (tenths of a
    // unit) and unit. Capture thread; a short, uncontended lock.
    void OnAlarmFrame(const char* displayTime, int32_t tenths, int unitKind);

    // The outcome of an alarm's snapshot: the written file (any path; its name is kept), or
    // empty when none was written (snapshots off, not connected, the save failed).
    void OnSnapshotOutcome(const QString& file);
    // A recording began or ended (full path; `alarm` when it is in the alarm records folder).
    void OnRecordingStarted(const QString& path, bool alarm);
    void OnRecordingFinished(const QString& path, bool alarm);

    // Ends the episode in progress now, as at a clean shutdown.
    void EndEpisodeInProgress() { Collect(true); }
    // The key of the episode in progress (AlarmLog::ComputerTime of its first computer time), or
    // empty when none is.
    QString episodeKey() const;
    // The episode in progress as the GUI thread last took it up (serial 0 when none); Sync
    // brings its peak and last frame up to date.
    const AlarmEpisode& openEpisode() const { return m_Episode; }
    // Takes up what the capture thread began and ends an episode whose hold has passed; the
    // tracker's timer runs it, tests may call it after moving their clock.
    void Sync() { Collect(false); }

signals:
    // Once per episode: the first frame's facts and firstSnapshot as soon as the first handled
    // alarm's snapshot outcome is known, at the latest kStartWaitMs after the first frame.
    void episodeStarted(const AlarmEpisode& episode);
    // Once per episode, when the hold has passed (or at a clean shutdown).
    void episodeEnded(const AlarmEpisode& episode);

private:
    // The capture thread's part of an episode: plain bytes, copied under m_Mutex.
    struct CaptureFacts {
        quint64 serial = 0;  // 0: none
        uint32_t firstTick = 0;
        uint32_t lastTick = 0;
        qint64 firstWallMs = 0;
        qint64 lastWallMs = 0;
        int32_t peakTenths = 0;
        int unitKind = 0;  // of the peak
        char firstCameraTime[32] = {};
        char lastCameraTime[32] = {};
    };

    // Sync's work; `endNow` ends the episode in progress whether or not its hold has passed.
    void Collect(bool endNow);
    // Makes the GUI's episode follow `facts` (begins it when it is a new one).
    void Follow(const CaptureFacts& facts);
    void Finish(const CaptureFacts& facts);
    void EmitStarted();
    // Arms the timer for the next moment something may be due (start wait or hold end).
    void ArmTimer(const CaptureFacts& facts);

    std::mutex m_Mutex;
    CaptureFacts m_Live;  // guarded by m_Mutex: the episode in progress, serial 0 when none
    // Guarded by m_Mutex: ended by the capture thread, not yet reported, oldest first.
    std::array<CaptureFacts, kClosedSlots> m_Closed;
    int m_nClosedCount = 0;
    quint64 m_nContinued = 0;  // guarded by m_Mutex: episodes that went on, m_Closed full
    quint64 m_nSerials = 0;    // guarded by m_Mutex

    // GUI thread.
    AlarmEpisode m_Episode;  // serial 0 when none is open
    bool m_bStartEmitted = false;
    QString m_AlarmRecording;  // the alarm recording running now, file name
    QTimer m_Timer;
};
