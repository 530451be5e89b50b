#include "events/StationEvents.h"

#include "alarm/AlarmEpisodeTracker.h"
#include "alarm/AlarmWindow.h"
#include "events/AlarmPicture.h"
#include "events/DiscoveryJson.h"
#include "events/EventJson.h"
#include "events/MqttPublisher.h"
#include "settings/CompileInfo.h"
#include "settings/SettingStore.h"

StationEvents::StationEvents(const QString& settingsFolder) : m_SettingsFolder(settingsFolder) {
    m_PeakTimer.setInterval(kPeakPeriodMs);
    connect(&m_PeakTimer, &QTimer::timeout, this, &StationEvents::FollowPeak);
    connect(&m_HealthTimer, &QTimer::timeout, this, &StationEvents::PublishHealth);
    Reconfigure();
}

StationEvents::~StationEvents() {
    EndPublisher();
}

void StationEvents::EndPublisher() {
    if (m_pPublisher != nullptr) {
        // Its end still takes what the network brings for up to a second: none of it is ours to
        // act on any more.
        m_pPublisher->disconnect(this);
        m_pPublisher.reset();
    }
}

QString StationEvents::Station() const {
    return m_Settings.station;
}

void StationEvents::Reconfigure() {
    const MqttSettings settings = MqttSettings::Read(SettingStore::instance());
    if (m_pPublisher != nullptr && settings == m_Settings) {
        return;
    }
    const MqttSettings old = m_Settings;
    const bool wasPublishing = m_pPublisher != nullptr;
    EndPublisher();
    m_Settings = settings;
    m_HealthTimer.stop();
    if (settings.enabled) {
        m_pPublisher = std::make_unique<MqttPublisher>(settings, m_SettingsFolder);
        connect(m_pPublisher.get(), &MqttPublisher::stateChanged, this,
                &StationEvents::stateChanged);
        connect(m_pPublisher.get(), &MqttPublisher::messageReceived, this,
                &StationEvents::OnMessage);
        // A discovery message the old settings published goes, under its old name too.
        if (wasPublishing && old.discovery &&
            (!settings.discovery || DiscoveryJson::Topic(old) != DiscoveryJson::Topic(settings))) {
            m_pPublisher->PublishRetained(DiscoveryJson::Topic(old), QByteArray());
        }
        if (settings.discovery) {
            m_pPublisher->Subscribe((settings.discoveryPrefix + "/status").toUtf8());
            PublishDiscovery();
        }
        if (m_LastState) {
            PublishState(*m_LastState, m_bAlarmOn);
        }
        if (m_pHealth != nullptr && settings.healthSeconds > 0) {
            PublishHealth();
            m_HealthTimer.start(settings.healthSeconds * 1000);
        }
    }
    emit stateChanged();
}

void StationEvents::Watch(AlarmWindow* page, StorageKeeper* storage) {
    connect(storage, &StorageKeeper::passReported, this, &StationEvents::OnStorageReport);
    m_pTracker = page->episodeTracker();
    connect(m_pTracker, &AlarmEpisodeTracker::episodeStarted, this,
            &StationEvents::OnEpisodeStarted);
    connect(m_pTracker, &AlarmEpisodeTracker::episodeEnded, this, &StationEvents::OnEpisodeEnded);
    connect(page, &AlarmWindow::recordingStarted, this, &StationEvents::OnRecordingStarted);
    connect(page, &AlarmWindow::recordingFinished, this, &StationEvents::OnRecordingFinished);
}

void StationEvents::WatchHealth(StationHealth::Probes probes) {
    m_pHealth = std::make_unique<StationHealth>(std::move(probes));
    if (m_pPublisher != nullptr && m_Settings.healthSeconds > 0) {
        PublishHealth();
        m_HealthTimer.start(m_Settings.healthSeconds * 1000);
    }
}

void StationEvents::OnCameraConnected(const QString& name) {
    m_CameraName = name;
    m_bCameraConnected = true;
    if (m_pPublisher != nullptr) {
        m_pPublisher->Publish("camera", EventJson::Camera(Station(), "connected", name));
    }
}

void StationEvents::OnCameraDisconnected(const QString& name) {
    m_bCameraConnected = false;
    if (m_pPublisher != nullptr) {
        m_pPublisher->Publish("camera", EventJson::Camera(Station(), "disconnected", name));
    }
}

void StationEvents::OnCameraDelivery(bool delivering) {
    if (m_pPublisher != nullptr) {
        m_pPublisher->Publish(
            "camera",
            EventJson::Camera(Station(), delivering ? "delivering" : "stalled", m_CameraName));
    }
}

void StationEvents::OnEpisodeStarted(const AlarmEpisode& episode) {
    m_bAlarmOn = true;
    m_PeakTimer.start();
    const bool unitChanged = episode.unitKind != m_nUnitKind;
    m_nUnitKind = episode.unitKind;
    if (m_pPublisher == nullptr) {
        m_LastState = episode;
        return;
    }
    m_pPublisher->Publish("alarm/start", EventJson::AlarmStart(Station(), episode));
    PublishState(episode, true);
    PublishPicture(episode, true);
    if (m_Settings.discovery) {
        m_pPublisher->Publish("alarm/event", EventJson::AlarmEvent(Station(), episode, true));
        if (unitChanged) {
            PublishDiscovery();
        }
    }
}

void StationEvents::OnEpisodeEnded(const AlarmEpisode& episode) {
    m_bAlarmOn = false;
    m_PeakTimer.stop();
    if (m_pPublisher == nullptr) {
        m_LastState = episode;
        return;
    }
    if (episode.lastSnapshot != episode.firstSnapshot) {
        PublishPicture(episode, false);
    }
    PublishState(episode, false);
    m_pPublisher->Publish("alarm/end", EventJson::AlarmEnd(Station(), episode));
    if (m_Settings.discovery) {
        m_pPublisher->Publish("alarm/event", EventJson::AlarmEvent(Station(), episode, false));
    }
}

void StationEvents::FollowPeak() {
    if (m_pTracker == nullptr || m_pPublisher == nullptr || !m_LastState) {
        return;
    }
    m_pTracker->Sync();
    const AlarmEpisode& open = m_pTracker->openEpisode();
    if (open.serial == m_LastState->serial && open.peakTemperature > m_LastState->peakTemperature) {
        PublishState(open, true);
    }
}

void StationEvents::PublishState(const AlarmEpisode& episode, bool on) {
    m_LastState = episode;
    m_pPublisher->PublishRetained(
        m_pPublisher->Topic("alarm/state"),
        EventJson::Compact(EventJson::AlarmState(Station(), episode, on)));
}

void StationEvents::PublishPicture(const AlarmEpisode& episode, bool first) {
    const QString name = first ? episode.firstSnapshot : episode.lastSnapshot;
    if (name.isEmpty()) {
        return;
    }
    const QString path = SettingStore::instance().alarmImagesPath() + '/' + name;
    const AlarmPicture picture =
        AlarmPicture::Load(path, static_cast<qint64>(m_Settings.maxPictureKiB) * 1024);
    if (picture.png.isEmpty()) {
        qWarning("Mqtt: the alarm picture %s is not published (%s)", qUtf8Printable(path),
                 qUtf8Printable(picture.error));
        return;
    }
    m_pPublisher->PublishRetained(m_pPublisher->Topic("picture"), picture.png, true);
    m_pPublisher->Publish("alarm/picture",
                          EventJson::AlarmPicture(Station(), episode, first, picture));
}

void StationEvents::PublishDiscovery() {
    m_pPublisher->PublishRetained(
        DiscoveryJson::Topic(m_Settings),
        EventJson::Compact(DiscoveryJson::Device(m_Settings, m_nUnitKind, CompileVersion())));
}

void StationEvents::OnMessage(const QByteArray& topic, const QByteArray& payload) {
    // Home Assistant says "online" when it starts: it wants the discovery message again.
    if (m_Settings.discovery && topic == (m_Settings.discoveryPrefix + "/status").toUtf8() &&
        payload.trimmed() == "online") {
        PublishDiscovery();
    }
}

void StationEvents::PublishHealth() {
    if (m_pPublisher == nullptr || m_pHealth == nullptr) {
        return;
    }
    StationHealth::Facts facts = m_pHealth->Measure(m_bCameraConnected);
    facts.removedTodayBytes = RemovedToday(0);
    facts.outboxFailing = m_pPublisher->outbox().Failing();
    facts.outboxPending = m_pPublisher->outbox().PendingCount();
    facts.outboxDropped = m_pPublisher->outbox().DroppedCount();
    facts.version = CompileVersion();
    facts.periodSeconds = m_Settings.healthSeconds;
    m_pPublisher->PublishRetained(m_pPublisher->Topic("health"),
                                  EventJson::Compact(EventJson::Health(Station(), facts)));
}

uint64_t StationEvents::RemovedToday(uint64_t adding) {
    if (m_RemovedDay != QDate::currentDate()) {
        m_RemovedDay = QDate::currentDate();
        m_nRemovedTodayBytes = 0;
    }
    return m_nRemovedTodayBytes += adding;
}

void StationEvents::OnRecordingStarted(const QString& path, bool alarm) {
    if (m_pPublisher != nullptr) {
        m_pPublisher->Publish("recording", EventJson::Recording(Station(), true, path, alarm));
    }
}

void StationEvents::OnRecordingFinished(const QString& path, bool alarm) {
    if (m_pPublisher != nullptr) {
        m_pPublisher->Publish("recording", EventJson::Recording(Station(), false, path, alarm));
    }
}

void StationEvents::OnStorageReport(const StorageKeeper::Report& report) {
    RemovedToday(report.episodeBytes + report.manualBytes);
    if (m_pPublisher == nullptr) {
        return;
    }
    for (const QJsonObject& event : EventJson::Storage(Station(), report)) {
        m_pPublisher->Publish("storage", event);
    }
}
