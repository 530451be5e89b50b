// What the station tells the broker: the camera coming and going, alarm episodes and recordings,
// turned into events for the publisher (docs/events.md). Made only when "Mqtt/Enabled" is true.
//
// GUI thread only: every signal it takes is emitted there.
#pragma once

#include <QObject>
#include <memory>

#include "alarm/AlarmEpisode.h"
#include "storage/StorageKeeper.h"

class AlarmWindow;
class MqttPublisher;

class StationEvents : public QObject {
    Q_OBJECT
public:
    // The events of this run, or null when "Mqtt/Enabled" is off; the outbox lives in
    // `settingsFolder` (the folder of kvs.ini).
    static std::unique_ptr<StationEvents> CreateIfEnabled(const QString& settingsFolder);
    ~StationEvents() override;

    // Follows the live page's alarm episodes and recordings, and what retention removes.
    void Watch(AlarmWindow* page, StorageKeeper* storage);

    MqttPublisher* publisher() const { return m_pPublisher.get(); }

public slots:
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
    explicit StationEvents(std::unique_ptr<MqttPublisher> publisher);
    QString Station() const;

    std::unique_ptr<MqttPublisher> m_pPublisher;
    QString m_CameraName;  // of the latest connection
};
