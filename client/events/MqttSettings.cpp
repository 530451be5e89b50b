#include "events/MqttSettings.h"

#include <QFile>
#include <QSysInfo>
#include <algorithm>
#include <set>

#include "settings/SettingStore.h"

namespace {

// A topic level may not hold the MQTT wildcards, and a station name is one level.
QString TopicLevel(QString text) {
    for (const QChar c : {QChar('/'), QChar('+'), QChar('#')}) {
        text.replace(c, QChar('_'));
    }
    return text;
}

// The settings are read again at every change on the settings page: a refused value is logged
// once per run, not at every reading.
void Refuse(const QString& text) {
    static std::set<QString> logged;  // GUI thread
    if (logged.insert(text).second) {
        qWarning("Mqtt: %s", qUtf8Printable(text));
    }
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
        Refuse(QString("Port %1 refused; using %2").arg(s.port).arg(defaultPort));
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
        Refuse(QString("TopicPrefix \"%1\" refused (empty or with a wildcard); using \"%2\"")
                   .arg(s.topicPrefix, defaultPrefix));
        s.topicPrefix = defaultPrefix;
    }
    s.username = store.getString("Mqtt/Username", QString());
    s.passwordFile = store.getString("Mqtt/PasswordFile", QString());
    s.qos = store.getInt("Mqtt/Qos", 1);
    if (s.qos != 1 && s.qos != 2) {
        // QoS 0 would let the broker drop an event the outbox has already let go.
        Refuse(QString("Qos %1 refused (1 or 2); using 1").arg(s.qos));
        s.qos = 1;
    }
    s.maxPictureKiB = store.getInt("Mqtt/MaxPictureKiB", s.maxPictureKiB);
    if (s.maxPictureKiB < SettingStore::kMinMqttPictureKiB ||
        s.maxPictureKiB > SettingStore::kMaxMqttPictureKiB) {
        const int limited = std::clamp(s.maxPictureKiB, SettingStore::kMinMqttPictureKiB,
                                       SettingStore::kMaxMqttPictureKiB);
        Refuse(QString("MaxPictureKiB %1 refused (%2 to %3); using %4")
                   .arg(s.maxPictureKiB)
                   .arg(SettingStore::kMinMqttPictureKiB)
                   .arg(SettingStore::kMaxMqttPictureKiB)
                   .arg(limited));
        s.maxPictureKiB = limited;
    }
    s.healthSeconds = store.getInt("Mqtt/HealthSeconds", s.healthSeconds);
    if (s.healthSeconds < 0 || s.healthSeconds > SettingStore::kMaxMqttHealthSeconds) {
        Refuse(QString("HealthSeconds %1 refused (0 to %2); using 60")
                   .arg(s.healthSeconds)
                   .arg(SettingStore::kMaxMqttHealthSeconds));
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
        Refuse(QString("DiscoveryPrefix \"%1\" refused (empty or with a wildcard); using \"%2\"")
                   .arg(s.discoveryPrefix, defaultDiscovery));
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
