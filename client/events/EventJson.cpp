#include "events/EventJson.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QUuid>

QString EventJson::TimeText(const QDateTime& time) {
    // A local time prints without its offset; one fixed to it prints "+hh:mm" (or "Z").
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODateWithMs);
}

QString EventJson::UnitText(int unitKind) {
    switch (unitKind) {
        case 1:
            return QStringLiteral("F");
        case 2:
            return QStringLiteral("K");
        default:
            return QStringLiteral("C");
    }
}

QByteArray EventJson::Compact(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject EventJson::Base(const QString& station, const QDateTime& time) {
    return QJsonObject{{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)},
                       {"station", station},
                       {"time", TimeText(time)}};
}

QJsonObject EventJson::Status(const QString& station, bool online) {
    QJsonObject object = Base(station, QDateTime::currentDateTime());
    object.insert("status", online ? "online" : "offline");
    return object;
}

QJsonObject EventJson::Camera(const QString& station, const QString& event, const QString& name) {
    QJsonObject object = Base(station, QDateTime::currentDateTime());
    object.insert("event", event);
    object.insert("camera", name);
    return object;
}

QJsonObject EventJson::AlarmStart(const QString& station, const AlarmEpisode& episode) {
    QJsonObject object = Base(station, episode.firstTime);
    object.insert("cameraTime", episode.firstCameraTime);
    object.insert("episode", static_cast<qint64>(episode.serial));
    object.insert("temperature", episode.peakTemperature);
    object.insert("unit", UnitText(episode.unitKind));
    object.insert("snapshot", episode.firstSnapshot);
    return object;
}

QJsonObject EventJson::AlarmEnd(const QString& station, const AlarmEpisode& episode) {
    QJsonObject object = Base(station, QDateTime::currentDateTime());
    object.insert("episode", static_cast<qint64>(episode.serial));
    object.insert("firstTime", TimeText(episode.firstTime));
    object.insert("lastTime", TimeText(episode.lastTime));
    object.insert("firstCameraTime", episode.firstCameraTime);
    object.insert("lastCameraTime", episode.lastCameraTime);
    object.insert("peakTemperature", episode.peakTemperature);
    object.insert("unit", UnitText(episode.unitKind));
    object.insert("snapshots", episode.snapshots);
    object.insert("firstSnapshot", episode.firstSnapshot);
    object.insert("lastSnapshot", episode.lastSnapshot);
    object.insert("recording", episode.recording);
    return object;
}

QList<QJsonObject> EventJson::Storage(const QString& station, const StorageKeeper::Report& report) {
    const auto bytes = [](uint64_t value) { return static_cast<qint64>(value); };
    QList<QJsonObject> events;
    if (report.episodes > 0 || report.manualFiles > 0 || report.failedFiles > 0) {
        QJsonObject object = Base(station, QDateTime::currentDateTime());
        object.insert("event", "removed");
        object.insert("episodes", report.episodes);
        object.insert("episodeBytes", bytes(report.episodeBytes));
        object.insert("oldest", report.oldest);
        object.insert("newest", report.newest);
        object.insert("files", report.manualFiles);
        object.insert("fileBytes", bytes(report.manualBytes));
        object.insert("failed", report.failedFiles);
        object.insert("freeBefore", bytes(report.freeBefore));
        object.insert("freeAfter", bytes(report.freeAfter));
        object.insert("floorBytes", bytes(report.floorBytes));
        events.append(object);
    }
    if (report.floorUnmet) {
        QJsonObject object = Base(station, QDateTime::currentDateTime());
        object.insert("event", "floorUnmet");
        object.insert("freeBytes", bytes(report.freeAfter));
        object.insert("floorBytes", bytes(report.floorBytes));
        events.append(object);
    }
    if (report.episodeOverFloor != 0) {
        QJsonObject object = Base(station, QDateTime::currentDateTime());
        object.insert("event", "episodeOverFloor");
        object.insert("episodeBytes", bytes(report.episodeOverFloor));
        object.insert("floorBytes", bytes(report.floorBytes));
        events.append(object);
    }
    return events;
}

QJsonObject EventJson::Recording(const QString& station, bool started, const QString& path,
                                 bool alarm) {
    QJsonObject object = Base(station, QDateTime::currentDateTime());
    object.insert("event", started ? "started" : "finished");
    object.insert("file", QFileInfo(path).fileName());
    object.insert("folder", alarm ? "alarm" : "manual");
    return object;
}

QJsonObject EventJson::AlarmPicture(const QString& station, const AlarmEpisode& episode, bool first,
                                    const ::AlarmPicture& picture) {
    QJsonObject object = Base(station, QDateTime::currentDateTime());
    object.insert("episode", static_cast<qint64>(episode.serial));
    object.insert("picture", first ? "first" : "last");
    object.insert("snapshot", first ? episode.firstSnapshot : episode.lastSnapshot);
    object.insert("bytes", static_cast<qint64>(picture.png.size()));
    object.insert("width", picture.width);
    object.insert("height", picture.height);
    object.insert("scaled", picture.scaled);
    return object;
}

QJsonObject EventJson::EpisodePeak(const QString& station, const AlarmEpisode& episode,
                                   const char* key, const char* value) {
    QJsonObject object = Base(station, QDateTime::currentDateTime());
    object.insert(key, value);
    object.insert("episode", static_cast<qint64>(episode.serial));
    object.insert("temperature", episode.peakTemperature);
    object.insert("unit", UnitText(episode.unitKind));
    return object;
}

QJsonObject EventJson::AlarmState(const QString& station, const AlarmEpisode& episode, bool on) {
    return EpisodePeak(station, episode, "state", on ? "ON" : "OFF");
}

QJsonObject EventJson::AlarmEvent(const QString& station, const AlarmEpisode& episode, bool start) {
    return EpisodePeak(station, episode, "event_type", start ? "start" : "end");
}

QJsonObject EventJson::Health(const QString& station, const StationHealth::Facts& facts) {
    QJsonObject object = StationHealth::Json(facts);
    const QJsonObject base = Base(station, QDateTime::currentDateTime());
    for (auto it = base.begin(); it != base.end(); ++it) {
        object.insert(it.key(), it.value());
    }
    return object;
}
