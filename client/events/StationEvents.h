// What the station tells the broker: the camera coming and going, alarm episodes with their
// pictures and state, recordings, retention, the station's health and its Home Assistant
// discovery message (docs/events.md). A publisher runs only while "Mqtt/Enabled" is true;
// Reconfigure makes a new one with the settings as they are now.
//
// GUI thread only: every signal it takes is emitted there.
#pragma once

#include <QDate>
#include <QObject>
#include <QTimer>
#include <memory>
#include <optional>

#include "alarm/AlarmEpisode.h"
#include "events/MqttSettings.h"
#include "events/StationHealth.h"
#include "storage/StorageKeeper.h"

class AlarmEpisodeTracker;
class AlarmWindow;
class MqttPublisher;

class StationEvents : public QObject {
    Q_OBJECT
public:
    // How often the peak of an episode in progress is looked at for the alarm state.
    static constexpr int kPeakPeriodMs = 1000;

    // The outbox lives in `settingsFolder` (the folder of kvs.ini); a publisher is made when
    // "Mqtt/Enabled" is true.
    explicit StationEvents(const QString& settingsFolder);
    ~StationEvents() override;

    // Follows the live page's alarm episodes and recordings, and what retention removes.
    void Watch(AlarmWindow* page, StorageKeeper* storage);
    // Sends the health message every "Mqtt/HealthSeconds", from these probes.
    void WatchHealth(StationHealth::Probes probes);

    // Null while publishing is off.
    MqttPublisher* publisher() const { return m_pPublisher.get(); }

signals:
    // The publisher was made or ended, connected or lost, or its outbox changed.
    void stateChanged();

public slots:
    // Reads the "Mqtt" settings again; when they changed, the publisher is made afresh with them
    // (ending the old one waits at most a second), or ended when publishing is now off.
    void Reconfigure();
    void OnCameraConnected(const QString& name);
    void OnCameraDisconnected(const QString& name);
    // The camera's frames stopped for long while it stays listed (false), or came back (true).
    void OnCameraDelivery(bool delivering);
    void OnEpisodeStarted(const AlarmEpisode& episode);
    void OnEpisodeEnded(const AlarmEpisode& episode);
    void OnRecordingStarted(const QString& path, bool alarm);
    void OnRecordingFinished(const QString& path, bool alarm);
    void OnStorageReport(const StorageKeeper::Report& report);

private:
    QString Station() const;
    // Ends the publisher, if one runs (waiting at most its closing second).
    void EndPublisher();
    // Publishes the episode's first or last snapshot on the picture topic, and its companion.
    void PublishPicture(const AlarmEpisode& episode, bool first);
    void PublishState(const AlarmEpisode& episode, bool on);
    void PublishDiscovery();
    void PublishHealth();
    // The peak of the episode in progress, for the alarm state.
    void FollowPeak();
    void OnMessage(const QByteArray& topic, const QByteArray& payload);
    // The bytes retention removed today, after adding `adding` (a new day begins at 0).
    uint64_t RemovedToday(uint64_t adding);

    QString m_SettingsFolder;
    MqttSettings m_Settings;
    std::unique_ptr<MqttPublisher> m_pPublisher;
    QString m_CameraName;  // of the latest connection
    bool m_bCameraConnected = false;

    AlarmEpisodeTracker* m_pTracker = nullptr;
    std::optional<AlarmEpisode> m_LastState;  // the latest alarm state published
    bool m_bAlarmOn = false;
    int m_nUnitKind = 0;  // of the latest alarm: the discovered temperature's unit
    QTimer m_PeakTimer;

    std::unique_ptr<StationHealth> m_pHealth;
    QTimer m_HealthTimer;
    QDate m_RemovedDay;
    uint64_t m_nRemovedTodayBytes = 0;
};
