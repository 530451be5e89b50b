// The payloads of the published events (docs/events.md): compact JSON objects, each with a
// unique "id" (a UUID, for a subscriber to drop duplicates), the "station", the computer "time"
// (ISO 8601 with the UTC offset) and, where there is one, the camera's "cameraTime" as the camera
// gave it.
//
// Plain functions of values; any thread.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include "alarm/AlarmEpisode.h"
#include "events/AlarmPicture.h"
#include "events/StationHealth.h"
#include "storage/StorageKeeper.h"

class EventJson {
public:
    // "<prefix>/status", retained: {"status": "online"} or {"status": "offline"}.
    static QJsonObject Status(const QString& station, bool online);
    // "<prefix>/camera": {"event": "connected" | "disconnected" | "stalled" | "delivering",
    // "camera": name}.
    static QJsonObject Camera(const QString& station, const QString& event, const QString& name);
    // "<prefix>/alarm/start": the first alarm frame: its times, temperature and unit, snapshot.
    static QJsonObject AlarmStart(const QString& station, const AlarmEpisode& episode);
    // "<prefix>/alarm/end": the episode's summary.
    static QJsonObject AlarmEnd(const QString& station, const AlarmEpisode& episode);
    // "<prefix>/recording": {"event": "started" | "finished", "file": name, "folder": "manual" |
    // "alarm"}; `path` may hold folders, only the file name is sent.
    static QJsonObject Recording(const QString& station, bool started, const QString& path,
                                 bool alarm);
    // "<prefix>/storage": what a retention pass removed ("event": "removed"), and its warnings
    // ("floorUnmet", "episodeOverFloor"); one object per event the report holds.
    static QList<QJsonObject> Storage(const QString& station, const StorageKeeper::Report& report);

    // "<prefix>/alarm/picture": the picture just published on "<prefix>/picture" ("first" or
    // "last" of the episode), its snapshot's name, PNG bytes and size.
    static QJsonObject AlarmPicture(const QString& station, const AlarmEpisode& episode, bool first,
                                    const ::AlarmPicture& picture);
    // "<prefix>/alarm/state", retained: {"state": "ON" | "OFF", "temperature": the episode's peak,
    // "unit", "episode"}.
    static QJsonObject AlarmState(const QString& station, const AlarmEpisode& episode, bool on);
    // "<prefix>/alarm/event", for the discovered event entity: {"event_type": "start" | "end",
    // "episode", "temperature", "unit"}.
    static QJsonObject AlarmEvent(const QString& station, const AlarmEpisode& episode, bool start);
    // "<prefix>/health", retained.
    static QJsonObject Health(const QString& station, const StationHealth::Facts& facts);

    // ISO 8601 with milliseconds and the UTC offset ("2026-12-08T09:30:00.125+01:00").
    static QString TimeText(const QDateTime& time);
    // The unit sign as text: "F" for 1, "K" for 2, "C" for anything else.
    static QString UnitText(int unitKind);
    static QByteArray Compact(const QJsonObject& object);

private:
    // id, station and time.
    static QJsonObject Base(const QString& station, const QDateTime& time);
    // Base, now, with `key`: `value`, the episode's number and its peak with the unit.
    static QJsonObject EpisodePeak(const QString& station, const AlarmEpisode& episode,
                                   const char* key, const char* value);
};
