// Whether the live picture is current, for the picture itself and for whoever reports the
// station's health: frames arriving (kLive); none for 2 s while the camera stays connected
// (kNoPicture, "No picture since HH:MM:SS"); the camera gone (kDisconnected, "Camera disconnected
// at HH:MM:SS") until frames come again. After 5 s without a frame while connected it asks once
// for the camera to be closed and opened again (stalled); a stream that died with the camera
// still listed comes back that way. Frames stopped for more than 10 s while the camera stays
// listed are told once (deliveryChanged(false)), and their coming back (deliveryChanged(true));
// shorter gaps are not.
//
// GUI thread. The only thing it reads from the capture thread is the tick of the latest frame,
// an atomic the video window stores for each frame; it looks every 250 ms.
#pragma once

#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>

class StreamWatch : public QObject {
    Q_OBJECT
public:
    enum class State { kIdle, kLive, kNoPicture, kDisconnected };
    Q_ENUM(State)
    static constexpr uint32_t kNoPictureMs = 2000;
    static constexpr uint32_t kStalledMs = 5000;
    static constexpr uint32_t kDeliveryStalledMs = 10000;
    static constexpr int kCheckPeriodMs = 250;

    // `lastFrameTick` gives the tick (TickClock) of the latest frame, 0 before the first.
    explicit StreamWatch(std::function<uint32_t()> lastFrameTick, QObject* parent = nullptr);

    // A camera was opened: frames are expected from now on.
    void Connected();
    // The camera went away (unplugged, or lost with the list): the picture is marked
    // disconnected until frames come again.
    void Disconnected();
    // The camera was closed to be opened again (after stalled): the state stays as it is.
    void Reopening();

    State state() const { return m_state; }
    // When the picture stopped (kNoPicture) or the camera went (kDisconnected), computer time.
    QDateTime since() const { return m_since; }
    // What the picture says about itself: empty while live or before any camera.
    QString Text() const;
    // Looks at the frames now (the timer does it every kCheckPeriodMs).
    void Check();

signals:
    void stateChanged(StreamWatch::State state);
    // No frame for kStalledMs while connected; once per connection.
    void stalled();
    // No frame for more than kDeliveryStalledMs with the camera listed (false, once), and frames
    // again after that (true).
    void deliveryChanged(bool delivering);

private:
    void setState(State state, const QDateTime& since);

    std::function<uint32_t()> m_lastFrameTick;
    QTimer m_timer;
    State m_state = State::kIdle;
    QDateTime m_since;
    bool m_connected = false;
    bool m_stallReported = false;
    bool m_deliveryStalled = false;  // deliveryChanged(false) was the last said
    uint32_t m_noPictureFrom = 0;    // the tick the picture stopped at (kNoPicture)
    uint32_t m_seenTick = 0;         // the latest frame's tick as last looked at
    uint32_t m_quietFrom = 0;        // the latest frame's or the connection's tick, whichever later
    QDateTime m_lastFrameTime;       // computer time of the latest frame seen, if any
};
