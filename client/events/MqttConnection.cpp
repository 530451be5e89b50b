#include "events/MqttConnection.h"

#include <mosquitto.h>
#include <pthread.h>

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Clients whose thread ended after the process began to exit: kept, never freed (see the header).
struct ExitGuard {
    std::mutex mutex;
    bool exiting = false;          // guarded by mutex
    std::vector<mosquitto*> kept;  // guarded by mutex
};

ExitGuard& Guard() {
    static ExitGuard* const guard = new ExitGuard;  // never destroyed: threads may outlive main
    return *guard;
}

// libmosquitto's global state is set up once per process and left for the process's end. The
// exit handler is registered after it, so it runs before OpenSSL's.
void InitLibrary() {
    static const bool once = [] {
        mosquitto_lib_init();
        std::atexit([] {
            std::lock_guard lock(Guard().mutex);
            Guard().exiting = true;
        });
        return true;
    }();
    (void)once;
}

}  // namespace

struct MqttConnection::Shared {
    mosquitto* client = nullptr;  // the network thread's once it runs
    Post post;
    QByteArray host;
    int port = 0;
    int keepAliveSeconds = 0;
    int failures = 0;  // network thread: connections failed since the last good one

    std::mutex mutex;
    std::condition_variable changed;
    bool stop = false;     // guarded by mutex
    bool blocked = false;  // guarded by mutex: in a name lookup or a connect
    bool done = false;     // guarded by mutex

    bool StopRequested() {
        std::lock_guard lock(mutex);
        return stop;
    }
    void SetBlocked(bool value) {
        std::lock_guard lock(mutex);
        blocked = value;
        changed.notify_all();
    }
    // The pause before the next connection; false when a stop came meanwhile.
    bool Pause() {
        const int seconds =
            std::min(kFirstPauseSeconds << std::min(failures, 6), kLastPauseSeconds);
        ++failures;
        std::unique_lock lock(mutex);
        return !changed.wait_for(lock, std::chrono::seconds(seconds), [this] { return stop; });
    }
    // Connects (the first time) or connects again, blocking; reports a failure.
    int Connect(bool first) {
        SetBlocked(true);
        errno = 0;
        const int rc = first ? mosquitto_connect(client, host.constData(), port, keepAliveSeconds)
                             : mosquitto_reconnect(client);
        const int error = errno;
        SetBlocked(false);
        if (rc != MOSQ_ERR_SUCCESS) {
            post({EventKind::kConnectFailed, rc, error});
        }
        return rc;
    }

    // libmosquitto's callbacks, on the network thread; `shared` is the Shared.
    static void OnConnect(mosquitto*, void* shared, int code) {
        auto* self = static_cast<Shared*>(shared);
        if (code == 0) {
            self->failures = 0;
        }
        self->post({EventKind::kConnack, code, 0});
    }
    static void OnDisconnect(mosquitto*, void* shared, int reason) {
        // MOSQ_ERR_ERRNO names the system error only through this thread's errno.
        const int error = errno;
        static_cast<Shared*>(shared)->post({EventKind::kDisconnected, reason, error});
    }
    static void OnPublish(mosquitto*, void* shared, int mid) {
        static_cast<Shared*>(shared)->post({EventKind::kAcknowledged, mid, 0});
    }
    static void OnMessage(mosquitto*, void* shared, const mosquitto_message* message) {
        static_cast<Shared*>(shared)->post(
            {EventKind::kMessage, 0, 0, QByteArray(message->topic),
             QByteArray(static_cast<const char*>(message->payload), message->payloadlen)});
    }
};

std::unique_ptr<MqttConnection> MqttConnection::Open(const Setup& setup, Post post,
                                                     QString* error) {
    InitLibrary();
    auto shared = std::make_shared<Shared>();
    shared->post = std::move(post);
    shared->host = setup.host.toUtf8();
    shared->port = setup.port;
    shared->keepAliveSeconds = setup.keepAliveSeconds;
    mosquitto* client = mosquitto_new(nullptr, true, shared.get());
    if (client == nullptr) {
        *error = QStringLiteral("no MQTT client could be made");
        return nullptr;
    }
    mosquitto_threaded_set(client, true);
    mosquitto_connect_callback_set(client, &Shared::OnConnect);
    mosquitto_disconnect_callback_set(client, &Shared::OnDisconnect);
    mosquitto_publish_callback_set(client, &Shared::OnPublish);
    mosquitto_message_callback_set(client, &Shared::OnMessage);
    mosquitto_max_inflight_messages_set(client, static_cast<unsigned>(setup.maxInflight));
    if (!setup.username.isEmpty()) {
        mosquitto_username_pw_set(
            client, setup.username.toUtf8().constData(),
            setup.password.isNull() ? nullptr : setup.password.toUtf8().constData());
    }
    if (!setup.caFile.isEmpty()) {
        const int rc = mosquitto_tls_set(client, QFile::encodeName(setup.caFile).constData(),
                                         nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = QString("the CaFile %1 cannot be used (%2)")
                         .arg(setup.caFile, mosquitto_strerror(rc));
            mosquitto_destroy(client);
            return nullptr;
        }
    }
    mosquitto_will_set(client, setup.willTopic.constData(),
                       static_cast<int>(setup.willPayload.size()), setup.willPayload.constData(),
                       setup.qos, true);
    shared->client = client;
    std::thread(&MqttConnection::Run, shared).detach();
    return std::unique_ptr<MqttConnection>(new MqttConnection(std::move(shared)));
}

MqttConnection::MqttConnection(std::shared_ptr<Shared> shared) : m_pShared(std::move(shared)) {}

MqttConnection::~MqttConnection() {
    Stop();
}

int MqttConnection::Publish(const QByteArray& topic, const QByteArray& payload, int qos,
                            bool retain, int* mid) {
    return mosquitto_publish(m_pShared->client, mid, topic.constData(),
                             static_cast<int>(payload.size()), payload.constData(), qos, retain);
}

int MqttConnection::Subscribe(const QByteArray& topic, int qos) {
    return mosquitto_subscribe(m_pShared->client, nullptr, topic.constData(), qos);
}

void MqttConnection::Disconnect() {
    mosquitto_disconnect(m_pShared->client);
}

void MqttConnection::Stop() {
    std::lock_guard lock(m_pShared->mutex);
    m_pShared->stop = true;
    m_pShared->changed.notify_all();
}

bool MqttConnection::WaitStopped(int ms) {
    std::unique_lock lock(m_pShared->mutex);
    m_pShared->changed.wait_for(lock, std::chrono::milliseconds(ms),
                                [this] { return m_pShared->done || m_pShared->blocked; });
    return m_pShared->done;
}

void MqttConnection::Run(const std::shared_ptr<Shared>& shared) {
    ::pthread_setname_np(::pthread_self(), "Mqtt");
    mosquitto* const client = shared->client;
    int rc = shared->Connect(true);
    while (!shared->StopRequested()) {
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_loop(client, kLoopMs, 1);
            if (rc == MOSQ_ERR_SUCCESS) {
                continue;
            }
            // A lost connection was told by the disconnect callback; a handshake that failed
            // (a certificate that does not verify) ends the loop without one.
            if (rc == MOSQ_ERR_TLS) {
                shared->post({EventKind::kConnectFailed, rc, 0});
            }
        }
        if (!shared->Pause()) {
            break;
        }
        rc = shared->Connect(false);
    }
    {
        ExitGuard& guard = Guard();
        std::lock_guard lock(guard.mutex);
        if (guard.exiting) {
            guard.kept.push_back(client);
        } else {
            mosquitto_destroy(client);
        }
    }
    std::lock_guard lock(shared->mutex);
    shared->done = true;
    shared->changed.notify_all();
}
