// One connection to the broker: a libmosquitto client driven by a network thread of its own
// ("Mqtt"), which looks the broker's name up and connects (libmosquitto's blocking connect, which
// tries each address the name has, by name, so that TLS checks the certificate against it), runs
// the client's loop, and connects again after a failure, pausing 1 s, then 2, 4, ... up to 60 s,
// and 1 s again after a successful connection. What happens reaches the owner as Events, through
// the `post` function, on the network thread.
//
// Nothing here waits on the network for the owner: Stop only asks the thread to end, and the
// thread ends at its next step (within kLoopMs while it runs the loop or pauses) or, when it is
// blocked in a name lookup or a connect, as soon as that call returns; then it frees the client
// itself. WaitStopped gives the end of the run a bounded wait for a thread that can end soon.
// A thread still blocked when the process exits is left behind: from the moment the process
// exits, a client whose thread ends is kept instead of freed (still referenced, so
// LeakSanitizer does not count it), because freeing its TLS state could race OpenSSL's own exit
// handler.
//
// Threads: Open, Publish, Disconnect, Stop, WaitStopped and the destructor on the owner's thread
// (the GUI thread); everything else on the network thread. The client is told it is driven by
// another thread (mosquitto_threaded_set), so Publish and Disconnect only queue their packets
// and wake the loop, which writes them. The state both threads read (the stop request, whether
// the thread is blocked or done) is in Shared, under its mutex.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

class MqttConnection {
public:
    // The longest one turn of the loop waits for the network before it looks at a stop request.
    static constexpr int kLoopMs = 100;
    static constexpr int kFirstPauseSeconds = 1;
    static constexpr int kLastPauseSeconds = 60;

    enum class EventKind {
        kConnack,        // code: the CONNACK code (0 accepted)
        kDisconnected,   // code: libmosquitto's reason; error: errno of the network thread
        kAcknowledged,   // code: the message id
        kConnectFailed,  // code: libmosquitto's result (MOSQ_ERR_EAI: error is getaddrinfo's)
        kMessage         // topic and payload of a message a subscription brought
    };
    struct Event {
        EventKind kind;
        int code;
        int error;
        QByteArray topic = {};
        QByteArray payload = {};
    };
    // Called on the network thread; must not block.
    using Post = std::function<void(const Event& event)>;

    struct Setup {
        QString host;
        int port = 1883;
        int keepAliveSeconds = 30;
        QString username;  // empty: none
        QString password;  // null: none
        QString caFile;    // empty: no TLS
        QByteArray willTopic;
        QByteArray willPayload;
        int qos = 1;
        int maxInflight = 20;
    };

    // Makes the client and starts its thread, which connects. Null, with `error` set, when the
    // client cannot be made (no memory, a CaFile libmosquitto refuses).
    static std::unique_ptr<MqttConnection> Open(const Setup& setup, Post post, QString* error);
    // Stop, without waiting.
    ~MqttConnection();
    MqttConnection(const MqttConnection&) = delete;
    MqttConnection& operator=(const MqttConnection&) = delete;

    // Queues a message (only while connected); libmosquitto's result, the id in `mid`.
    int Publish(const QByteArray& topic, const QByteArray& payload, int qos, bool retain, int* mid);
    // Queues a subscription (only while connected; a new connection has none); libmosquitto's
    // result.
    int Subscribe(const QByteArray& topic, int qos);
    // Queues a clean DISCONNECT (only while connected): the broker then drops the Last Will.
    void Disconnect();
    // Asks the thread to end; never waits.
    void Stop();
    // Waits at most `ms` for the thread to end; returns at once (false) while it is blocked in a
    // name lookup or a connect, which may take the network's time. True once it has ended.
    bool WaitStopped(int ms);

private:
    struct Shared;
    explicit MqttConnection(std::shared_ptr<Shared> shared);
    static void Run(const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Shared> m_pShared;  // also held by the thread, which may outlive this
};
