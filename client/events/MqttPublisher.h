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
// next successful connection; the connection (MqttConnection) tries again with a growing pause
// (1 s to 60 s), for ever.
// Beside the events, retained messages of which only the latest value matters (the alarm picture
// and state, the health, the discovery message) go out at once and are never put in the outbox:
// one waiting per topic, sent at the next connection, so a station that was offline sends only
// its latest picture; the small ones are sent again on every connection (a broker restarted
// without persistence forgets retained messages). A picture in flight when the connection is lost is not sent again (a
// broker whose packet limit is below it closes the connection each time); the connection is
// made afresh without it.
//
// Threads: the object lives on the GUI thread, which runs every public function, the timers and
// all outbox and in-flight bookkeeping. The connection's network thread looks the broker's name
// up, connects and runs libmosquitto's callbacks; it only posts a NetEvent to the mailbox
// (EventMailbox, shared with the network thread so that it may outlive the publisher), whose
// QSocketNotifier runs TakeNetEvents on the GUI thread. Each connection numbers its events, so
// that those of one already given up are dropped.
// The GUI thread never waits on the network: publishing only queues the packet for the network
// thread, a connection is stopped without waiting for its thread, and the end of the run waits
// at most kCloseWaitMs in all (events in flight, the "offline" status, the thread's end).
#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "events/EventOutbox.h"
#include "events/MqttConnection.h"
#include "events/MqttSettings.h"
#include "platform/EventMailbox.h"

class MqttPublisher : public QObject {
    Q_OBJECT
public:
    static constexpr int kInflightWindow = 20;
    static constexpr int kSyncPeriodMs = 1000;
    static constexpr int kKeepAliveSeconds = 30;
    // How long the end of the run waits in all: for the events in flight and the "offline" status
    // to be acknowledged, then for the network thread to end.
    static constexpr int kCloseWaitMs = 1000;

    // Reads back the outbox in `outboxFolder` and starts connecting.
    MqttPublisher(const MqttSettings& settings, const QString& outboxFolder,
                  QObject* parent = nullptr);
    // Waits up to kCloseWaitMs for events in flight, the status "offline" and the network
    // thread's end, and never longer: a thread blocked on the network is left behind. What is
    // not acknowledged stays in the outbox for the next run.
    ~MqttPublisher() override;

    // The event under "<prefix>/<subtopic>"; its "id" names it in the outbox.
    void Publish(const QString& subtopic, const QJsonObject& payload);
    // The latest value of a retained topic (a full topic; an empty payload removes it from the
    // broker). A `picture` in flight when the connection is lost is given up.
    void PublishRetained(const QByteArray& topic, const QByteArray& payload, bool picture = false);
    // Subscribes to `topic` on every connection; its messages come as messageReceived.
    void Subscribe(const QByteArray& topic);
    // "<prefix>/<subtopic>".
    QByteArray Topic(const QString& subtopic) const;

    const MqttSettings& settings() const { return m_Settings; }
    const EventOutbox& outbox() const { return m_Outbox; }
    bool IsConnected() const { return m_bConnected; }
    // Since when the connection is up; null while it is not.
    QDateTime connectedSince() const { return m_ConnectedSince; }
    // The latest failure in words, empty once connected.
    QString lastError() const { return m_LastError; }

signals:
    // Connected, lost, a failure, or the outbox's count changed.
    void stateChanged();
    void messageReceived(const QByteArray& topic, const QByteArray& payload);

private:
    struct NetEvent {
        quint64 connection;  // m_nConnections of the connection that posted it
        MqttConnection::Event event;
    };

    // GUI thread.
    void TakeNetEvents();
    void Handle(const MqttConnection::Event& event);
    // A new connection (options, Last Will, its network thread).
    void Start();
    // The connection could not be made: Start runs again after a pause.
    void Restart();
    // Ends the connection, waiting at most `waitMs` for its thread.
    void StopClient(int waitMs = 0);
    // Publishes pending events while the window has room.
    void Pump();
    // Publishes the retained values not yet sent on this connection.
    void SendRetained();
    // A new client is made: what the old one had in flight of them is sent again, a picture
    // excepted.
    void ForgetRetainedInflight();
    // The connection was lost with a picture in flight: gives the picture up and connects afresh.
    // False when none was in flight.
    bool DropPictureInFlight();
    // Its libmosquitto message id.
    int PublishStatus(bool online);
    // A connection attempt failed before it was connected.
    void FailConnect(int code, int error);
    // One log line per kind until the next successful connection.
    void Fail(const char* kind, const QString& text);

    MqttSettings m_Settings;
    QString m_Password;
    EventOutbox m_Outbox;
    std::unique_ptr<MqttConnection> m_pConnection;
    quint64 m_nConnections = 0;  // numbers the connections made
    QTimer m_SyncTimer;
    QTimer m_RestartTimer;
    int m_nRestartDelayMs = 0;

    bool m_bConnected = false;
    bool m_bClosing = false;
    // A connection was lost with events in flight: libmosquitto sends them again first.
    bool m_bResending = false;
    int m_nStatusMid = 0;     // the closing "offline" status until it is acknowledged
    quint64 m_nNextSend = 0;  // outbox number of the next event to publish
    std::unordered_map<int, quint64> m_Inflight;  // libmosquitto message id -> outbox number
    std::vector<std::string> m_LoggedFailures;    // kinds logged since the last connection
    QDateTime m_ConnectedSince;
    QString m_LastError;

    struct Retained {
        QByteArray payload;
        bool picture = false;
        bool sent = false;  // handed to the current client (which sends it again itself after a
                            // lost connection), or given up
        int mid = 0;        // while in flight
    };
    std::map<QByteArray, Retained> m_Retained;  // by topic
    bool m_bPictureLossLogged = false;
    std::vector<QByteArray> m_Subscriptions;

    std::shared_ptr<EventMailbox<NetEvent>> m_pMailbox;  // any thread; guards itself
    QSocketNotifier m_WakeNotifier;                      // on the mailbox's eventfd
};
