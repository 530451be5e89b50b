// The Home Assistant discovery message read as Home Assistant reads it: the device block, each
// component's platform, unique id, topic and value template, and ids that hostile station names
// can neither break nor make collide.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QRegularExpression>
#include <set>

#include "events/DiscoveryJson.h"

namespace {

MqttSettings Station(const QString& name) {
    MqttSettings settings;
    settings.station = name;
    settings.topicPrefix = "site/" + name;
    settings.discoveryPrefix = "homeassistant";
    return settings;
}

}  // namespace

TEST(DiscoveryJson, NamesTheDeviceAndReadsEachEntityFromItsTopic) {
    const MqttSettings settings = Station("gate-3");
    const QJsonObject device = DiscoveryJson::Device(settings, 1, "2.4.0");
    const QString id = DiscoveryJson::ObjectId("gate-3");
    EXPECT_EQ(DiscoveryJson::Topic(settings), "homeassistant/device/" + id.toUtf8() + "/config");

    const QJsonObject dev = device.value("dev").toObject();
    EXPECT_EQ(dev.value("ids").toArray(), QJsonArray{id});
    EXPECT_EQ(dev.value("name").toString(), "gate-3");
    EXPECT_EQ(dev.value("sw").toString(), "2.4.0");
    EXPECT_EQ(device.value("o").toObject().value("name").toString(), "Calorview");
    const QJsonObject availability = device.value("availability").toArray().at(0).toObject();
    EXPECT_EQ(availability.value("topic").toString(), "site/gate-3/status");
    EXPECT_EQ(availability.value("value_template").toString(), "{{ value_json.status }}");
    EXPECT_EQ(availability.value("payload_available").toString(), "online");

    struct Expected {
        const char* key;
        const char* platform;
        const char* deviceClass;
        const char* topic;
        const char* template_;
    };
    const Expected expected[] = {
        {"alarm", "binary_sensor", "heat", "alarm/state", "{{ value_json.state }}"},
        {"peak", "sensor", "temperature", "alarm/state", "{{ value_json.temperature }}"},
        {"picture", "image", nullptr, "picture", nullptr},
        {"episode", "event", nullptr, "alarm/event", "value_json.event_type"},
        {"camera", "binary_sensor", "connectivity", "health", "value_json.delivering"},
        {"free_space", "sensor", "data_size", "health", "{{ value_json.freeBytes }}"},
    };
    const QJsonObject cmps = device.value("cmps").toObject();
    ASSERT_EQ(cmps.size(), std::size(expected));
    for (const Expected& e : expected) {
        SCOPED_TRACE(e.key);
        const QJsonObject c = cmps.value(id + '_' + e.key).toObject();
        EXPECT_EQ(c.value("p").toString(), e.platform);
        EXPECT_EQ(c.value("unique_id").toString(), id + '_' + e.key);
        EXPECT_FALSE(c.value("name").toString().isEmpty());
        EXPECT_EQ(c.value(QString(e.platform) == "image" ? "image_topic" : "state_topic"),
                  QString("site/gate-3/") + e.topic);
        if (e.deviceClass != nullptr) {
            EXPECT_EQ(c.value("device_class").toString(), e.deviceClass);
        }
        if (e.template_ != nullptr) {
            EXPECT_TRUE(c.value("value_template").toString().contains(e.template_));
        }
    }
    EXPECT_EQ(cmps.value(id + "_peak").toObject().value("unit_of_measurement").toString(), "°F");
    EXPECT_EQ(cmps.value(id + "_picture").toObject().value("content_type").toString(), "image/png");
    EXPECT_EQ(cmps.value(id + "_episode").toObject().value("event_types").toArray(),
              (QJsonArray{"start", "end"}));
}

TEST(DiscoveryJson, HostileStationNamesGiveSafeStableDistinctIds) {
    const QRegularExpression safe("^calorview_[A-Za-z0-9_-]*_[0-9a-f]{8}$");
    std::set<QString> ids;
    for (const QString name :
         {"gate 3", "gate+3", "gate#3", "gate/3", "gate_3", "gate-3", "门 3", "", "+/#"}) {
        SCOPED_TRACE(name.toStdString());
        const QString id = DiscoveryJson::ObjectId(name);
        EXPECT_TRUE(safe.match(id).hasMatch()) << id.toStdString();
        EXPECT_EQ(id, DiscoveryJson::ObjectId(name));
        ids.insert(id);
        const QByteArray topic = DiscoveryJson::Topic(Station(name));
        EXPECT_EQ(topic.count('/'), 3);
        EXPECT_FALSE(topic.contains('+') || topic.contains('#') || topic.contains(' '));
    }
    EXPECT_EQ(ids.size(), 9u);
}
