// Group "Mqtt" of a real kvs.ini: defaults, and values that are refused with a log line.
#include <gtest/gtest.h>

#include <QSysInfo>

#include "events/MqttSettings.h"
#include "settings/SettingStore.h"
#include "support/CapturedMessages.h"
#include "support/TempDir.h"

namespace {

struct Case {
    const char* ini;  // the [Mqtt] group's lines
    int port;
    int qos;
    const char* prefix;  // null: "calorview/" and the host name
    const char* logged;  // null: nothing
};

MqttSettings ReadFrom(const CalorviewTest::TempDir& dir, const std::string& group) {
    CalorviewTest::writeFile(dir.file("kvs.ini"), "[Mqtt]\n" + group);
    SettingStore store;
    store.setPath(QString::fromStdString(dir.file("kvs.ini")));
    return MqttSettings::Read(store);
}

}  // namespace

TEST(MqttSettings, DefaultsAndRefusedValues) {
    const Case cases[] = {
        {"", 1883, 1, nullptr, nullptr},
        {"Qos=2\nCaFile=ca.pem\n", 8883, 2, nullptr, nullptr},
        {"Qos=0\n", 1883, 1, nullptr, "Qos 0 refused"},
        {"Qos=3\nPort=70001\n", 1883, 1, nullptr, "Qos 3 refused"},
        {"Port=70000\n", 1883, 1, nullptr, "Port 70000 refused"},
        {"Station=dock/3+\n", 1883, 1, "calorview/dock_3_", nullptr},
        {"TopicPrefix=site/#\nStation=a\n", 1883, 1, "calorview/a",
         "TopicPrefix \"site/#\" refused"},
        {"TopicPrefix=site/gate-2/\n", 1883, 1, "site/gate-2", nullptr},
        {"MaxPictureKiB=4\n", 1883, 1, nullptr, "MaxPictureKiB 4 refused (16 to 16384); using 16"},
        {"HealthSeconds=-5\n", 1883, 1, nullptr, "HealthSeconds -5 refused"},
        {"DiscoveryPrefix=ha/+\n", 1883, 1, nullptr, "DiscoveryPrefix \"ha/+\" refused"},
    };
    for (const Case& c : cases) {
        CalorviewTest::TempDir dir;
        CalorviewTest::CapturedMessages log;
        const MqttSettings settings = ReadFrom(dir, c.ini);
        EXPECT_FALSE(settings.enabled) << c.ini;
        EXPECT_EQ(settings.host, "localhost") << c.ini;
        EXPECT_EQ(settings.port, c.port) << c.ini;
        EXPECT_EQ(settings.qos, c.qos) << c.ini;
        EXPECT_EQ(settings.discoveryPrefix, "homeassistant") << c.ini;
        EXPECT_EQ(settings.topicPrefix, c.prefix != nullptr
                                            ? QString(c.prefix)
                                            : "calorview/" + QSysInfo::machineHostName())
            << c.ini;
        // Read again (after a change on the settings page): nothing new is logged.
        ReadFrom(dir, c.ini);
        if (c.logged != nullptr) {
            EXPECT_EQ(log.count(c.logged), 1) << c.ini;
        } else {
            EXPECT_EQ(log.count("Mqtt:"), 0) << c.ini;
        }
    }
}

TEST(MqttSettings, PasswordIsTheFileFirstLineAndAMissingFileIsLogged) {
    CalorviewTest::TempDir dir;
    CalorviewTest::writeFile(dir.file("secret"), "s3cret pass\r\nsecond line\n");
    MqttSettings settings = ReadFrom(dir, "PasswordFile=" + dir.file("secret") + "\n");
    EXPECT_EQ(settings.ReadPassword(), "s3cret pass");
    CalorviewTest::CapturedMessages log;
    settings.passwordFile = QString::fromStdString(dir.file("missing"));
    EXPECT_TRUE(settings.ReadPassword().isNull());
    EXPECT_EQ(log.count("connecting without a password"), 1);
}
