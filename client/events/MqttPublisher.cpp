#include "events/MqttPublisher.h"

#include <mosquitto.h>
#include <netdb.h>

#include <QElapsedTimer>
#include <QJsonValue>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "events/EventJson.h"

namespace {

constexpr int kFirstRestartDelayMs = 2000;
constexpr int kLastRestartDelayMs = 60000;
// The end of the run gives the network thread at least this long to end, when it can.
constexpr int kLeastStopWaitMs = 200;

}  // namespace

MqttPublisher::MqttPublisher(const MqttSettings& settings, const QString& outboxFolder,
                             QObject* parent)
    : QObject(parent),
      m_Settings(settings),
      m_Outbox(outboxFolder),
      m_pMailbox(std::make_shared<EventMailbox<NetEvent>>()),
      m_WakeNotifier(m_pMailbox->fd(), QSocketNotifier::Read) {
    connect(&m_WakeNotifier, &QSocketNotifier::activated, this, &MqttPublisher::TakeNetEvents);
    m_Password = m_Settings.ReadPassword();
    m_Outbox.Open();
    m_nNextSend = m_Outbox.FirstSeq();
    m_SyncTimer.setInterval(kSyncPeriodMs);
    connect(&m_SyncTimer, &QTimer::timeout, this, [this] { m_Outbox.Sync(); });
    m_SyncTimer.start();
    m_RestartTimer.setSingleShot(true);
    connect(&m_RestartTimer, &QTimer::timeout, this, &MqttPublisher::Start);
    Start();
}

MqttPublisher::~MqttPublisher() {
    m_bClosing = true;
    m_RestartTimer.stop();
    // The events in flight, then the "offline" status, each acknowledged before the
    // disconnect: libmosquitto drops what is still queued when it disconnects.
    QElapsedTimer waited;
    waited.start();
    const auto waitFor = [&](const auto& done) {
        while (m_bConnected && !done() && waited.elapsed() < kCloseWaitMs) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            TakeNetEvents();
        }
    };
    waitFor([this] { return m_Inflight.empty(); });
    if (m_bConnected) {
        m_nStatusMid = PublishStatus(false);
        waitFor([this] { return m_nStatusMid == 0; });
    }
    StopClient(std::max<int>(kLeastStopWaitMs, kCloseWaitMs - static_cast<int>(waited.elapsed())));
    m_Outbox.Sync();
    m_WakeNotifier.setEnabled(false);
}

void MqttPublisher::Publish(const QString& subtopic, const QJsonObject& payload) {
    m_Outbox.Append(payload.value("id").toString().toUtf8(),
                    (m_Settings.topicPrefix + '/' + subtopic).toUtf8(),
                    EventJson::Compact(payload));
    Pump();
    emit stateChanged();
}

void MqttPublisher::PublishRetained(const QByteArray& topic, const QByteArray& payload,
                                    bool picture) {
    m_Retained[topic] = Retained{payload, picture, false, 0};
    SendRetained();
}

void MqttPublisher::Subscribe(const QByteArray& topic) {
    m_Subscriptions.push_back(topic);
    if (m_bConnected) {
        m_pConnection->Subscribe(topic, m_Settings.qos);
    }
}

QByteArray MqttPublisher::Topic(const QString& subtopic) const {
    return (m_Settings.topicPrefix + '/' + subtopic).toUtf8();
}

void MqttPublisher::SendRetained() {
    if (!m_bConnected || m_bClosing) {
        return;
    }
    for (auto& [topic, retained] : m_Retained) {
        if (retained.sent) {
            continue;
        }
        int mid = 0;
        const int rc = m_pConnection->Publish(topic, retained.payload, m_Settings.qos, true, &mid);
        if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
            Fail("publish", QString("a message on %1 could not be published (%2)")
                                .arg(QString::fromUtf8(topic), mosquitto_strerror(rc)));
            retained.sent = true;  // refused as it is: sending it again would fail the same way
            continue;
        }
        retained.sent = true;
        retained.mid = mid;
    }
}

void MqttPublisher::ForgetRetainedInflight() {
    for (auto& [topic, retained] : m_Retained) {
        if (retained.mid != 0) {
            retained.sent = retained.picture;
            retained.mid = 0;
        }
    }
}

void MqttPublisher::Start() {
    StopClient();
    MqttConnection::Setup setup;
    setup.host = m_Settings.host;
    setup.port = m_Settings.port;
    setup.keepAliveSeconds = kKeepAliveSeconds;
    setup.username = m_Settings.username;
    setup.password = m_Password;
    setup.caFile = m_Settings.caFile;
    setup.willTopic = (m_Settings.topicPrefix + "/status").toUtf8();
    setup.willPayload = EventJson::Compact(EventJson::Status(m_Settings.station, false));
    setup.qos = m_Settings.qos;
    // One more than the window: the status message travels beside the events.
    setup.maxInflight = kInflightWindow + 1;
    const quint64 number = ++m_nConnections;
    QString error;
    m_pConnection = MqttConnection::Open(
        setup,
        [mailbox = m_pMailbox, number](const MqttConnection::Event& event) {
            mailbox->Post({number, event});
        },
        &error);
    if (m_pConnection == nullptr) {
        Fail("setup", error);
        Restart();
    }
}

void MqttPublisher::Restart() {
    if (m_bClosing) {
        return;
    }
    StopClient();
    m_nRestartDelayMs =
        std::clamp(m_nRestartDelayMs * 2, kFirstRestartDelayMs, kLastRestartDelayMs);
    m_RestartTimer.start(m_nRestartDelayMs);
}

void MqttPublisher::StopClient(int waitMs) {
    if (m_pConnection == nullptr) {
        return;
    }
    if (m_bConnected) {
        m_pConnection->Disconnect();
    }
    m_pConnection->Stop();
    if (waitMs > 0) {
        m_pConnection->WaitStopped(waitMs);
    }
    m_pConnection.reset();
    m_bConnected = false;
    m_ConnectedSince = QDateTime();
    ForgetRetainedInflight();
    // What the old client had in flight is gone with it: it is published again, in order.
    m_Inflight.clear();
    m_bResending = false;
    m_nNextSend = m_Outbox.FirstSeq();
    m_pMailbox->Take();
}

void MqttPublisher::TakeNetEvents() {
    const std::vector<NetEvent> events = m_pMailbox->Take();
    for (const NetEvent& event : events) {
        // One of a connection given up, or of this one after the end of the run gave it up.
        if (event.connection == m_nConnections && m_pConnection != nullptr) {
            Handle(event.event);
        }
    }
}

void MqttPublisher::Handle(const MqttConnection::Event& event) {
    using Kind = MqttConnection::EventKind;
    switch (event.kind) {
        case Kind::kConnack:
            if (event.code == 0) {
                m_bConnected = true;
                m_ConnectedSince = QDateTime::currentDateTime();
                m_LastError.clear();
                m_LoggedFailures.clear();
                m_nRestartDelayMs = 0;
                qWarning("Mqtt: connected to %s:%d, publishing under %s",
                         qUtf8Printable(m_Settings.host), m_Settings.port,
                         qUtf8Printable(m_Settings.topicPrefix));
                for (const QByteArray& topic : m_Subscriptions) {
                    m_pConnection->Subscribe(topic, m_Settings.qos);
                }
                PublishStatus(true);
                // The events first: a picture the broker refuses closes the connection.
                Pump();
                // A broker restarted without persistence has lost its retained messages: the
                // small ones go again on every connection, the picture only when it is new.
                for (auto& [topic, retained] : m_Retained) {
                    retained.sent = retained.sent && (retained.picture || retained.mid != 0);
                }
                SendRetained();
                emit stateChanged();
            } else if (event.code == 4 || event.code == 5) {
                Fail("credentials",
                     QString("the broker refused the credentials of user \"%1\" (%2)")
                         .arg(m_Settings.username, mosquitto_connack_string(event.code)));
            } else {
                Fail("connack", QString("the broker refused the connection (%1)")
                                    .arg(mosquitto_connack_string(event.code)));
            }
            break;
        case Kind::kDisconnected: {
            const bool wasConnected = m_bConnected;
            m_bConnected = false;
            m_ConnectedSince = QDateTime();
            m_bResending = !m_Inflight.empty();
            if (event.code == MOSQ_ERR_SUCCESS || m_bClosing) {
                break;
            }
            if (wasConnected && DropPictureInFlight()) {
                break;
            }
            if (wasConnected) {
                const QString reason = event.code == MOSQ_ERR_ERRNO
                                           ? QString::fromLocal8Bit(std::strerror(event.error))
                                           : QString::fromUtf8(mosquitto_strerror(event.code));
                Fail("lost", QString("the connection to %1:%2 was lost (%3); reconnecting")
                                 .arg(m_Settings.host)
                                 .arg(m_Settings.port)
                                 .arg(reason));
            } else {
                FailConnect(event.code, event.error);
            }
            break;
        }
        case Kind::kConnectFailed:
            FailConnect(event.code, event.error);
            break;
        case Kind::kAcknowledged: {
            if (event.code == m_nStatusMid) {
                m_nStatusMid = 0;
            }
            for (auto& [topic, retained] : m_Retained) {
                if (retained.mid == event.code) {
                    retained.mid = 0;
                }
            }
            const auto found = m_Inflight.find(event.code);
            if (found == m_Inflight.end()) {
                break;  // a status or retained message
            }
            m_Outbox.Acknowledge(found->second);
            m_Inflight.erase(found);
            if (m_Inflight.empty()) {
                m_bResending = false;
            }
            Pump();
            emit stateChanged();
            break;
        }
        case Kind::kMessage:
            emit messageReceived(event.topic, event.payload);
            break;
    }
}

bool MqttPublisher::DropPictureInFlight() {
    const auto picture = std::find_if(m_Retained.begin(), m_Retained.end(), [](const auto& entry) {
        return entry.second.picture && entry.second.mid != 0;
    });
    if (picture == m_Retained.end()) {
        return false;
    }
    if (!m_bPictureLossLogged) {
        m_bPictureLossLogged = true;
        qWarning(
            "Mqtt: the connection to %s:%d was lost while a picture of %lld KiB was on its "
            "way; it is not sent again (a broker whose max_packet_size is below it closes "
            "the connection); later losses like it are not logged",
            qUtf8Printable(m_Settings.host), m_Settings.port,
            static_cast<long long>(picture->second.payload.size() / 1024));
    }
    // libmosquitto would send it again on this client; a new one goes without it, and the
    // events in flight are published again from the outbox.
    Restart();
    emit stateChanged();
    return true;
}

void MqttPublisher::Pump() {
    if (!m_bConnected || m_bClosing || m_bResending) {
        return;
    }
    m_nNextSend = std::max(m_nNextSend, m_Outbox.FirstSeq());
    while (m_Inflight.size() < static_cast<size_t>(kInflightWindow)) {
        const EventOutbox::Event* event = m_Outbox.Find(m_nNextSend);
        if (event == nullptr) {
            return;
        }
        int mid = 0;
        const int rc =
            m_pConnection->Publish(event->topic, event->payload, m_Settings.qos, false, &mid);
        // NO_CONN: the connection has just gone, but libmosquitto keeps the message and sends
        // it after the reconnect, like the others in flight.
        if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
            Fail("publish",
                 QString("an event could not be published (%1)").arg(mosquitto_strerror(rc)));
            return;
        }
        m_Inflight.emplace(mid, m_nNextSend);
        ++m_nNextSend;
    }
}

int MqttPublisher::PublishStatus(bool online) {
    const QByteArray topic = (m_Settings.topicPrefix + "/status").toUtf8();
    const QByteArray payload = EventJson::Compact(EventJson::Status(m_Settings.station, online));
    int mid = 0;
    m_pConnection->Publish(topic, payload, m_Settings.qos, true, &mid);
    return mid;
}

void MqttPublisher::FailConnect(int code, int error) {
    const QString where = QString("%1:%2").arg(m_Settings.host).arg(m_Settings.port);
    if (code == MOSQ_ERR_EAI) {
        Fail("resolve", QString("the broker host \"%1\" does not resolve (%2)")
                            .arg(m_Settings.host, QString::fromLocal8Bit(::gai_strerror(error))));
    } else if (code == MOSQ_ERR_TLS) {
        Fail("tls", QString("TLS with %1 failed: the broker's certificate does not verify "
                            "against %2")
                        .arg(where, m_Settings.caFile));
    } else if (code == MOSQ_ERR_ERRNO && error == ECONNREFUSED) {
        Fail("refused", QString("the connection to %1 was refused").arg(where));
    } else {
        const QString reason = code == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(error))
                                                      : QString::fromUtf8(mosquitto_strerror(code));
        Fail("connect", QString("no connection to %1 (%2)").arg(where, reason));
    }
}

void MqttPublisher::Fail(const char* kind, const QString& text) {
    if (std::find(m_LoggedFailures.begin(), m_LoggedFailures.end(), kind) !=
        m_LoggedFailures.end()) {
        return;
    }
    m_LoggedFailures.push_back(kind);
    qWarning("Mqtt: %s", qUtf8Printable(text));
    m_LastError = text;
    emit stateChanged();
}
