// The widget that shows the live picture and the client's frame consumer. For every frame
// (capture thread) it keeps a copy of the picture and its capture time, hands the picture to
// the renderer and tells the on-screen display what to draw through the queued
// notifyUpdateOSD. It also tells whether the stream is still alive and copies the current
// frame for snapshots.
//
// Threads: OnFrame and VideoFrameConsumer run on the capture thread; CopyFrameForSnapshot() on
// the capture thread (alarm intake); everything else on the GUI thread. m_BufferMutex guards
// the four buffers, their size and the capture-time string, so a copy always sees one whole
// frame of one size; the last frame tick, the time of day and the flags are atomics.
#pragma once

#include <QWidget>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "video/FrameConsumers.h"

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
    // Copies the current frame into the snapshot buffer. Any thread.
    void CopyFrameForSnapshot();
    // The same, then copies the frame's file-time string (without its terminating zero) into
    // `timeOut`, a zero-filled buffer of 32 bytes. Any thread.
    void CopyFrameForSnapshot(char* timeOut);
    // A copy of the snapshot buffer (UYVY) with its size; empty before the first frame.
    // Any thread.
    std::vector<unsigned char> SnapshotCopy(int* width, int* height) const;
    // Seconds since midnight of the latest frame's capture time. Any thread.
    int TimeOfDay() const { return m_TimeOfDay.load(std::memory_order_relaxed); }

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

protected:
    void paintEvent(QPaintEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    OSDWindow* m_OSD = nullptr;  // child overlay; set in the constructor, then constant

    // Guarded by m_BufferMutex: allocated together when the frame size changes, freed together.
    mutable std::mutex m_BufferMutex;
    std::vector<unsigned char> m_FrameBuffer;     // latest picture, UYVY
    std::vector<unsigned char> m_SnapshotBuffer;  // frame chosen for a snapshot, UYVY
    int m_FrameWidth = 0;
    int m_FrameHeight = 0;
    char m_CaptureTime[32]{};  // latest frame's file-time string

    std::atomic<int> m_TimeOfDay{0};
    std::atomic<uint32_t> m_LastFrameTick{0};

    // Recording (StartRecord, StopRecord, WriteRecordFrame) joins here: its encoder and
    // container handles and the recording mutex that guards them. The flag is read by the
    // capture thread on every frame.
    std::atomic<bool> m_Recording{false};
};
