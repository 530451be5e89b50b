// The widget that shows the live picture and the client's frame consumer. For every frame
// (capture thread) it keeps a copy of the picture and its capture time, hands the picture to
// the renderer and tells the on-screen display what to draw through the queued
// notifyUpdateOSD. It also tells whether the stream is still alive and copies the current
// frame for snapshots.
//
// Recording: StartRecord and StopRecord (GUI thread) and WriteRecordFrame (capture thread, from
// OnFrame while the recording flag is set) turn the frames into an H.264 file through the
// encoder and container layers of media/.
//
// Pre-alarm seconds ("Alarm/PreAlarmSeconds" above 0, with alarms and alarm recording on): while
// no recording runs, the capture thread encodes every frame all the same (HoldPreAlarmFrame) and
// keeps the last seconds of them, from a key frame on, in m_PreAlarm. StartRecord(true) moves
// them into the new file ahead of the live frames, which continue the same encoder stream; the
// file's writer thread writes them, never the capture thread. A manual recording drops them and
// starts at a key frame of its own. With the setting at 0 nothing is encoded outside recordings.
//
// Snapshots: the manual snapshot and the alarm snapshot each have a buffer of their own, so that
// neither can take the other's frame or facts: the snapshot buffer (CopyFrameForSnapshot() and
// CopyFrameForSnapshot(timeOut), saved by SaveSnapshot) and the alarm snapshot buffer
// (CopyFrameForSnapshot(facts), the alarm intake's, saved by StartSnapshotSave).
//
// Threads: OnFrame, VideoFrameConsumer and WriteRecordFrame run on the capture thread;
// CopyFrameForSnapshot on either thread (the alarm intake on the capture thread, the snapshot
// button on the GUI thread) and SnapshotCopy on any; everything else on the GUI thread.
// m_BufferMutex guards the frame and snapshot buffers, their size and the capture time, and the
// snapshots' own times of day and facts, so a copy always sees one whole frame of one size and
// a snapshot tells of the very frame it shows; the alarm intake's copy is a swap of the frame
// buffer and the alarm snapshot buffer under it (capture thread only, see CopyFrameForSnapshot).
// m_RecordMutex guards the encoder and container handles, the recording work buffers and the
// pre-alarm frames (m_PreAlarm); it is taken after m_BufferMutex, never around file I/O (the
// container's writer thread does that). The last frame tick, the time of day and the flags are
// atomics. Snapshots are copied out of their buffers under m_BufferMutex; the manual one is
// written on the GUI thread (m_SnapshotWriter), an alarm's on the "Snapshot" thread
// (m_SnapshotWorker), which reports through the queued snapshotSaved.
#pragma once

#include <QImage>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "media/EncodedFrameRing.h"
#include "video/FrameArrivals.h"
#include "video/FrameConsumers.h"
#include "video/FrameFacts.h"
#include "video/SnapshotWorker.h"
#include "video/SnapshotWriter.h"

class OSDWindow;

class VideoWindow : public QWidget {
    Q_OBJECT

public:
    explicit VideoWindow(QWidget* parent = nullptr);
    // Closes the camera (through the connection manager) before anything is freed.
    ~VideoWindow() override;

    // The process-wide video window, or null when none exists. Any thread.
    static VideoWindow* instance();
    // The overlay this window created; lives as long as the window.
    OSDWindow* osdWindow() const { return m_OSD; }

    // (Re)binds the renderer to this widget and registers VideoFrameConsumer with the
    // connection manager, which registers the stream callback when a camera is open.
    void StartVideo();
    // True when at most 2000 ms (tick clock, unsigned 32-bit) passed since the last frame.
    bool IsStillRecvYUV();
    // The tick (TickClock) of the latest frame, 0 before the first. Any thread.
    uint32_t LastFrameTick() const { return m_LastFrameTick.load(std::memory_order_acquire); }
    // The frames that arrived and those seen missing between them; any thread.
    const FrameArrivals& arrivals() const { return m_Arrivals; }
    // A note on a picture that is not live ("Camera disconnected at ..."): the picture is
    // dimmed and the note shown on it; empty for a live picture. GUI thread.
    void SetPictureNote(const QString& note);
    // Copies the current frame into the snapshot buffer, with its time of day and, as its
    // facts, its own capture time. Any thread.
    void CopyFrameForSnapshot();
    // The same, then copies the frame's file-time string (without its terminating zero) into
    // `timeOut`, a zero-filled buffer of 32 bytes. Any thread.
    void CopyFrameForSnapshot(char* timeOut);
    // The current frame into the alarm snapshot buffer, with an alarm's facts, taken by the
    // alarm intake for this frame. Capture thread only: the frame moves into that buffer by a
    // swap, not a copy, which is safe only on the thread that writes the frame buffer.
    void CopyFrameForSnapshot(const FrameFacts& facts);
    // Copies the snapshot buffer (UYVY) into `frame`, reusing its capacity, with its size;
    // empty before the first frame. Any thread.
    void SnapshotCopy(std::vector<unsigned char>* frame, int* width, int* height) const;
    // Seconds since midnight of the latest frame's capture time. Any thread.
    int TimeOfDay() const { return m_TimeOfDay.load(std::memory_order_relaxed); }

    // Writes the frame held in the snapshot buffer to `path` (local 8-bit) as PNG, with that
    // frame's time of day burnt in and its facts in the text chunks (FrameFactsText); never
    // over an existing file ("_1", "_2", ... when the name is taken). True when written. Refused
    // with *result = 1 when the folder's disk has less than 5 GiB free (otherwise *result is
    // left alone). GUI thread.
    bool SaveSnapshot(const char* path, int* result);
    // The frame held in the alarm snapshot buffer, saved the same way on the "Snapshot" thread,
    // its data and name synced to the disk: true when it started (the frame is copied before this
    // returns); snapshotSaved tells how it ended, with a thumbnail of `thumbnailSize`.
    // False when refused for disk space (*result = 1), before the first frame, or when the save
    // before is still hanging on its disk. GUI thread.
    bool StartSnapshotSave(const char* path, int* result, QSize thumbnailSize);
    // Waits at most `ms` for a save StartSnapshotSave began; true once none is running.
    bool WaitForSnapshotSave(int ms) { return m_SnapshotWorker.WaitIdle(ms); }
    // The comment (UTF-8) the next alarm recording's MP4 carries: what raised it. GUI thread.
    void SetAlarmRecordingComment(const QString& comment) { m_AlarmRecordingComment = comment; }

    // Starts a recording into the alarm records folder (`alarm`) or the manual one, named by
    // the latest frame's capture time: 1 started, 0 failed (also before the first frame),
    // 2 refused because the folder's disk has less than 5 GiB free.
    int StartRecord(bool alarm);
    // The file the latest successful StartRecord opened (full path). GUI thread.
    const QString& RecordingPath() const { return m_RecordingPath; }
    // Ends the running recording; its file is completed in the background. Waits for a frame
    // being encoded.
    void StopRecord();
    // Encodes the frame just stored and hands it to the file. Capture thread.
    bool WriteRecordFrame();
    // The pre-alarm frames held now: their count, payload bytes and heap bytes. Any thread.
    void PreAlarmHeld(size_t* frames, size_t* bytes, size_t* capacityBytes) const;
    bool IsRecording() const { return m_Recording.load(std::memory_order_acquire); }
    // True when `generation`, as recordingFailed or recordingSizeChanged carried it, is the
    // running recording's; false for a signal of an earlier one still queued. GUI thread.
    bool IsCurrentRecording(quint64 generation) const;
    // Size of the open encoder instance, 0 x 0 when none is open.
    void EncoderSize(int* width, int* height) const;

    // The frame consumer handed to the connection manager; calls OnFrame on `user`.
    static void VideoFrameConsumer(const unsigned char* picture, int width, int height, void* user,
                                   int bShowRect, const char* fileTime, int year, int month,
                                   int day, int hour, int minute, int second);
    // The frame intake. Capture thread.
    void OnFrame(const unsigned char* picture, int width, int height, int bShowRect,
                 const char* fileTime, const CaptureTime& time);

signals:
    // Once per frame, from the capture thread; connected queued to the overlay's updateOSD.
    void notifyUpdateOSD(bool bShowRect, bool bShowRecode, int pTimeData);
    // From the "Snapshot" thread, once per StartSnapshotSave that started: the complete file's
    // name (empty when nothing was written) and its thumbnail. Connect it queued.
    void snapshotSaved(const QString& file, const QImage& thumbnail);
    // From the capture thread, once per recording: its file has failed for good (disk full,
    // writes failing for a second), or the frames changed size, which the running encoder
    // cannot take. The owner of the record button ends (or restarts) the recording, unless
    // IsCurrentRecording(generation) tells that the signal belongs to an earlier one.
    void recordingFailed(quint64 generation);
    void recordingSizeChanged(quint64 generation);

protected:
    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // A frame kept for a snapshot, UYVY, with what its PNG tells.
    struct SnapshotBuffer {
        std::vector<unsigned char> frame;
        int timeOfDay = 0;  // seconds since midnight
        FrameFacts facts;
    };

    // m_BufferMutex held: the latest frame (in the alarm snapshot buffer after its swap), its
    // time of day and its own capture time into the snapshot buffer.
    void CopyFrameLocked();
    // The free-space rule for `path`: false with *result = 1 when its folder's disk is short.
    static bool HasRoomFor(const char* path, int* result);
    // The pre-alarm seconds in force: the setting while alarms and alarm recording are on,
    // else 0. Any thread.
    static int PreAlarmSeconds();
    // Capture thread, no recording running: encodes the frame just stored into m_PreAlarm,
    // which reaches `seconds` back; with `seconds` 0 only empties it.
    void HoldPreAlarmFrame(int seconds);
    // m_RecordMutex held: WriteRecordFrame's work.
    bool WriteRecordFrameLocked();
    // m_RecordMutex held: encodes the frame buffer (width x height) into m_EncodedBuffer; the
    // bytes written, 0 for none, below 0 on an encoder error.
    int EncodeFrameLocked(int width, int height);
    // m_RecordMutex held: makes the encoder instance one for width x height, opening a new one
    // (which empties m_PreAlarm, whose stream it does not continue) when needed. False when
    // none could be opened.
    bool FitEncoderLocked(int width, int height);
    // `request` becomes the frame of `buffer` (the snapshot buffer or the alarm one) with its
    // time and facts, to be saved at `path`. False before the first frame.
    bool FillSnapshotRequest(SnapshotRequest* request, const char* path,
                             const SnapshotBuffer& buffer) const;

    OSDWindow* m_OSD = nullptr;  // child overlay; set in the constructor, then constant

    // Guarded by m_BufferMutex: allocated together when the frame size changes, freed together.
    mutable std::mutex m_BufferMutex;
    std::vector<unsigned char> m_FrameBuffer;  // latest picture, UYVY
    SnapshotBuffer m_Snapshot;                 // chosen for the manual snapshot
    SnapshotBuffer m_AlarmSnapshot;            // chosen by the alarm intake
    // The latest frame was swapped into the alarm snapshot buffer: m_FrameBuffer holds an older
    // picture until the next frame, and the alarm snapshot buffer is the latest frame.
    bool m_FrameInSnapshot = false;
    int m_FrameWidth = 0;
    int m_FrameHeight = 0;
    char m_CaptureTime[32]{};      // latest frame's file-time string
    CaptureTime m_CaptureClock{};  // latest frame's capture time

    std::atomic<int> m_TimeOfDay{0};
    std::atomic<uint32_t> m_LastFrameTick{0};
    int64_t m_FrameArrivalUs = 0;  // capture thread only: when the latest frame arrived
    FrameArrivals m_Arrivals;      // fed by the capture thread; its counts are atomics

    // Guarded by m_RecordMutex.
    mutable std::mutex m_RecordMutex;
    void* m_pEncoder = nullptr;  // X264_Enc_* handle
    int m_EncoderWidth = 0;
    int m_EncoderHeight = 0;
    void* m_pContainer = nullptr;  // SC_* handle
    // The open container's recording: StartRecord counts the recordings it starts. Written on
    // the GUI thread only, so that thread reads it without the lock.
    quint64 m_RecordGeneration = 0;
    std::vector<unsigned char> m_PictureScratch;  // MakeRecordedPicture's buffers
    std::vector<unsigned char> m_I420Buffer;      // the recorded frame, time burnt in, I420
    std::vector<unsigned char> m_EncodedBuffer;   // one encoded frame
    Media::EncodedFrameRing m_PreAlarm;           // encoded frames before an alarm
    bool m_PreAlarmHeld = false;                  // capture thread only: m_PreAlarm may hold frames

    // GUI thread: the manual snapshot being saved. Kept between snapshots, buffers and all.
    SnapshotRequest m_SnapshotRequest;
    SnapshotWriter m_SnapshotWriter;
    SnapshotResult m_SnapshotResult;
    QString m_AlarmRecordingComment;  // GUI thread
    QString m_PictureNote;            // GUI thread
    QString m_RecordingPath;          // GUI thread

    std::atomic<bool> m_Recording{false};  // set last by StartRecord, cleared first by StopRecord
    std::atomic<bool> m_RecordingTrouble{false};  // a failure or size change was signalled

    // Alarm snapshots; declared last, so it is destroyed first: its destructor waits (bounded)
    // for the save in flight, whose report is emitted from this window's signal.
    SnapshotWorker m_SnapshotWorker;
};
