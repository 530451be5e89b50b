// The on-screen display over the live picture: the camera clock, the blue alarm rectangle and
// the running recording's label. A transparent child widget stacked over the video window (it
// lets every mouse event through), fed once per frame by the video window's queued
// notifyUpdateOSD.
//
// Threads: everything runs on the GUI thread except SetPictureSize, which the capture thread
// calls; the size travels in one atomic and the rectangle is recomputed on the GUI thread
// before the next paint.
#pragma once

#include <QRect>
#include <QString>
#include <QWidget>
#include <atomic>
#include <cstdint>

class OSDWindow : public QWidget {
    Q_OBJECT

public:
    // Hidden until the first update arrives while its parent is visible.
    explicit OSDWindow(QWidget* parent);
    ~OSDWindow() override;

    // The process-wide overlay, or null when none exists. Any thread.
    static OSDWindow* instance();

    // The camera picture's size, for the aspect ratio. Any thread.
    void SetPictureSize(int width, int height);
    // Recomputes where the picture lies from the stored size and the overlay's rectangle.
    void UpdatePictureRect();
    // Covers the parent widget exactly (in the parent's coordinates).
    void FollowParent();
    // Seconds since 1970 at which the running recording started.
    void SetRecordStartTime(unsigned int seconds);
    // While suspended, updates are ignored (the camera is gone).
    void SetSuspended(bool suspended);
    QRect PictureRect() const { return m_PictureRect; }

    // Where a pictureWidth x pictureHeight picture lies inside `overlay`, aspect kept; null when
    // either has no size.
    static QRect PictureRectFor(int pictureWidth, int pictureHeight, const QRect& overlay);
    // "hh:mm" from the camera clock in minutes since midnight.
    static QString ClockText(int pTimeData);
    // "Recording:hh:mm:ss" for a recording running `elapsed` seconds.
    static QString RecordingText(uint32_t elapsed);

public slots:
    void updateOSD(bool bShowRect, bool bShowRecode, int pTimeData);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    static uint64_t PackSize(int width, int height);
    // The box the recording label is drawn in (bottom-aligned), and its bottom line: all that a
    // new second changes.
    QRect RecordingBox() const;
    QRect RecordingLine() const;

    std::atomic<uint64_t> m_PictureSize;  // width << 32 | height, written by any thread
    uint64_t m_RectSize = 0;              // the size m_PictureRect was computed for
    QRect m_PictureRect;
    bool m_ShowRect = false;
    bool m_ShowRecode = false;
    uint32_t m_RecordStartTime = 0;
    int m_TimeData = 0;
    bool m_Suspended = false;
};
