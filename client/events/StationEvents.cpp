#include "events/StationEvents.h"

#include "alarm/AlarmEpisodeTracker.h"
#include "alarm/AlarmWindow.h"
#include "events/EventJson.h"
#include "events/MqttPublisher.h"
#include "settings/SettingStore.h"

std::unique_ptr<StationEvents> StationEvents::CreateIfEnabled(const QString& settingsFolder) {
    const MqttSettings settings = MqttSettings::Read(SettingStore::instance());
    if (!settings.enabled) {
        return nullptr;
    }
    return std::unique_ptr<StationEvents>(
        new StationEvents(std::make_unique<MqttPublisher>(settings, settingsFolder)));
}

StationEvents::StationEvents(std::unique_ptr<MqttPublisher> publisher)
    : m_pPublisher(std::move(publisher)) {}

StationEvents::~StationEvents() = default;

QString StationEvents::Station() const {
    return m_pPublisher->settings().station;
}

void StationEvents::Watch(AlarmWindow* page, StorageKeeper* storage) {
    connect(storage, &StorageKeeper::passReported, this, &StationEvents::OnStorageReport);
    AlarmEpisodeTracker* tracker = page->episodeTracker();
    connect(tracker, &AlarmEpisodeTracker::episodeStarted, this, &StationEvents::OnEpisodeStarted);
    connect(tracker, &AlarmEpisodeTracker::episodeEnded, this, &StationEvents::OnEpisodeEnded);
    connect(page, &AlarmWindow::recordingStarted, this, &StationEvents::OnRecordingStarted);
    connect(page, &AlarmWindow::recordingFinished, this, &StationEvents::OnRecordingFinished);
}

void StationEvents::OnCameraConnected(const QString& name) {
    m_CameraName = name;
    m_pPublisher->Publish("camera", EventJson::Camera(Station(), "connected", name));
}

void StationEvents::OnCameraDisconnected(const QString& name) {
    m_pPublisher->Publish("camera", EventJson::Camera(Station(), "disconnected", name));
}

void StationEvents::OnCameraDelivery(bool delivering) {
    m_pPublisher->Publish(
        "camera",
        EventJson::Camera(Station(), delivering ? "delivering" : "stalled", m_CameraName));
}

void StationEvents::OnEpisodeStarted(const AlarmEpisode& episode) {
    m_pPublisher->Publish("alarm/start", EventJson::AlarmStart(Station(), episode));
}

void StationEvents::OnEpisodeEnded(const AlarmEpisode& episode) {
    m_pPublisher->Publish("alarm/end", EventJson::AlarmEnd(Station(), episode));
}

void StationEvents::OnRecordingStarted(const QString& path, bool alarm) {
    m_pPublisher->Publish("recording", EventJson::Recording(Station(), true, path, alarm));
}

void StationEvents::OnRecordingFinished(const QString& path, bool alarm) {
    m_pPublisher->Publish("recording", EventJson::Recording(Station(), false, path, alarm));
}

void StationEvents::OnStorageReport(const StorageKeeper::Report& report) {
    for (const QJsonObject& event : EventJson::Storage(Station(), report)) {
        m_pPublisher->Publish("storage", event);
    }
}
