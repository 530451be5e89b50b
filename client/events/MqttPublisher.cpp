#include "events/MqttPublisher.h"

#include <mosquitto.h>
#include <netdb.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
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

// libmosquitto's global state is set up once per process and left for the process's end.
void InitLibrary() {
    static const int init = mosquitto_lib_init();
    (void)init;
}

}  // namespace

// The network and lookup threads' way to the GUI thread.
struct MqttPublisher::Mailbox {
    Mailbox() : fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Mailbox() { ::close(fd); }

    // Any thread.
    void Post(NetEvent event) {
        std::lock_guard lock(mutex);
        events.push_back(event);
        if (!wakePending) {
            wakePending = true;
            const uint64_t one = 1;
            (void)::write(fd, &one, sizeof one);
        }
    }
    // GUI thread.
    std::vector<NetEvent> Take() {
        std::lock_guard lock(mutex);
        uint64_t count = 0;
        (void)::read(fd, &count, sizeof count);
        wakePending = false;
        return std::exchange(events, {});
    }

    const int fd;
    std::mutex mutex;
    std::vector<NetEvent> events;  // guarded by mutex
    bool wakePending = false;      // guarded by mutex
};

MqttPublisher::MqttPublisher(const MqttSettings& settings, const QString& outboxFolder,
                             QObject* parent)
    : QObject(parent),
      m_Settings(settings),
      m_Outbox(outboxFolder),
      m_pMailbox(std::make_shared<Mailbox>()),
      m_WakeNotifier(m_pMailbox->fd, QSocketNotifier::Read) {
    InitLibrary();
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
    StopClient();
    TakeNetEvents();
    m_Outbox.Sync();
    m_WakeNotifier.setEnabled(false);
}

void MqttPublisher::Publish(const QString& subtopic, const QJsonObject& payload) {
    m_Outbox.Append(payload.value("id").toString().toUtf8(),
                    (m_Settings.topicPrefix + '/' + subtopic).toUtf8(),
                    EventJson::Compact(payload));
    Pump();
}

void MqttPublisher::Start() {
    StopClient();
    m_pClient = mosquitto_new(nullptr, true, this);
    if (m_pClient == nullptr) {
        Fail("client", QStringLiteral("no MQTT client could be made"));
        return Restart();
    }
    mosquitto_connect_callback_set(m_pClient, &MqttPublisher::OnConnect);
    mosquitto_disconnect_callback_set(m_pClient, &MqttPublisher::OnDisconnect);
    mosquitto_publish_callback_set(m_pClient, &MqttPublisher::OnPublish);
    mosquitto_log_callback_set(m_pClient, &MqttPublisher::OnLog);
    mosquitto_reconnect_delay_set(m_pClient, 1, 60, true);
    // One more than the window: the status message travels beside the events.
    mosquitto_max_inflight_messages_set(m_pClient, kInflightWindow + 1);
    if (!m_Settings.username.isEmpty()) {
        mosquitto_username_pw_set(m_pClient, m_Settings.username.toUtf8().constData(),
                                  m_Password.isNull() ? nullptr : m_Password.toUtf8().constData());
    }
    if (!m_Settings.caFile.isEmpty()) {
        const int rc =
            mosquitto_tls_set(m_pClient, QFile::encodeName(m_Settings.caFile).constData(), nullptr,
                              nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            Fail("ca", QString("the CaFile %1 cannot be used (%2)")
                           .arg(m_Settings.caFile, mosquitto_strerror(rc)));
            return Restart();
        }
    }
    const QByteArray topic = (m_Settings.topicPrefix + "/status").toUtf8();
    const QByteArray offline = EventJson::Compact(EventJson::Status(m_Settings.station, false));
    mosquitto_will_set(m_pClient, topic.constData(), static_cast<int>(offline.size()),
                       offline.constData(), m_Settings.qos, true);
    mosquitto_loop_start(m_pClient);
    // Looked up away from the GUI thread, which never waits for it; libmosquitto then connects by
    // name (its reconnects resolve it again on the network thread, following a changed address).
    // Detached: a lookup stuck in the resolver must not hold up the end of the run.
    std::thread([mailbox = m_pMailbox, host = m_Settings.host.toStdString(),
                 number = ++m_nLookups] {
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int result = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
        if (found != nullptr) {
            ::freeaddrinfo(found);
        }
        mailbox->Post({NetKind::kLookedUp, result, number});
    }).detach();
}

void MqttPublisher::OnHostLookedUp(int result) {
    if (result != 0) {
        Fail("resolve", QString("the broker host \"%1\" does not resolve (%2)")
                            .arg(m_Settings.host, QString::fromLocal8Bit(::gai_strerror(result))));
        return Restart();
    }
    const int rc = mosquitto_connect_async(m_pClient, m_Settings.host.toUtf8().constData(),
                                           m_Settings.port, kKeepAliveSeconds);
    if (rc == MOSQ_ERR_TLS) {
        // The handshake can end within the call when the broker is near.
        FailTls();
    } else if (rc != MOSQ_ERR_SUCCESS) {
        Fail(rc == MOSQ_ERR_EAI ? "resolve" : "connect", QString("no connection to %1:%2 (%3)")
                                                             .arg(m_Settings.host)
                                                             .arg(m_Settings.port)
                                                             .arg(mosquitto_strerror(rc)));
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

void MqttPublisher::StopClient() {
    if (m_pClient == nullptr) {
        return;
    }
    mosquitto_disconnect(m_pClient);
    // The disconnect also ends libmosquitto's reconnect pause: the thread ends at once.
    mosquitto_loop_stop(m_pClient, false);
    mosquitto_destroy(m_pClient);
    m_pClient = nullptr;
    m_bConnected = false;
    // What the old client had in flight is gone with it: it is published again, in order.
    m_Inflight.clear();
    m_bResending = false;
    m_nNextSend = m_Outbox.FirstSeq();
    m_pMailbox->Take();
}

void MqttPublisher::OnConnect(mosquitto*, void* self, int code) {
    static_cast<MqttPublisher*>(self)->m_pMailbox->Post({NetKind::kConnack, code, 0});
}

void MqttPublisher::OnDisconnect(mosquitto*, void* self, int reason) {
    // MOSQ_ERR_ERRNO names the system error only through this thread's errno.
    static_cast<MqttPublisher*>(self)->m_pMailbox->Post({NetKind::kDisconnected, reason, errno});
}

void MqttPublisher::OnPublish(mosquitto*, void* self, int mid) {
    static_cast<MqttPublisher*>(self)->m_pMailbox->Post({NetKind::kAcknowledged, mid, 0});
}

void MqttPublisher::OnLog(mosquitto*, void* self, int level, const char* text) {
    // A failed handshake ends libmosquitto's loop without a disconnect callback; its OpenSSL
    // error line is the only sign of it.
    if (level == MOSQ_LOG_ERR && std::strstr(text, "OpenSSL Error") != nullptr) {
        static_cast<MqttPublisher*>(self)->m_pMailbox->Post({NetKind::kTlsFailed, 0, 0});
    }
}

void MqttPublisher::TakeNetEvents() {
    const std::vector<NetEvent> events = m_pMailbox->Take();
    for (const NetEvent& event : events) {
        Handle(event);
    }
}

void MqttPublisher::Handle(const NetEvent& event) {
    switch (event.kind) {
        case NetKind::kConnack:
            if (event.code == 0) {
                m_bConnected = true;
                m_LoggedFailures.clear();
                m_nRestartDelayMs = 0;
                qWarning("Mqtt: connected to %s:%d, publishing under %s",
                         qUtf8Printable(m_Settings.host), m_Settings.port,
                         qUtf8Printable(m_Settings.topicPrefix));
                PublishStatus(true);
                Pump();
            } else if (event.code == 4 || event.code == 5) {
                Fail("credentials",
                     QString("the broker refused the credentials of user \"%1\" (%2)")
                         .arg(m_Settings.username, mosquitto_connack_string(event.code)));
            } else {
                Fail("connack", QString("the broker refused the connection (%1)")
                                    .arg(mosquitto_connack_string(event.code)));
            }
            break;
        case NetKind::kDisconnected: {
            const bool wasConnected = m_bConnected;
            m_bConnected = false;
            m_bResending = !m_Inflight.empty();
            if (event.code == MOSQ_ERR_SUCCESS || m_bClosing) {
                break;
            }
            const QString where = QString("%1:%2").arg(m_Settings.host).arg(m_Settings.port);
            const QString reason = event.code == MOSQ_ERR_ERRNO
                                       ? QString::fromLocal8Bit(std::strerror(event.error))
                                       : QString::fromUtf8(mosquitto_strerror(event.code));
            if (event.code == MOSQ_ERR_TLS) {
                FailTls();
            } else if (wasConnected) {
                Fail(
                    "lost",
                    QString("the connection to %1 was lost (%2); reconnecting").arg(where, reason));
            } else if (event.code == MOSQ_ERR_ERRNO && event.error == ECONNREFUSED) {
                Fail("refused", QString("the connection to %1 was refused").arg(where));
            } else {
                Fail("connect", QString("no connection to %1 (%2)").arg(where, reason));
            }
            break;
        }
        case NetKind::kLookedUp:
            if (event.error == m_nLookups && m_pClient != nullptr && !m_bClosing) {
                OnHostLookedUp(event.code);
            }
            break;
        case NetKind::kTlsFailed:
            FailTls();
            break;
        case NetKind::kAcknowledged: {
            if (event.code == m_nStatusMid) {
                m_nStatusMid = 0;
            }
            const auto found = m_Inflight.find(event.code);
            if (found == m_Inflight.end()) {
                break;  // a status message
            }
            m_Outbox.Acknowledge(found->second);
            m_Inflight.erase(found);
            if (m_Inflight.empty()) {
                m_bResending = false;
            }
            Pump();
            break;
        }
    }
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
        const int rc = mosquitto_publish(m_pClient, &mid, event->topic.constData(),
                                         static_cast<int>(event->payload.size()),
                                         event->payload.constData(), m_Settings.qos, false);
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
    mosquitto_publish(m_pClient, &mid, topic.constData(), static_cast<int>(payload.size()),
                      payload.constData(), m_Settings.qos, true);
    return mid;
}

void MqttPublisher::FailTls() {
    Fail("tls", QString("TLS with %1:%2 failed: the broker's certificate does not verify against "
                        "%3")
                    .arg(m_Settings.host)
                    .arg(m_Settings.port)
                    .arg(m_Settings.caFile));
    // libmosquitto has given up: a new client tries again after a pause.
    Restart();
}

void MqttPublisher::Fail(const char* kind, const QString& text) {
    if (std::find(m_LoggedFailures.begin(), m_LoggedFailures.end(), kind) !=
        m_LoggedFailures.end()) {
        return;
    }
    m_LoggedFailures.push_back(kind);
    qWarning("Mqtt: %s", qUtf8Printable(text));
}
