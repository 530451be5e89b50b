// The publisher's options: group "Mqtt" of kvs.ini, read whenever a publisher is made (at start
// and after the settings page changed one of them).
//
// GUI thread (it reads the settings store and writes log lines).
#pragma once

#include <QString>

class SettingStore;

struct MqttSettings {
    static constexpr int kPlainPort = 1883;
    static constexpr int kTlsPort = 8883;

    bool enabled = false;     // "Mqtt/Enabled", false
    QString host;             // "Mqtt/Host", "localhost"
    int port = kPlainPort;    // "Mqtt/Port", 1883, or 8883 when CaFile is set
    QString station;          // "Mqtt/Station", the host name
    QString topicPrefix;      // "Mqtt/TopicPrefix", "calorview/<Station>"
    QString username;         // "Mqtt/Username", none
    QString passwordFile;     // "Mqtt/PasswordFile": the password is its first line
    QString caFile;           // "Mqtt/CaFile": TLS, verified against this authority, when set
    int qos = 1;              // "Mqtt/Qos", 1 or 2; anything else is refused with a log line
    int maxPictureKiB = 512;  // "Mqtt/MaxPictureKiB": larger alarm pictures are scaled down
    int healthSeconds = 60;   // "Mqtt/HealthSeconds": the health message's period, 0 off
    bool discovery = false;   // "Mqtt/Discovery": the Home Assistant device discovery
    QString discoveryPrefix;  // "Mqtt/DiscoveryPrefix", "homeassistant"

    bool operator==(const MqttSettings&) const = default;

    // The group as stored, with the defaults above. Values that cannot be used (a Qos other than
    // 1 or 2, a port out of range, a prefix with MQTT wildcards) are logged and replaced by their
    // default.
    static MqttSettings Read(const SettingStore& store);

    // The password: the first line of the password file without its line end. Null when no file
    // is named; when it is named but cannot be read, one log line and null.
    QString ReadPassword() const;
};
