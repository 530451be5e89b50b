#include "events/DiscoveryJson.h"

#include <QCryptographicHash>
#include <QJsonArray>

#include "events/EventJson.h"

QString DiscoveryJson::ObjectId(const QString& station) {
    QString id = "calorview_";
    for (const QChar c : station) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-';
        id += plain ? c : QChar('_');
    }
    const QByteArray hash =
        QCryptographicHash::hash(station.toUtf8(), QCryptographicHash::Sha256).toHex().left(8);
    return id + '_' + QString::fromLatin1(hash);
}

QByteArray DiscoveryJson::Topic(const MqttSettings& settings) {
    return (settings.discoveryPrefix + "/device/" + ObjectId(settings.station) + "/config")
        .toUtf8();
}

QJsonObject DiscoveryJson::Device(const MqttSettings& settings, int unitKind,
                                  const QString& version) {
    const QString id = ObjectId(settings.station);
    const QString prefix = settings.topicPrefix + '/';
    const QString unit = EventJson::UnitText(unitKind);
    const QString unitSign = unit == "K" ? QStringLiteral("K") : QString("°") + unit;

    const auto component = [&](const QString& key, const QString& platform, const QString& name,
                               const QString& topic, QJsonObject fields) {
        fields.insert("p", platform);
        fields.insert("name", name);
        fields.insert("unique_id", id + '_' + key);
        fields.insert(platform == "image" ? "image_topic" : "state_topic", prefix + topic);
        return std::pair{id + '_' + key, fields};
    };
    const std::pair<QString, QJsonObject> components[] = {
        component("alarm", "binary_sensor", "Fever alarm", "alarm/state",
                  {{"device_class", "heat"},
                   {"value_template", "{{ value_json.state }}"},
                   {"payload_on", "ON"},
                   {"payload_off", "OFF"}}),
        component("peak", "sensor", "Alarm temperature", "alarm/state",
                  {{"device_class", "temperature"},
                   {"unit_of_measurement", unitSign},
                   {"state_class", "measurement"},
                   {"value_template", "{{ value_json.temperature }}"}}),
        component("picture", "image", "Alarm picture", "picture", {{"content_type", "image/png"}}),
        component("episode", "event", "Alarm episode", "alarm/event",
                  {{"event_types", QJsonArray{"start", "end"}},
                   {"value_template",
                    "{\"event_type\": \"{{ value_json.event_type }}\", "
                    "\"episode\": {{ value_json.episode }}}"}}),
        component("camera", "binary_sensor", "Camera delivering", "health",
                  {{"device_class", "connectivity"},
                   {"entity_category", "diagnostic"},
                   {"value_template", "{{ 'ON' if value_json.delivering else 'OFF' }}"},
                   {"payload_on", "ON"},
                   {"payload_off", "OFF"}}),
        component("free_space", "sensor", "Free disk space", "health",
                  {{"device_class", "data_size"},
                   {"unit_of_measurement", "B"},
                   {"state_class", "measurement"},
                   {"entity_category", "diagnostic"},
                   {"value_template", "{{ value_json.freeBytes }}"}}),
    };
    QJsonObject cmps;
    for (const auto& [key, fields] : components) {
        cmps.insert(key, fields);
    }
    return QJsonObject{
        {"dev", QJsonObject{{"ids", QJsonArray{id}},
                            {"name", settings.station},
                            {"mf", "Calorview"},
                            {"mdl", "Thermal screening station"},
                            {"sw", version}}},
        {"o", QJsonObject{{"name", "Calorview"}, {"sw", version}}},
        {"availability", QJsonArray{QJsonObject{{"topic", prefix + "status"},
                                                {"value_template", "{{ value_json.status }}"},
                                                {"payload_available", "online"},
                                                {"payload_not_available", "offline"}}}},
        {"qos", settings.qos},
        {"cmps", cmps},
    };
}
