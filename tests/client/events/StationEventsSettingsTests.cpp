// Settings changed while the program runs reach the broker without a restart: publishing turned
// on, the station renamed (a new prefix; its old discovery message removed), discovery turned
// off (removed), publishing turned off (the status "offline").
#include <gtest/gtest.h>

#include <QTest>

#include "MqttBroker.h"
#include "events/DiscoveryJson.h"
#include "events/MqttPublisher.h"
#include "events/StationEvents.h"
#include "settings/SettingStore.h"
#include "support/TempDir.h"

using CalorviewTest::MqttBroker;
using CalorviewTest::MqttSubscriber;

TEST(StationEventsSettings, ChangesReachTheBrokerWithoutARestart) {
    MqttBroker broker;
    MqttSubscriber subscriber(broker.port(), "#");
    ASSERT_TRUE(QTest::qWaitFor([&] { return subscriber.subscribed(); }, 10000));
    CalorviewTest::TempDir dir;
    SettingStore& store = SettingStore::instance();
    store.setPath(QString::fromStdString(dir.file("kvs.ini")));
    StationEvents events(QString::fromStdString(dir.path().string()));
    EXPECT_EQ(events.publisher(), nullptr);

    const auto waitFor = [&](const std::string& topic, size_t count) {
        return QTest::qWaitFor([&] { return subscriber.messages(topic).size() >= count; }, 10000);
    };
    store.setString("Mqtt/Host", "127.0.0.1");
    store.setInt("Mqtt/Port", broker.port());
    store.setString("Mqtt/Station", "gate 1");
    store.setBool("Mqtt/Discovery", true);
    store.setBool("Mqtt/Enabled", true);
    events.Reconfigure();
    ASSERT_TRUE(waitFor("calorview/gate 1/status", 1));
    const std::string first = DiscoveryJson::ObjectId("gate 1").toStdString() + "/config";
    ASSERT_TRUE(waitFor(first, 1));

    store.setString("Mqtt/Station", "gate 2");
    events.Reconfigure();
    ASSERT_TRUE(waitFor("calorview/gate 2/status", 1));
    ASSERT_TRUE(waitFor(first, 2));
    EXPECT_TRUE(subscriber.messages(first).back().raw.isEmpty()) << "the old name's removed";
    const std::string second = DiscoveryJson::ObjectId("gate 2").toStdString() + "/config";
    ASSERT_TRUE(waitFor(second, 1));

    store.setBool("Mqtt/Discovery", false);
    events.Reconfigure();
    ASSERT_TRUE(waitFor(second, 2));
    EXPECT_TRUE(subscriber.messages(second).back().raw.isEmpty());

    store.setBool("Mqtt/Enabled", false);
    events.Reconfigure();
    EXPECT_EQ(events.publisher(), nullptr);
    // online, offline (discovery turned off), online, offline
    ASSERT_TRUE(waitFor("calorview/gate 2/status", 4));
    EXPECT_EQ(subscriber.messages("calorview/gate 2/status").back().payload.value("status"),
              "offline");
}
