#include "video/StreamWatch.h"

#include <utility>

#include "platform/TickClock.h"

StreamWatch::StreamWatch(std::function<uint32_t()> lastFrameTick, QObject* parent)
    : QObject(parent), m_lastFrameTick(std::move(lastFrameTick)) {
    connect(&m_timer, &QTimer::timeout, this, &StreamWatch::Check);
    m_timer.start(kCheckPeriodMs);
}

void StreamWatch::Connected() {
    m_connected = true;
    m_stallReported = false;
    m_quietFrom = TickClock::Now();
    m_seenTick = m_lastFrameTick();
}

void StreamWatch::Disconnected() {
    m_connected = false;
    setState(State::kDisconnected, QDateTime::currentDateTime());
}

void StreamWatch::Reopening() {
    m_connected = false;
}

QString StreamWatch::Text() const {
    const QString time = m_since.toString("HH:mm:ss");
    switch (m_state) {
        case State::kNoPicture:
            return tr("No picture since %1").arg(time);
        case State::kDisconnected:
            return tr("Camera disconnected at %1").arg(time);
        default:
            return QString();
    }
}

void StreamWatch::Check() {
    const uint32_t now = TickClock::Now();
    const uint32_t tick = m_lastFrameTick();
    if (tick != m_seenTick) {
        m_seenTick = tick;
        m_quietFrom = tick;
        m_lastFrameTime = QDateTime::currentDateTime().addMSecs(-qint64{now - tick});
        m_stallReported = false;
        if (m_connected) {
            setState(State::kLive, QDateTime());
        }
        if (m_deliveryStalled) {
            m_deliveryStalled = false;
            emit deliveryChanged(true);
        }
        return;
    }
    // Counted across the reopenings, which leave the state as it is.
    if (m_state == State::kNoPicture && !m_deliveryStalled &&
        now - m_noPictureFrom > kDeliveryStalledMs) {
        m_deliveryStalled = true;
        emit deliveryChanged(false);
    }
    if (!m_connected) {
        return;
    }
    const uint32_t quiet = now - m_quietFrom;
    if (quiet >= kNoPictureMs && m_state != State::kNoPicture && m_state != State::kDisconnected) {
        m_noPictureFrom = m_quietFrom;
        setState(State::kNoPicture, m_lastFrameTime.isValid()
                                        ? m_lastFrameTime
                                        : QDateTime::currentDateTime().addMSecs(-qint64{quiet}));
    }
    if (quiet >= kStalledMs && !m_stallReported) {
        m_stallReported = true;
        emit stalled();
    }
}

void StreamWatch::setState(State state, const QDateTime& since) {
    if (state == m_state) {
        return;
    }
    m_state = state;
    m_since = since;
    emit stateChanged(state);
}
