#include "history/RecordingPlayer.h"

#include <libyuv/scale_argb.h>
#include <pthread.h>

#include <QFile>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QSlider>
#include <QSocketNotifier>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <utility>

#include "history/RecordingDecoder.h"
#include "platform/EventMailbox.h"

namespace {

using Clock = std::chrono::steady_clock;

enum class Glyph { kStepBack, kPlay, kPause, kStepForward };

// The transport buttons' symbols, drawn in the theme's light grey (the style's own media icons
// are dark and vanish on the dark page); a dimmer copy for a disabled button.
QIcon GlyphIcon(Glyph glyph) {
    QIcon icon;
    for (const auto& [mode, colour] : {std::pair{QIcon::Normal, QColor("#d6d6d6")},
                                       std::pair{QIcon::Disabled, QColor("#5c5c5c")}}) {
        QPixmap pixmap(32, 32);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        const auto triangle = [&painter](double from, double to) {  // pointing right if from < to
            painter.drawPolygon(QPolygonF({{from, 6}, {to, 16}, {from, 26}}));
        };
        switch (glyph) {
            case Glyph::kPlay:
                triangle(9, 25);
                break;
            case Glyph::kPause:
                painter.drawRect(QRectF(9, 7, 5, 18));
                painter.drawRect(QRectF(18, 7, 5, 18));
                break;
            case Glyph::kStepBack:
                painter.drawRect(QRectF(7, 7, 4, 18));
                triangle(25, 12);
                break;
            case Glyph::kStepForward:
                triangle(7, 20);
                painter.drawRect(QRectF(21, 7, 4, 18));
                break;
        }
        painter.end();
        icon.addPixmap(pixmap, mode);
    }
    return icon;
}

// A frame this late (the GUI thread was busy) restarts the clock instead of rushing the next
// ones out to catch up.
constexpr auto kMaxLate = std::chrono::milliseconds(200);

QString Minutes(int64_t us) {
    const int64_t seconds = us / 1000000;
    return QStringLiteral("%1:%2")
        .arg(seconds / 60, 2, 10, QChar('0'))
        .arg(seconds % 60, 2, 10, QChar('0'));
}

}  // namespace

struct RecordingPlayer::Command {
    enum class Kind : uint8_t { kOpen, kClose, kPlay, kPause, kSeek, kStep };
    explicit Command(Kind k) : kind(k) {}
    Kind kind;
    uint64_t generation = 0;
    std::string path;   // kOpen
    int64_t us = 0;     // kSeek: the target
    int frames = 0;     // kStep
    bool play = false;  // kSeek: playing on from there
};

struct RecordingPlayer::News {
    enum class Kind : uint8_t { kOpened, kFailed, kFrame, kEnded };
    News(Kind k, uint64_t g) : kind(k), generation(g) {}
    Kind kind;
    uint64_t generation;
    int64_t us = 0;  // kFrame: its time; kOpened: the duration
    int frames = 0;  // kOpened
    QImage image;    // kFrame
    QString text;    // kFailed: why; kOpened, kEnded: what is lost, if anything
};

struct RecordingPlayer::State {
    struct Decoded {
        QImage image;
        int64_t us = 0;
    };

    // Guarded by mutex.
    std::mutex mutex;
    std::condition_variable wake;  // a command, the stop, room for a frame, the worker's end
    std::deque<Command> commands;
    bool stop = false;
    bool exited = false;
    int framesQueued = 0;  // sent, not yet taken by the GUI thread

    EventMailbox<News> mailbox;  // its own lock

    // Worker thread only.
    std::unique_ptr<RecordingDecoder> decoder;
    uint64_t generation = 0;  // of the command handled last; news carry it
    bool playing = false;
    std::optional<Decoded> ready;  // decoded, not sent yet
    int64_t lastUs = -1;           // the frame the decoder returned last
    int64_t sentUs = 0;            // the frame sent to the GUI thread last
    bool anchored = false;         // the clock below is set
    Clock::time_point anchorTime;  // when the frame at anchorUs was sent
    int64_t anchorUs = 0;
};

RecordingPlayer::RecordingPlayer(QWidget* parent)
    : QWidget(parent),
      m_pPicture(new QWidget(this)),
      m_pReason(new QLabel(this)),
      m_pStepBack(new QToolButton(this)),
      m_pPlay(new QToolButton(this)),
      m_pStepForward(new QToolButton(this)),
      m_pSeek(new QSlider(Qt::Horizontal, this)),
      m_pPosition(new QLabel(this)),
      m_State(std::make_shared<State>()) {
    m_pNotifier = new QSocketNotifier(m_State->mailbox.fd(), QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &RecordingPlayer::Deliver);

    // The player keeps the keyboard focus: a focused button would take Space, the slider the
    // arrow keys the page's snapshot strip uses.
    setFocusPolicy(Qt::StrongFocus);
    m_pPicture->setObjectName("PlayerPicture");
    m_pPicture->setAttribute(Qt::WA_OpaquePaintEvent);
    m_pPicture->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    m_pPicture->setMinimumSize(120, 160);
    m_pPicture->installEventFilter(this);
    m_pReason->setObjectName("PlayerReason");
    m_pReason->setWordWrap(true);
    m_pReason->hide();
    const struct {
        QToolButton* button;
        const char* name;
        Glyph icon;
        QString text;
        QString tip;
    } buttons[] = {
        {m_pStepBack, "PlayerStepBack", Glyph::kStepBack, tr("Previous frame"),
         tr("Previous frame (,)")},
        {m_pPlay, "PlayerPlay", Glyph::kPlay, tr("Play"), tr("Play or pause (Space)")},
        {m_pStepForward, "PlayerStepForward", Glyph::kStepForward, tr("Next frame"),
         tr("Next frame (.)")},
    };
    for (const auto& b : buttons) {
        b.button->setObjectName(b.name);
        b.button->setIcon(GlyphIcon(b.icon));
        b.button->setText(b.text);
        b.button->setToolTip(b.tip);
        b.button->setFocusPolicy(Qt::NoFocus);
    }
    m_pSeek->setObjectName("PlayerSeek");
    m_pSeek->setFocusPolicy(Qt::NoFocus);
    m_pPosition->setObjectName("PlayerPosition");
    connect(m_pStepBack, &QToolButton::clicked, this, [this] { Step(-1); });
    connect(m_pPlay, &QToolButton::clicked, this, &RecordingPlayer::TogglePlay);
    connect(m_pStepForward, &QToolButton::clicked, this, [this] { Step(1); });
    // Dragging and clicking beside the handle alike; the position is already the new one.
    connect(m_pSeek, &QSlider::actionTriggered, this,
            [this] { Seek(int64_t{m_pSeek->sliderPosition()} * 1000); });

    auto* controls = new QHBoxLayout;
    controls->addWidget(m_pStepBack);
    controls->addWidget(m_pPlay);
    controls->addWidget(m_pStepForward);
    controls->addWidget(m_pSeek, 1);
    controls->addWidget(m_pPosition);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_pPicture, 1);
    layout->addWidget(m_pReason);
    layout->addLayout(controls);

    Reset({});
    m_Thread = std::thread(&RecordingPlayer::Run, m_State);
}

RecordingPlayer::~RecordingPlayer() {
    delete m_pNotifier;  // it watches the mailbox's fd, which may close with the state
    std::unique_lock lock(m_State->mutex);
    m_State->stop = true;
    m_State->commands.clear();
    m_State->wake.notify_all();
    const bool exited = m_State->wake.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                                               [this] { return m_State->exited; });
    lock.unlock();
    if (exited) {
        m_Thread.join();
    } else {
        m_Thread.detach();  // it holds the state; it stops after what it is doing
    }
}

void RecordingPlayer::Open(const QString& path) {
    Reset(path);
    m_bOpen = true;
    Command command(Command::Kind::kOpen);
    command.path = QFile::encodeName(path).toStdString();
    Queue(std::move(command));
}

void RecordingPlayer::Close() {
    Reset({});
    Queue(Command(Command::Kind::kClose));
}

void RecordingPlayer::Play() {
    if (!m_bOpen || m_bPlaying) {
        return;
    }
    SetPlaying(true);
    if (m_bAtEnd) {
        Seek(0);  // again from the start
    } else {
        Queue(Command(Command::Kind::kPlay));
    }
}

void RecordingPlayer::Pause() {
    if (m_bPlaying) {
        SetPlaying(false);
        Queue(Command(Command::Kind::kPause));
    }
}

void RecordingPlayer::TogglePlay() {
    if (m_bPlaying) {
        Pause();
    } else {
        Play();
    }
}

void RecordingPlayer::Seek(int64_t us) {
    if (m_bOpen) {
        Command command(Command::Kind::kSeek);
        command.us = us;
        command.play = m_bPlaying;
        Queue(std::move(command));
    }
}

void RecordingPlayer::Step(int frames) {
    if (m_bOpen) {
        SetPlaying(false);
        Command command(Command::Kind::kStep);
        command.frames = frames;
        Queue(std::move(command));
    }
}

QString RecordingPlayer::Reason() const {
    return m_pReason->isHidden() ? QString() : m_pReason->text();
}

QString RecordingPlayer::PositionText() const {
    return m_pPosition->text();
}

bool RecordingPlayer::eventFilter(QObject* watched, QEvent* event) {
    if (watched != m_pPicture || event->type() != QEvent::Paint) {
        return QWidget::eventFilter(watched, event);
    }
    QPainter painter(m_pPicture);
    const QRect area = m_pPicture->rect();
    painter.fillRect(area, Qt::black);
    if (m_Picture.isNull()) {
        return true;
    }
    QRect target(QPoint(), m_Picture.size().scaled(area.size(), Qt::KeepAspectRatio));
    target.moveCenter(area.center());
    if (target.isEmpty()) {
        return true;
    }
    // Scaled here, once per frame and size, and drawn as it is: Qt's smooth scaling would hand
    // every frame to its thread pool. Averaged (box filter), the burnt-in time stays legible
    // also at half size.
    if (m_bRescale || m_Scaled.size() != target.size()) {
        if (m_Scaled.size() != target.size()) {
            m_Scaled = QImage(target.size(), QImage::Format_RGB32);
        }
        libyuv::ARGBScale(m_Picture.constBits(), static_cast<int>(m_Picture.bytesPerLine()),
                          m_Picture.width(), m_Picture.height(), m_Scaled.bits(),
                          static_cast<int>(m_Scaled.bytesPerLine()), target.width(),
                          target.height(), libyuv::kFilterBox);
        m_bRescale = false;
    }
    painter.drawImage(target.topLeft(), m_Scaled);
    return true;
}

void RecordingPlayer::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Space:
            TogglePlay();
            break;
        case Qt::Key_Comma:
            Step(-1);
            break;
        case Qt::Key_Period:
            Step(1);
            break;
        default:
            QWidget::keyPressEvent(event);
    }
}

void RecordingPlayer::Queue(Command command) {
    // Only a new file or a jump makes what was sent stale. The other commands keep it: the
    // frames are still in order (a step goes on from the last one sent), and an end that
    // arrives after Play was pressed is followed by another, as the worker has nothing more to
    // play either.
    const auto kind = command.kind;
    if (kind == Command::Kind::kOpen || kind == Command::Kind::kClose ||
        kind == Command::Kind::kSeek) {
        ++m_Generation;
        m_bAtEnd = false;
    }
    command.generation = m_Generation;
    std::lock_guard lock(m_State->mutex);
    std::deque<Command>& commands = m_State->commands;
    if (kind == Command::Kind::kOpen || kind == Command::Kind::kClose) {
        commands.clear();  // nothing queued for the old file matters
    } else if (!commands.empty() && commands.back().kind == kind &&
               (kind == Command::Kind::kSeek || kind == Command::Kind::kStep)) {
        // A drag or a held key: only where it ends up counts.
        command.frames += commands.back().frames;
        commands.pop_back();
    }
    commands.push_back(std::move(command));
    m_State->wake.notify_all();
}

void RecordingPlayer::Deliver() {
    std::vector<News> news = m_State->mailbox.Take();
    const auto frames = std::count_if(news.begin(), news.end(),
                                      [](const News& n) { return n.kind == News::Kind::kFrame; });
    if (frames > 0) {
        std::lock_guard lock(m_State->mutex);
        m_State->framesQueued -= static_cast<int>(frames);
        m_State->wake.notify_all();
    }
    for (News& n : news) {
        // Checked for each: a slot connected to a signal below may open or seek.
        if (n.generation != m_Generation) {
            continue;
        }
        switch (n.kind) {
            case News::Kind::kOpened:
                m_DurationUs = n.us;
                m_pSeek->setRange(0, static_cast<int>(n.us / 1000));
                EnableControls(true);
                SetReason(n.text);
                ShowPosition();
                emit opened(n.us, n.frames);
                break;
            case News::Kind::kFailed:
                m_bOpen = false;
                SetPlaying(false);
                SetReason(n.text);
                qWarning("RecordingPlayer: %s cannot be played: %s", qUtf8Printable(m_Path),
                         qUtf8Printable(n.text));
                emit failed(n.text);
                break;
            case News::Kind::kFrame:
                m_bAtEnd = false;
                m_Picture = std::move(n.image);
                m_bRescale = true;
                m_PositionUs = n.us;
                m_pPicture->update();
                ShowPosition();
                emit frameShown(n.us);
                break;
            case News::Kind::kEnded:
                m_bAtEnd = true;
                SetPlaying(false);
                if (!n.text.isEmpty()) {
                    SetReason(n.text);
                }
                m_pSeek->setValue(m_pSeek->maximum());
                m_pPosition->setText(Minutes(m_DurationUs) + " / " + Minutes(m_DurationUs));
                emit ended();
                break;
        }
    }
}

void RecordingPlayer::Reset(const QString& path) {
    m_Path = path;
    m_bOpen = false;
    SetPlaying(false);
    SetReason({});
    EnableControls(false);
    m_Picture = QImage();
    m_Scaled = QImage();
    m_PositionUs = 0;
    m_DurationUs = 0;
    m_pSeek->setRange(0, 0);
    ShowPosition();
    m_pPicture->update();
}

void RecordingPlayer::EnableControls(bool enabled) {
    for (QWidget* control :
         {static_cast<QWidget*>(m_pStepBack), static_cast<QWidget*>(m_pPlay),
          static_cast<QWidget*>(m_pStepForward), static_cast<QWidget*>(m_pSeek)}) {
        control->setEnabled(enabled);
    }
}

void RecordingPlayer::SetPlaying(bool playing) {
    m_bPlaying = playing;
    m_pPlay->setIcon(GlyphIcon(playing ? Glyph::kPause : Glyph::kPlay));
    m_pPlay->setText(playing ? tr("Pause") : tr("Play"));
}

void RecordingPlayer::SetReason(const QString& reason) {
    m_pReason->setText(reason);
    m_pReason->setVisible(!reason.isEmpty());
}

void RecordingPlayer::ShowPosition() {
    if (!m_pSeek->isSliderDown()) {
        m_pSeek->setValue(static_cast<int>(m_PositionUs / 1000));
    }
    m_pPosition->setText(Minutes(m_PositionUs) + " / " + Minutes(m_DurationUs));
}

void RecordingPlayer::Run(const std::shared_ptr<State>& shared) {
    ::pthread_setname_np(::pthread_self(), "Player");
    State& state = *shared;
    for (;;) {
        std::optional<Command> command;
        {
            std::unique_lock lock(state.mutex);
            const auto woken = [&] { return state.stop || !state.commands.empty(); };
            if (!state.playing) {
                state.wake.wait(lock, woken);
            } else if (state.ready && state.anchored) {
                const auto due =
                    state.anchorTime + std::chrono::microseconds(state.ready->us - state.anchorUs);
                state.wake.wait_until(lock, due, woken);
            }
            if (state.stop) {
                break;
            }
            if (!state.commands.empty()) {
                command = std::move(state.commands.front());
                state.commands.pop_front();
            }
        }
        if (command) {
            Handle(state, *command);
        } else {
            PlayOn(state);
        }
    }
    // The decoder goes on this thread, before the owner hears that the worker is done.
    state.decoder.reset();
    state.ready.reset();
    std::lock_guard lock(state.mutex);
    state.exited = true;
    state.wake.notify_all();
}

void RecordingPlayer::Handle(State& state, const Command& command) {
    state.generation = command.generation;
    switch (command.kind) {
        case Command::Kind::kOpen:
        case Command::Kind::kClose: {
            state.decoder.reset();
            state.ready.reset();
            state.playing = false;
            state.lastUs = -1;
            state.sentUs = 0;
            if (command.kind == Command::Kind::kClose) {
                return;
            }
            std::string error;
            state.decoder = RecordingDecoder::Open(command.path, &error);
            News news(state.decoder ? News::Kind::kOpened : News::Kind::kFailed, state.generation);
            if (!state.decoder) {
                news.text = QString::fromStdString(error);
                state.mailbox.Post(std::move(news));
                return;
            }
            news.us = state.decoder->DurationUs();
            news.frames = static_cast<int>(state.decoder->FrameCount());
            news.text = QString::fromStdString(state.decoder->ErrorText());
            state.mailbox.Post(std::move(news));
            if (Decode(state)) {
                Send(state);
            }
            return;
        }
        case Command::Kind::kPlay:
            // At the end the next decode fails and tells the GUI thread so again.
            state.playing = state.decoder != nullptr;
            state.anchored = false;
            return;
        case Command::Kind::kPause:
            state.playing = false;  // a frame decoded already stays ready
            return;
        case Command::Kind::kSeek:
        case Command::Kind::kStep:
            break;
    }
    if (!state.decoder) {
        return;
    }
    const std::vector<int64_t>& times = state.decoder->Timestamps();
    // Playing or not as the GUI thread saw it when it sent the command: an end it has not heard
    // of yet is dropped as stale.
    state.playing = command.play;
    int64_t target;
    if (command.kind == Command::Kind::kSeek) {
        target = std::clamp<int64_t>(command.us, 0, times.back());
    } else {
        const auto shown =
            std::lower_bound(times.begin(), times.end(), state.sentUs) - times.begin();
        const auto last = static_cast<int64_t>(times.size()) - 1;
        target = times[static_cast<size_t>(std::clamp<int64_t>(shown + command.frames, 0, last))];
    }
    state.anchored = false;
    if (state.ready && state.ready->us == target) {
        Send(state);
        return;
    }
    state.ready.reset();
    // Stepping on from the frame just decoded needs no seek: the decoder is already there.
    const auto at = std::lower_bound(times.begin(), times.end(), target);
    if (at == times.begin() || *(at - 1) != state.lastUs) {
        state.decoder->Seek(target);
    }
    if (!state.playing && Decode(state)) {
        Send(state);
    }
}

void RecordingPlayer::PlayOn(State& state) {
    if (state.ready) {
        Send(state);
    } else {
        Decode(state);  // Run waits for its time
    }
}

bool RecordingPlayer::Decode(State& state) {
    State::Decoded decoded;
    if (state.decoder->Next(&decoded.image, &decoded.us)) {
        state.lastUs = decoded.us;
        state.ready = std::move(decoded);
        return true;
    }
    state.playing = false;
    News news(News::Kind::kEnded, state.generation);
    news.text = QString::fromStdString(state.decoder->ErrorText());
    state.mailbox.Post(std::move(news));
    return false;
}

void RecordingPlayer::Send(State& state) {
    {
        std::unique_lock lock(state.mutex);
        state.wake.wait(lock, [&] { return state.stop || state.framesQueued < kMaxQueuedFrames; });
        if (state.stop) {
            return;
        }
        ++state.framesQueued;
    }
    const auto now = Clock::now();
    const auto due = state.anchorTime + std::chrono::microseconds(state.ready->us - state.anchorUs);
    if (!state.anchored || now - due > kMaxLate) {
        state.anchored = true;
        state.anchorTime = now;
        state.anchorUs = state.ready->us;
    }
    state.sentUs = state.ready->us;
    News news(News::Kind::kFrame, state.generation);
    news.us = state.ready->us;
    news.image = std::move(state.ready->image);
    state.ready.reset();
    state.mailbox.Post(std::move(news));
}
