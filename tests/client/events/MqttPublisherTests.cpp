// The publisher against a real mosquitto: order and delivery across a broker stop, the failures
// a user can act on (one log line each), TLS with a certificate authority made here.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <sys/syscall.h>

#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QTest>
#include <QUuid>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "MqttBroker.h"
#include "events/EventJson.h"
#include "events/MqttPublisher.h"
#include "support/CapturedMessages.h"
#include "support/DroppingListener.h"
#include "support/TempDir.h"

// Name lookups in this process go through here (libmosquitto's included): kSlowHost resolves to
// 127.0.0.1 after g_slowLookupMs, and a lookup of it on the main (GUI) thread is counted.
namespace {
constexpr const char* kSlowHost = "slow-lookup.test";
std::atomic<int> g_slowLookupMs{1500};
std::atomic<int> g_slowLookupsOnGuiThread{0};
}  // namespace

extern "C" __attribute__((visibility("default"))) int getaddrinfo(const char* node,
                                                                  const char* service,
                                                                  const addrinfo* hints,
                                                                  addrinfo** found) {
    using Real = int (*)(const char*, const char*, const addrinfo*, addrinfo**);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node != nullptr && std::strcmp(node, kSlowHost) == 0) {
        if (::syscall(SYS_gettid) == ::getpid()) {
            ++g_slowLookupsOnGuiThread;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(g_slowLookupMs.load()));
        node = "127.0.0.1";
    }
    return real(node, service, hints, found);
}

namespace {

using CalorviewTest::MqttBroker;
using CalorviewTest::MqttSubscriber;
using CalorviewTest::TempDir;

MqttSettings Settings(int port) {
    MqttSettings settings;
    settings.enabled = true;
    settings.host = "127.0.0.1";
    settings.port = port;
    settings.station = "bench-7";
    settings.topicPrefix = "calorview/bench-7";
    return settings;
}

QJsonObject Numbered(int n) {
    return {{"id", QUuid::createUuid().toString(QUuid::WithoutBraces)}, {"n", n}};
}

std::unique_ptr<MqttPublisher> MakePublisher(const MqttSettings& settings, const TempDir& dir) {
    return std::make_unique<MqttPublisher>(settings, QString::fromStdString(dir.path().string()));
}

// Runs the shell command `script` in `dir`; true when it succeeded.
bool Shell(const TempDir& dir, const std::string& script) {
    const std::string command =
        "cd '" + dir.path().string() + "' && { " + script + "; } >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

}  // namespace

TEST(MqttPublisher, ABrokerStoppedTenSecondsDuringAnEpisodeGetsEveryEventOnceAndInOrder) {
    MqttBroker broker;
    MqttSubscriber subscriber(broker.port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return subscriber.subscribed(); }, 10000));
    TempDir dir;
    auto publisher = MakePublisher(Settings(broker.port()), dir);
    ASSERT_TRUE(QTest::qWaitFor([&] { return publisher->IsConnected(); }, 10000));
    AlarmEpisode episode;
    episode.serial = 1;
    episode.firstTime = QDateTime::currentDateTime();
    episode.peakTemperature = 38.5;
    std::vector<std::string> sent;
    const auto publish = [&](const QString& subtopic, const QJsonObject& payload) {
        sent.push_back(payload.value("id").toString().toStdString() + " " + subtopic.toStdString());
        publisher->Publish(subtopic, payload);
    };
    publish("recording", EventJson::Recording("bench-7", true, "a/1.mp4", true));
    publish("alarm/start", EventJson::AlarmStart("bench-7", episode));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return subscriber.messages("/alarm/start").size() == 1; }, 10000));
    // Both acknowledgements home (the publisher's and the subscriber's), or the broker sends a
    // QoS 1 duplicate after its restart, as it may.
    ASSERT_TRUE(QTest::qWaitFor([&] { return publisher->outbox().PendingCount() == 0; }, 5000));
    QTest::qWait(500);

    broker.Stop();
    // The episode goes on and ends while the broker is away.
    episode.peakTemperature = 39.5;
    for (int i = 0; i < 5; ++i) {
        QTest::qWait(2000);
        publish("recording", EventJson::Recording("bench-7", i % 2 == 0, "a/2.mp4", true));
    }
    publish("alarm/end", EventJson::AlarmEnd("bench-7", episode));
    EXPECT_EQ(publisher->outbox().PendingCount(), 6);
    broker.Start();
    // libmosquitto's backoff has grown to 8 s meanwhile.
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return subscriber.messages("/alarm/end").size() == 1; }, 40000));
    QTest::qWait(500);  // time for a duplicate to show

    std::vector<std::string> received;
    for (const auto& message : subscriber.messages()) {
        if (message.topic.find("/status") == std::string::npos) {
            received.push_back(message.payload.value("id").toString().toStdString() + " " +
                               message.topic.substr(message.topic.find('/', 10) + 1));
        }
    }
    EXPECT_EQ(received, sent) << broker.log();
    EXPECT_DOUBLE_EQ(
        subscriber.messages("/alarm/end").at(0).payload.value("peakTemperature").toDouble(), 39.5);
    EXPECT_TRUE(QTest::qWaitFor([&] { return publisher->outbox().PendingCount() == 0; }, 5000));
    const auto status = subscriber.messages("/status");
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.back().payload.value("status").toString(), "online");

    publisher.reset();  // a clean end: "offline", retained
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const auto now = subscriber.messages("/status");
            return now.back().payload.value("status").toString() == "offline";
        },
        5000));
}

// A slow resolver must not stop the picture: the name is looked up on the connection's own
// thread, never on the GUI thread, and the connection is still made by name.
TEST(MqttPublisher, LooksTheBrokerUpAndConnectsOffTheGuiThread) {
    MqttBroker broker;
    TempDir dir;
    MqttSettings settings = Settings(broker.port());
    settings.host = kSlowHost;
    auto publisher = MakePublisher(settings, dir);
    publisher->Publish("seq", Numbered(1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return publisher->outbox().PendingCount() == 0; }, 15000))
        << broker.log();
    EXPECT_EQ(g_slowLookupsOnGuiThread.load(), 0);
}

// The end of the run never waits on the network (a closing program holds its single-instance
// lock): neither for a connection attempt the broker's host leaves hanging nor for a name lookup
// that hangs. What was not acknowledged stays in the outbox for the next start.
class MqttStopTest : public testing::TestWithParam<const char*> {};

TEST_P(MqttStopTest, EndsWithinAboutASecondKeepingWhatIsPending) {
    const std::string hang = GetParam();
    CalorviewTest::DroppingListener listener;
    TempDir dir;
    MqttSettings settings = Settings(listener.port());
    if (hang == "lookup") {
        g_slowLookupMs = 5000;
        settings.host = kSlowHost;
    }
    auto publisher = MakePublisher(settings, dir);
    publisher->Publish("seq", Numbered(1));
    if (hang == "connect") {
        // The first connection is closed at once; the next attempt, a second later, hangs.
        ASSERT_TRUE(QTest::qWaitFor([&] { return listener.full(); }, 5000));
    }
    QTest::qWait(1500);
    // A test that fails must not hang with it: the attempt ends once the listener is gone.
    std::atomic<bool> stopped{false};
    std::thread release([&] {
        for (int i = 0; i < 400 && !stopped; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        listener.Release();
    });
    QElapsedTimer stopping;
    stopping.start();
    publisher.reset();
    EXPECT_LT(stopping.elapsed(), 1300);
    stopped = true;
    release.join();
    g_slowLookupMs = 1500;
    EventOutbox outbox(QString::fromStdString(dir.path().string()));
    outbox.Open();
    EXPECT_EQ(outbox.PendingCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(Hanging, MqttStopTest, testing::Values("connect", "lookup"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

// A failure a user can act on is logged once, however often libmosquitto tries again.
struct FailureCase {
    const char* name;
    const char* host;  // null: 127.0.0.1
    bool brokerWithPassword;
    const char* logged;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.name;
}

class MqttFailureTest : public testing::TestWithParam<FailureCase> {};

TEST_P(MqttFailureTest, IsLoggedOnceAndNothingIsDelivered) {
    const FailureCase& c = GetParam();
    TempDir dir;
    std::unique_ptr<MqttBroker> broker;
    MqttSettings settings = Settings(CalorviewTest::FreePort());
    if (c.brokerWithPassword) {
        ASSERT_TRUE(Shell(dir, "mosquitto_passwd -b -c passwords station right"));
        broker = std::make_unique<MqttBroker>("allow_anonymous false\npassword_file " +
                                              dir.file("passwords") + "\n");
        settings.port = broker->port();
        settings.username = "station";
        CalorviewTest::writeFile(dir.file("password"), "wrong\n");
        settings.passwordFile = QString::fromStdString(dir.file("password"));
    }
    if (c.host != nullptr) {
        settings.host = c.host;
    }
    CalorviewTest::CapturedMessages log;
    auto publisher = MakePublisher(settings, dir);
    publisher->Publish("seq", Numbered(1));
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.count(c.logged) > 0; }, 15000)) << c.name;
    QTest::qWait(5000);  // libmosquitto tries again after 1, 2, 4 s; the lookup after 2 s
    EXPECT_EQ(log.count(c.logged), 1) << c.name;
    EXPECT_FALSE(publisher->IsConnected());
    EXPECT_EQ(publisher->outbox().PendingCount(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, MqttFailureTest,
    testing::Values(FailureCase{"refused", nullptr, false, "was refused"},
                    FailureCase{"unresolved", "no-such-host.invalid", false, "does not resolve"},
                    FailureCase{"wrong_password", nullptr, true, "refused the credentials"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// TLS: the broker's certificate is signed by an authority made here. The publisher trusts that
// authority and delivers, or trusts another one and is refused with one log line.
class MqttTlsTest : public testing::TestWithParam<bool> {};

TEST_P(MqttTlsTest, VerifiesTheBrokerAgainstCaFile) {
    const bool rightAuthority = GetParam();
    TempDir dir;
    const char* makeCa =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=";
    ASSERT_TRUE(Shell(dir, std::string(makeCa) + "TestCA -keyout ca.key -out ca.crt"));
    ASSERT_TRUE(Shell(dir, std::string(makeCa) + "OtherCA -keyout other.key -out other.crt"));
    ASSERT_TRUE(Shell(dir,
                      "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
                      "-subj /CN=localhost -keyout server.key -out server.csr && "
                      "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san.ext && "
                      "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key "
                      "-CAcreateserial -days 2 -extfile san.ext -out server.crt"));
    const int tlsPort = CalorviewTest::FreePort();
    MqttBroker broker("allow_anonymous true\nlistener " + std::to_string(tlsPort) +
                      " 127.0.0.1\ncafile " + dir.file("ca.crt") + "\ncertfile " +
                      dir.file("server.crt") + "\nkeyfile " + dir.file("server.key") + "\n");
    MqttSubscriber subscriber(broker.port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return subscriber.subscribed(); }, 10000));

    MqttSettings settings = Settings(tlsPort);
    settings.caFile = QString::fromStdString(dir.file(rightAuthority ? "ca.crt" : "other.crt"));
    CalorviewTest::CapturedMessages log;
    TempDir outbox;
    auto publisher = MakePublisher(settings, outbox);
    publisher->Publish("seq", Numbered(1));
    if (rightAuthority) {
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return subscriber.messages("/seq").size() == 1; }, 10000));
        EXPECT_EQ(log.count("does not verify"), 0);
    } else {
        ASSERT_TRUE(QTest::qWaitFor([&] { return log.count("does not verify") > 0; }, 10000));
        QTest::qWait(3000);  // the restart after 2 s fails the same way
        EXPECT_EQ(log.count("does not verify"), 1);
        EXPECT_TRUE(subscriber.messages("/seq").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Authority, MqttTlsTest, testing::Values(true, false),
                         [](const testing::TestParamInfo<bool>& info) {
                             return std::string(info.param ? "Right" : "Wrong");
                         });

// Retained values are not queued like events: a broker away while three pictures were taken gets
// only the latest, once. A broker whose packet limit is below a picture closes the connection
// on it: the picture is given up (logged once), the events still arrive.
class MqttPictureTest : public testing::TestWithParam<bool> {};

TEST_P(MqttPictureTest, SendsOnlyTheLatestPictureAndNeverOneTheBrokerRefuses) {
    const bool limited = GetParam();
    MqttBroker broker(limited ? "allow_anonymous true\nmax_packet_size 20000\n"
                              : "allow_anonymous true\n");
    MqttSubscriber subscriber(broker.port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return subscriber.subscribed(); }, 10000));
    TempDir dir;
    CalorviewTest::CapturedMessages log;
    auto publisher = MakePublisher(Settings(broker.port()), dir);
    ASSERT_TRUE(QTest::qWaitFor([&] { return publisher->IsConnected(); }, 10000));
    const QByteArray topic = publisher->Topic("picture");
    const auto picture = [](char fill) { return QByteArray(50000, fill); };
    if (!limited) {
        broker.Stop();
    }
    for (const char fill : {'a', 'b', 'c'}) {
        publisher->PublishRetained(topic, picture(fill), true);
        publisher->Publish("alarm/picture", Numbered(fill));
        QTest::qWait(limited ? 1500 : 200);
    }
    if (!limited) {
        broker.Start();
    }
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return subscriber.messages("/alarm/picture").size() >= 3; }, 30000))
        << broker.log();
    QTest::qWait(1000);  // time for a picture sent again to show
    const auto pictures = subscriber.messages("bench-7/picture");
    if (limited) {
        EXPECT_TRUE(pictures.empty());
        EXPECT_EQ(log.count("it is not sent again"), 1);
    } else {
        ASSERT_EQ(pictures.size(), 1u);
        EXPECT_EQ(pictures[0].raw, picture('c'));
    }
}

INSTANTIATE_TEST_SUITE_P(Broker, MqttPictureTest, testing::Values(false, true),
                         [](const auto& info) {
                             return info.param ? "OverItsLimit" : "AwayAWhile";
                         });
