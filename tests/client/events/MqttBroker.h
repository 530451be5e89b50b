// A real mosquitto broker for a test: on 127.0.0.1, a free port, a configuration file of the
// test's own, persistence in the test's folder (a subscriber's session outlives a restart).
// And a subscriber on libmosquitto that keeps every message it receives.
#pragma once

#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/TempDir.h"

namespace CalorviewTest {

// A TCP port nobody listens on at the moment of asking.
inline int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

inline bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

class MqttBroker {
public:
    // `extra` is appended to the configuration (more listeners, authentication).
    explicit MqttBroker(const std::string& extra = "allow_anonymous true\n") : m_port(FreePort()) {
        writeFile(m_dir.file("mosquitto.conf"),
                  // As root it would switch to the user "mosquitto", who cannot read the
                  // test's files: it stays who we are.
                  "user " + std::string(::getpwuid(::getuid())->pw_name) +
                      "\nlog_type all\nper_listener_settings false\npersistence true\n"
                      "persistence_location " +
                      m_dir.path().string() + "/\nlistener " + std::to_string(m_port) +
                      " 127.0.0.1\n" + extra);
        Start();
    }
    ~MqttBroker() { Stop(); }
    MqttBroker(const MqttBroker&) = delete;
    MqttBroker& operator=(const MqttBroker&) = delete;

    int port() const { return m_port; }
    // What it logged (everything: connections, packets), for a failing test's output.
    std::string log() const { return readFile(m_dir.file("mosquitto.log")); }
    const TempDir& dir() const { return m_dir; }

    // Starts it and waits until it accepts connections on the port.
    void Start() {
        m_pid = ::fork();
        if (m_pid == 0) {
            // A test that aborts (a sanitizer's report) takes its broker with it.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            const std::string config = m_dir.file("mosquitto.conf");
            const std::string log = m_dir.file("mosquitto.log");
            const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execl("/usr/sbin/mosquitto", "mosquitto", "-c", config.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 500 && !Accepts(m_port); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // Ends it as a service stop does (it saves its sessions) and waits for it.
    void Stop() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    TempDir m_dir;
    int m_port;
    pid_t m_pid = -1;
};

// Subscribes to `filter` with QoS 1 in a session the broker keeps (clean session off), so that
// it misses nothing across a broker restart. Its own libmosquitto network thread receives.
class MqttSubscriber {
public:
    struct Message {
        std::string topic;
        QJsonObject payload;
        bool retained = false;
        QByteArray raw;  // the payload's bytes (a picture's are no JSON)
    };

    MqttSubscriber(int port, const std::string& filter = "calorview/#") : m_filter(filter) {
        mosquitto_lib_init();
        static int subscribers = 0;  // test thread only
        const std::string id =
            "calorview-test-" + std::to_string(::getpid()) + "-" + std::to_string(++subscribers);
        m_client = mosquitto_new(id.c_str(), false, this);
        mosquitto_connect_callback_set(m_client, [](mosquitto* client, void* self, int rc) {
            if (rc == 0) {
                mosquitto_subscribe(client, nullptr,
                                    static_cast<MqttSubscriber*>(self)->m_filter.c_str(), 1);
            }
        });
        mosquitto_subscribe_callback_set(m_client,
                                         [](mosquitto*, void* self, int, int, const int*) {
                                             auto* subscriber = static_cast<MqttSubscriber*>(self);
                                             std::lock_guard lock(subscriber->m_mutex);
                                             subscriber->m_subscribed = true;
                                         });
        mosquitto_message_callback_set(m_client, [](mosquitto*, void* self,
                                                    const mosquitto_message* message) {
            auto* subscriber = static_cast<MqttSubscriber*>(self);
            const QByteArray bytes(static_cast<const char*>(message->payload), message->payloadlen);
            std::lock_guard lock(subscriber->m_mutex);
            subscriber->m_messages.push_back(
                {message->topic, QJsonDocument::fromJson(bytes).object(), message->retain, bytes});
        });
        mosquitto_reconnect_delay_set(m_client, 1, 1, false);
        mosquitto_loop_start(m_client);
        mosquitto_connect_async(m_client, "127.0.0.1", port, 30);
    }
    ~MqttSubscriber() {
        mosquitto_disconnect(m_client);
        mosquitto_loop_stop(m_client, false);
        mosquitto_destroy(m_client);
    }
    MqttSubscriber(const MqttSubscriber&) = delete;
    MqttSubscriber& operator=(const MqttSubscriber&) = delete;

    bool subscribed() const {
        std::lock_guard lock(m_mutex);
        return m_subscribed;
    }
    // The messages so far whose topic ends with `suffix` (all when empty).
    std::vector<Message> messages(const std::string& suffix = "") const {
        std::lock_guard lock(m_mutex);
        std::vector<Message> found;
        for (const Message& message : m_messages) {
            if (message.topic.size() >= suffix.size() &&
                message.topic.compare(message.topic.size() - suffix.size(), suffix.size(),
                                      suffix) == 0) {
                found.push_back(message);
            }
        }
        return found;
    }

private:
    std::string m_filter;
    mosquitto* m_client = nullptr;
    mutable std::mutex m_mutex;
    bool m_subscribed = false;        // guarded by m_mutex
    std::vector<Message> m_messages;  // guarded by m_mutex
};

}  // namespace CalorviewTest
