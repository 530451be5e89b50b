#include "events/MqttSettings.h"

#include <QFile>
#include <QSysInfo>
#include <algorithm>

#include "settings/SettingStore.h"

namespace {

// A topic level may not hold the MQTT wildcards, and a station name is one level.
QString TopicLevel(QString text) {
    for (const QChar c : {QChar('/'), QChar('+'), QChar('#')}) {
        text.replace(c, QChar('_'));
    }
    return text;
}

}  // namespace

MqttSettings MqttSettings::Read(const SettingStore& store) {
    MqttSettings s;
    s.enabled = store.getBool("Mqtt/Enabled", false);
    s.host = store.getString("Mqtt/Host", QString()).trimmed();
    if (s.host.isEmpty()) {
        s.host = QStringLiteral("localhost");
    }
    s.caFile = store.getString("Mqtt/CaFile", QString());
    const int defaultPort = s.caFile.isEmpty() ? kPlainPort : kTlsPort;
    s.port = store.getInt("Mqtt/Port", defaultPort);
    if (s.port < 1 || s.port > 65535) {
        qWarning("Mqtt: Port %d refused; using %d", s.port, defaultPort);
        s.port = defaultPort;
    }
    s.station = store.getString("Mqtt/Station", QString()).trimmed();
    if (s.station.isEmpty()) {
        s.station = QSysInfo::machineHostName();
    }
    const QString defaultPrefix = "calorview/" + TopicLevel(s.station);
    s.topicPrefix = store.getString("Mqtt/TopicPrefix", defaultPrefix).trimmed();
    while (s.topicPrefix.endsWith('/')) {
        s.topicPrefix.chop(1);
    }
    if (s.topicPrefix.isEmpty() || s.topicPrefix.contains('+') || s.topicPrefix.contains('#')) {
        qWarning("Mqtt: TopicPrefix \"%s\" refused (empty or with a wildcard); using \"%s\"",
                 qUtf8Printable(s.topicPrefix), qUtf8Printable(defaultPrefix));
        s.topicPrefix = defaultPrefix;
    }
    s.username = store.getString("Mqtt/Username", QString());
    s.passwordFile = store.getString("Mqtt/PasswordFile", QString());
    s.qos = store.getInt("Mqtt/Qos", 1);
    if (s.qos != 1 && s.qos != 2) {
        // QoS 0 would let the broker drop an event the outbox has already let go.
        qWarning("Mqtt: Qos %d refused (1 or 2); using 1", s.qos);
        s.qos = 1;
    }
    s.maxPictureKiB = store.getInt("Mqtt/MaxPictureKiB", s.maxPictureKiB);
    if (s.maxPictureKiB < SettingStore::kMinMqttPictureKiB ||
        s.maxPictureKiB > SettingStore::kMaxMqttPictureKiB) {
        const int limited = std::clamp(s.maxPictureKiB, SettingStore::kMinMqttPictureKiB,
                                       SettingStore::kMaxMqttPictureKiB);
        qWarning("Mqtt: MaxPictureKiB %d refused (%d to %d); using %d", s.maxPictureKiB,
                 SettingStore::kMinMqttPictureKiB, SettingStore::kMaxMqttPictureKiB, limited);
        s.maxPictureKiB = limited;
    }
    s.healthSeconds = store.getInt("Mqtt/HealthSeconds", s.healthSeconds);
    if (s.healthSeconds < 0 || s.healthSeconds > SettingStore::kMaxMqttHealthSeconds) {
        qWarning("Mqtt: HealthSeconds %d refused (0 to %d); using 60", s.healthSeconds,
                 SettingStore::kMaxMqttHealthSeconds);
        s.healthSeconds = 60;
    }
    s.discovery = store.getBool("Mqtt/Discovery", false);
    const QString defaultDiscovery = QStringLiteral("homeassistant");
    s.discoveryPrefix = store.getString("Mqtt/DiscoveryPrefix", defaultDiscovery).trimmed();
    while (s.discoveryPrefix.endsWith('/')) {
        s.discoveryPrefix.chop(1);
    }
    if (s.discoveryPrefix.isEmpty() || s.discoveryPrefix.contains('+') ||
        s.discoveryPrefix.contains('#')) {
        qWarning("Mqtt: DiscoveryPrefix \"%s\" refused (empty or with a wildcard); using \"%s\"",
                 qUtf8Printable(s.discoveryPrefix), qUtf8Printable(defaultDiscovery));
        s.discoveryPrefix = defaultDiscovery;
    }
    return s;
}

QString MqttSettings::ReadPassword() const {
    if (passwordFile.isEmpty()) {
        return QString();
    }
    QFile file(passwordFile);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("Mqtt: PasswordFile %s cannot be read (%s); connecting without a password",
                 qUtf8Printable(passwordFile), qUtf8Printable(file.errorString()));
        return QString();
    }
    QByteArray line = file.readLine();
    while (line.endsWith('\n') || line.endsWith('\r')) {
        line.chop(1);
    }
    return QString::fromUtf8(line);
}
