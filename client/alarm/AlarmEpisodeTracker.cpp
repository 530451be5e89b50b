#include "alarm/AlarmEpisodeTracker.h"

#include <QFileInfo>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <utility>

#include "alarm/AlarmLog.h"
#include "platform/TickClock.h"

namespace {

qint64 WallClockMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void CopyCameraTime(char (&to)[32], const char* from) {
    std::strncpy(to, from != nullptr ? from : "", sizeof to - 1);
    to[sizeof to - 1] = '\0';
}

}  // namespace

AlarmEpisodeTracker::AlarmEpisodeTracker(QObject* parent) : QObject(parent) {
    qRegisterMetaType<AlarmEpisode>();
    m_Timer.setSingleShot(true);
    connect(&m_Timer, &QTimer::timeout, this, &AlarmEpisodeTracker::Sync);
}

void AlarmEpisodeTracker::OnAlarmFrame(const char* displayTime, int32_t tenths, int unitKind) {
    const uint32_t now = TickClock::Now();
    const qint64 wallMs = WallClockMs();
    bool began = false;
    {
        std::lock_guard lock(m_Mutex);
        if (m_Live.serial != 0 && now - m_Live.lastTick >= kHoldMs) {
            if (m_nClosedCount < kClosedSlots) {
                m_Closed[m_nClosedCount++] = m_Live;
                m_Live.serial = 0;
            } else {
                ++m_nContinued;
            }
        }
        if (m_Live.serial == 0) {
            began = true;
            m_Live.serial = ++m_nSerials;
            m_Live.firstTick = now;
            m_Live.firstWallMs = wallMs;
            m_Live.peakTenths = tenths;
            m_Live.unitKind = unitKind;
            CopyCameraTime(m_Live.firstCameraTime, displayTime);
        } else if (tenths > m_Live.peakTenths) {
            m_Live.peakTenths = tenths;
            m_Live.unitKind = unitKind;
        }
        m_Live.lastTick = now;
        m_Live.lastWallMs = wallMs;
        CopyCameraTime(m_Live.lastCameraTime, displayTime);
    }
    if (began) {
        QMetaObject::invokeMethod(this, &AlarmEpisodeTracker::Sync, Qt::QueuedConnection);
    }
}

void AlarmEpisodeTracker::Collect(bool endNow) {
    std::array<CaptureFacts, kClosedSlots> closed;
    int closedCount = 0;
    quint64 continued = 0;
    CaptureFacts live;
    uint32_t now;
    bool ended = false;
    {
        std::lock_guard lock(m_Mutex);
        // Read under the lock: a frame taken in between would lie in this reading's future, and
        // the unsigned difference would end its episode.
        now = TickClock::Now();
        closedCount = std::exchange(m_nClosedCount, 0);
        std::copy_n(m_Closed.begin(), closedCount, closed.begin());
        continued = std::exchange(m_nContinued, 0);
        live = m_Live;
        if (live.serial != 0 && (endNow || now - live.lastTick >= kHoldMs)) {
            m_Live.serial = 0;
            ended = true;
        }
    }
    for (int i = 0; i < closedCount; ++i) {
        Finish(closed[i]);
    }
    if (continued != 0) {
        qWarning(
            "AlarmEpisodeTracker: the GUI thread was held up for more than %d alarm holds; "
            "%llu alarms after a hold went on in the episode before",
            kClosedSlots, static_cast<unsigned long long>(continued));
    }
    if (live.serial == 0) {
        m_Timer.stop();
        return;
    }
    if (ended) {
        Finish(live);
        m_Timer.stop();
        return;
    }
    Follow(live);
    if (!m_bStartEmitted && now - live.firstTick >= kStartWaitMs) {
        EmitStarted();
    }
    ArmTimer(live);
}

QString AlarmEpisodeTracker::episodeKey() const {
    return m_Episode.serial != 0 ? AlarmLog::ComputerTime(m_Episode.firstTime) : QString();
}

void AlarmEpisodeTracker::Follow(const CaptureFacts& facts) {
    if (m_Episode.serial != facts.serial) {
        m_Episode = AlarmEpisode{};
        m_Episode.serial = facts.serial;
        m_Episode.firstCameraTime = QString::fromLatin1(facts.firstCameraTime);
        m_Episode.firstTime = QDateTime::fromMSecsSinceEpoch(facts.firstWallMs);
        // An alarm recording still running from the episode before goes on for this one.
        m_Episode.recording = m_AlarmRecording;
        m_bStartEmitted = false;
    }
    m_Episode.lastCameraTime = QString::fromLatin1(facts.lastCameraTime);
    m_Episode.lastTime = QDateTime::fromMSecsSinceEpoch(facts.lastWallMs);
    m_Episode.peakTemperature = facts.peakTenths / 10.0;
    m_Episode.unitKind = facts.unitKind;
}

void AlarmEpisodeTracker::Finish(const CaptureFacts& facts) {
    Follow(facts);
    if (!m_bStartEmitted) {
        EmitStarted();
    }
    const AlarmEpisode episode = m_Episode;
    m_Episode = AlarmEpisode{};
    m_bStartEmitted = false;
    emit episodeEnded(episode);
}

void AlarmEpisodeTracker::EmitStarted() {
    m_bStartEmitted = true;
    emit episodeStarted(m_Episode);
}

void AlarmEpisodeTracker::ArmTimer(const CaptureFacts& facts) {
    const uint32_t now = TickClock::Now();
    // Frames keep coming without telling this thread: at the hold's end Sync looks again.
    uint32_t dueMs = kHoldMs - std::min(kHoldMs, now - facts.lastTick);
    if (!m_bStartEmitted) {
        dueMs = std::min(dueMs, kStartWaitMs - std::min(kStartWaitMs, now - facts.firstTick));
    }
    m_Timer.start(static_cast<int>(std::max<uint32_t>(dueMs, 1)));
}

void AlarmEpisodeTracker::OnSnapshotOutcome(const QString& file) {
    Sync();
    if (m_Episode.serial == 0) {
        return;  // its episode has ended already
    }
    if (!file.isEmpty()) {
        const QString name = QFileInfo(file).fileName();
        ++m_Episode.snapshots;
        if (m_Episode.firstSnapshot.isEmpty()) {
            m_Episode.firstSnapshot = name;
        }
        m_Episode.lastSnapshot = name;
    }
    if (!m_bStartEmitted) {
        EmitStarted();
    }
}

void AlarmEpisodeTracker::OnRecordingStarted(const QString& path, bool alarm) {
    if (!alarm) {
        return;
    }
    m_AlarmRecording = QFileInfo(path).fileName();
    Sync();
    if (m_Episode.serial != 0 && m_Episode.recording.isEmpty()) {
        m_Episode.recording = m_AlarmRecording;
    }
}

void AlarmEpisodeTracker::OnRecordingFinished(const QString& path, bool alarm) {
    if (alarm && QFileInfo(path).fileName() == m_AlarmRecording) {
        m_AlarmRecording.clear();
    }
}
