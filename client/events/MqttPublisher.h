// Publishes the station's events to an MQTT broker through libmosquitto (docs/events.md).
//
// Every event goes first into the outbox (EventOutbox, synced once a second) and leaves it only
// when the broker has acknowledged it. Events are published in outbox order, at most
// kInflightWindow unacknowledged at a time; after a lost connection libmosquitto sends the
// unacknowledged ones again, and nothing newer is published until they are acknowledged, so a
// subscriber sees the events in order (a duplicate is possible, never a gap). "<prefix>/status"
// is "online" (retained) on every connection, "offline" as the Last Will and on a clean end.
// A failure the user can act on (a host that does not resolve, a refused connection, refused
// credentials, a certificate that does not verify, a lost connection) is logged once until the
// next successful connection; libmosquitto reconnects with a growing delay (1 s to 60 s), and
// where it gives up (the host did not resolve, TLS failed) this class starts it again.
//
// Threads: the object lives on the GUI thread, which runs every public function, the timers and
// all outbox and in-flight bookkeeping. libmosquitto's network thread (mosquitto_loop_start)
// runs the four callbacks, and a short-lived detached thread looks up the broker's host name
// (getaddrinfo) before each new client connects. Both only post a NetEvent to the Mailbox (a
// list under its mutex, shared with the lookup thread so that it may outlive the publisher) and,
// when no wake-up is pending, write to its eventfd, whose QSocketNotifier runs TakeNetEvents on
// the GUI thread (an fd rather than Qt's posted events: the hand-over stays visible to
// ThreadSanitizer).
// The GUI thread never waits on the network: mosquitto_publish only queues the packet for the
// network thread, and the host name is looked up on the lookup thread before libmosquitto
// connects. The
// destructor stops the network thread (mosquitto_loop_stop) before anything the callbacks use goes
// away.
#pragma once

#include <QJsonObject>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "events/EventOutbox.h"
#include "events/MqttSettings.h"

struct mosquitto;

class MqttPublisher : public QObject {
    Q_OBJECT
public:
    static constexpr int kInflightWindow = 20;
    static constexpr int kSyncPeriodMs = 1000;
    static constexpr int kKeepAliveSeconds = 30;
    // How long the end of the run waits for the events in flight and the "offline" status to be
    // acknowledged.
    static constexpr int kCloseWaitMs = 1000;

    // Reads back the outbox in `outboxFolder` and starts connecting.
    MqttPublisher(const MqttSettings& settings, const QString& outboxFolder,
                  QObject* parent = nullptr);
    // Waits up to kCloseWaitMs for events in flight, sets the status "offline", disconnects and
    // stops the network thread. What is not acknowledged stays in the outbox for the next run.
    ~MqttPublisher() override;

    // The event under "<prefix>/<subtopic>"; its "id" names it in the outbox.
    void Publish(const QString& subtopic, const QJsonObject& payload);

    const MqttSettings& settings() const { return m_Settings; }
    const EventOutbox& outbox() const { return m_Outbox; }
    bool IsConnected() const { return m_bConnected; }

private:
    enum class NetKind { kConnack, kDisconnected, kAcknowledged, kTlsFailed, kLookedUp };
    struct NetEvent {
        NetKind kind;
        int code;   // CONNACK code, libmosquitto's disconnect reason, the message id, or
                    // getaddrinfo's result
        int error;  // errno of the network thread (a disconnect), or the lookup's number
    };
    struct Mailbox;

    // Network thread.
    static void OnConnect(mosquitto* client, void* self, int code);
    static void OnDisconnect(mosquitto* client, void* self, int reason);
    static void OnPublish(mosquitto* client, void* self, int mid);
    static void OnLog(mosquitto* client, void* self, int level, const char* text);

    // GUI thread.
    void TakeNetEvents();
    void Handle(const NetEvent& event);
    // A new libmosquitto client (options, Last Will, network thread), then the host lookup.
    void Start();
    void OnHostLookedUp(int result);
    // The client is dropped with what it had in flight; Start runs again after a pause.
    void Restart();
    void StopClient();
    // Publishes pending events while the window has room.
    void Pump();
    // Its libmosquitto message id.
    int PublishStatus(bool online);
    // The certificate did not verify: logged, and the client made anew after a pause.
    void FailTls();
    // One log line per kind until the next successful connection.
    void Fail(const char* kind, const QString& text);

    MqttSettings m_Settings;
    QString m_Password;
    EventOutbox m_Outbox;
    mosquitto* m_pClient = nullptr;
    QTimer m_SyncTimer;
    QTimer m_RestartTimer;
    int m_nRestartDelayMs = 0;
    int m_nLookups = 0;  // numbers the lookups: an answer for an earlier client is dropped

    bool m_bConnected = false;
    bool m_bClosing = false;
    // A connection was lost with events in flight: libmosquitto sends them again first.
    bool m_bResending = false;
    int m_nStatusMid = 0;     // the closing "offline" status until it is acknowledged
    quint64 m_nNextSend = 0;  // outbox number of the next event to publish
    std::unordered_map<int, quint64> m_Inflight;  // libmosquitto message id -> outbox number
    std::vector<std::string> m_LoggedFailures;    // kinds logged since the last connection

    std::shared_ptr<Mailbox> m_pMailbox;  // any thread; its members guard themselves
    QSocketNotifier m_WakeNotifier;       // on the mailbox's eventfd
};
