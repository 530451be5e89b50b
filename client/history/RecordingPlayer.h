// Plays one recording in place on the History page: the picture scaled into the space with its
// proportions kept (on black), play/pause, a seek bar, frame steps, the position "mm:ss / mm:ss"
// and, for a damaged file, what is lost. Space plays and pauses, comma and period step a frame;
// the arrow keys are left to the page.
//
// Threads: the widget lives on the GUI thread. Opening and decoding run on the player's own
// worker thread ("Player"), which alone owns the RecordingDecoder. The GUI thread hands it
// commands through a queue guarded by State::mutex, with State::wake to wake it; it hands back
// pictures and news through State::mailbox (its own lock), read on the GUI thread when the
// mailbox's fd wakes a QSocketNotifier. The worker never touches the widget, so once the widget
// is gone nothing it sends is ever read. Frames are sent when their timestamps fall due (real
// time), and at most kMaxQueuedFrames wait for the GUI thread. Opening, closing, seeking and
// stepping start a new generation; news of an older one are dropped on arrival.
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>
#include <thread>

class QLabel;
class QSlider;
class QSocketNotifier;
class QToolButton;

class RecordingPlayer : public QWidget {
    Q_OBJECT

public:
    static constexpr int kMaxQueuedFrames = 2;
    // The longest the destructor waits for the worker (inside a slow open or a seek's decoding);
    // after that the worker is left to end on its own, with nobody to tell.
    static constexpr int kCloseWaitMs = 60;

    explicit RecordingPlayer(QWidget* parent = nullptr);
    ~RecordingPlayer() override;

    // Opens `path` and shows its first picture, paused. Returns at once; opened() or failed()
    // follows.
    void Open(const QString& path);
    // Shows nothing and lets the file go.
    void Close();
    void Play();
    void Pause();
    void TogglePlay();
    // Shows the frame at `us` or the first after it (the last frame for a time past the end).
    void Seek(int64_t us);
    // Shows the frame `frames` away from the one on screen (-1: the previous one), paused.
    void Step(int frames);

    bool IsPlaying() const { return m_bPlaying; }
    // The time of the frame on screen.
    int64_t PositionUs() const { return m_PositionUs; }
    int64_t DurationUs() const { return m_DurationUs; }
    const QImage& Picture() const { return m_Picture; }
    // The failure or damage shown under the picture; empty when none.
    QString Reason() const;
    QString PositionText() const;

signals:
    void opened(qint64 durationUs, int frames);
    void frameShown(qint64 timestampUs);
    // Playback reached the last playable frame.
    void ended();
    void failed(const QString& reason);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Command;
    struct News;
    struct State;

    // Worker thread.
    static void Run(const std::shared_ptr<State>& state);
    static void Handle(State& state, const Command& command);
    // Sends the frame decoded (Run waited for its time), or decodes the next one.
    static void PlayOn(State& state);
    // The next frame into State::ready; at the end tells the GUI thread and stops playing.
    static bool Decode(State& state);
    // Hands State::ready to the GUI thread once it has room for it; the first frame sent after
    // a stop, or one sent late, sets the playback clock.
    static void Send(State& state);

    // GUI thread.
    void Queue(Command command);
    void Deliver();
    // Back to no file: nothing shown, controls off until a file opens.
    void Reset(const QString& path);
    void EnableControls(bool enabled);
    void SetPlaying(bool playing);
    void SetReason(const QString& reason);
    void ShowPosition();

    QWidget* m_pPicture;
    QLabel* m_pReason;
    QToolButton* m_pStepBack;
    QToolButton* m_pPlay;
    QToolButton* m_pStepForward;
    QSlider* m_pSeek;
    QLabel* m_pPosition;
    QSocketNotifier* m_pNotifier;

    bool m_bOpen = false;  // a file is open or being opened
    bool m_bPlaying = false;
    bool m_bAtEnd = false;  // the worker said it played the last frame
    uint64_t m_Generation = 0;
    int64_t m_PositionUs = 0;
    int64_t m_DurationUs = 0;
    QImage m_Picture;  // as decoded
    QImage m_Scaled;   // as shown
    bool m_bRescale = false;
    QString m_Path;

    // Shared with the worker, which outlives the widget when it does not stop in time.
    std::shared_ptr<State> m_State;
    std::thread m_Thread;
};
