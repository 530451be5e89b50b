// The Home Assistant MQTT device discovery message of this station (docs/events.md): one
// retained message under "<discovery prefix>/device/<object id>/config" that names the station
// as a device with its entities, every one read from the station's own topics through a value
// template, and its availability from the retained status topic.
//
// Plain functions of values; any thread.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include "events/MqttSettings.h"

class DiscoveryJson {
public:
    // The id the device and its entities' unique ids begin with: "calorview_", the station name
    // with every character but letters, digits, '_' and '-' made '_', and 8 hex digits of a hash
    // of the name as given, so that names differing only in such characters stay apart. The same
    // name gives the same id on every run.
    static QString ObjectId(const QString& station);
    static QByteArray Topic(const MqttSettings& settings);
    // The message; `unitKind` is the unit of the temperatures (EventJson::UnitText), `version`
    // the program's.
    static QJsonObject Device(const MqttSettings& settings, int unitKind, const QString& version);
};
