// The staged program with "Mqtt/Enabled" against a real mosquitto: an alarm episode of a virtual
// camera reaches a subscriber with its facts; events of a killed run, or of a run that ended on
// SIGTERM while its broker's host dropped every connection attempt, are delivered by the next;
// a killed program's status goes "offline" through its Last Will.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QProcess>
#include <QTest>
#include <filesystem>
#include <regex>

#include "MqttBroker.h"
#include "support/DroppingListener.h"
#include "support/ProgramEnvironment.h"
#include "support/TempDir.h"

namespace {

using CalorviewTest::MqttBroker;
using CalorviewTest::MqttSubscriber;

// Quiet for 1 s, then 1.5 s of alarm in Celsius that rises once, then quiet for good.
const char* const kAlarmScenario = R"({"name": "Mqtt Camera", "fps": 25, "timeline": [
    {"at_ms": 0, "time": "local", "unit": "C"},
    {"at_ms": 1000, "alarm": true, "rect": true, "temperature": 38.5},
    {"at_ms": 2000, "temperature": 39.5},
    {"at_ms": 2500, "alarm": false, "rect": false, "temperature": 0}]})";

class StationEventsEndToEnd : public testing::Test {
protected:
    void SetUp() override {
        std::filesystem::copy(CALORVIEW_STAGE_DIR, m_app, std::filesystem::copy_options::recursive);
        CalorviewTest::writeFile(m_dir.file("camera.json"), kAlarmScenario);
        WriteSettings(m_broker.port());
    }
    void WriteSettings(int port) {
        CalorviewTest::writeFile((m_app / "kvs.ini").string(),
                                 "[Alarm]\nAlarmSoundEnabled=false\n[Mqtt]\nEnabled=true\n"
                                 "Host=127.0.0.1\nStation=e2e\nDiscovery=true\n"
                                 "HealthSeconds=2\nPort=" +
                                     std::to_string(port) + "\n");
    }
    void TearDown() override {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    void StartProgram() {
        m_process.setProcessEnvironment(
            CalorviewTest::programEnvironment(m_dir.file("camera.json"), m_dir.path().string()));
        m_process.setWorkingDirectory(QString::fromStdString(m_app.string()));
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QString::fromStdString((m_app / "calorview").string()), {});
        ASSERT_TRUE(m_process.waitForStarted(5000));
    }
    // Waits for `count` messages on topics ending with `suffix`.
    bool WaitFor(const MqttSubscriber& subscriber, const std::string& suffix, size_t count,
                 int ms = 20000) {
        return QTest::qWaitFor([&] { return subscriber.messages(suffix).size() >= count; }, ms);
    }
    std::string Output() { return m_process.readAll().toStdString(); }
    QByteArray Snapshot(const QJsonValue& name) {
        return QByteArray::fromStdString(CalorviewTest::readFile(
            (m_app / "AlarmImages" / name.toString().toStdString()).string()));
    }

    CalorviewTest::TempDir m_dir;
    std::filesystem::path m_app = m_dir.path() / "app";
    MqttBroker m_broker;
    QProcess m_process;
};

// The events are the messages not retained as the latest value of their topic.
bool IsEvent(const std::string& topic) {
    for (const char* retained : {"/status", "/health", "/alarm/state", "/picture"}) {
        if (topic.ends_with(retained) && !topic.ends_with("/alarm/picture")) {
            return false;
        }
    }
    return true;
}

}  // namespace

TEST_F(StationEventsEndToEnd, AnAlarmEpisodeArrivesWithItsFacts) {
    MqttSubscriber subscriber(m_broker.port());
    MqttSubscriber discovery(m_broker.port(), "homeassistant/#");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return subscriber.subscribed() && discovery.subscribed(); }, 10000));
    StartProgram();
    // The episode ends 5 s after its last alarm frame, 7.5 s into the stream.
    ASSERT_TRUE(WaitFor(subscriber, "/alarm/end", 1)) << Output();
    ASSERT_TRUE(WaitFor(subscriber, "/recording", 2)) << Output();

    const auto camera = subscriber.messages("e2e/camera");
    ASSERT_EQ(camera.size(), 1u);
    EXPECT_EQ(camera[0].payload.value("event").toString(), "connected");
    EXPECT_EQ(camera[0].payload.value("camera").toString(), "Mqtt Camera");

    const std::regex isoWithOffset(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d))");
    const std::regex cameraTime(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    const QJsonObject start = subscriber.messages("/alarm/start").at(0).payload;
    EXPECT_EQ(start.value("station").toString(), "e2e");
    EXPECT_TRUE(std::regex_match(start.value("time").toString().toStdString(), isoWithOffset));
    EXPECT_TRUE(std::regex_match(start.value("cameraTime").toString().toStdString(), cameraTime));
    EXPECT_DOUBLE_EQ(start.value("temperature").toDouble(), 38.5);
    EXPECT_EQ(start.value("unit").toString(), "C");
    const std::string snapshot = start.value("snapshot").toString().toStdString();
    EXPECT_TRUE(std::filesystem::exists(m_app / "AlarmImages" / snapshot)) << snapshot;

    const QJsonObject end = subscriber.messages("/alarm/end").at(0).payload;
    EXPECT_EQ(end.value("episode"), start.value("episode"));
    EXPECT_DOUBLE_EQ(end.value("peakTemperature").toDouble(), 39.5);
    EXPECT_EQ(end.value("firstSnapshot").toString().toStdString(), snapshot);
    EXPECT_EQ(end.value("firstCameraTime"), start.value("cameraTime"));
    EXPECT_GE(end.value("snapshots").toInt(), 1);
    EXPECT_LT(end.value("firstTime").toString(), end.value("lastTime").toString());

    const auto recording = subscriber.messages("/recording");
    EXPECT_EQ(recording[0].payload.value("event").toString(), "started");
    EXPECT_EQ(recording[1].payload.value("event").toString(), "finished");
    for (const auto& message : recording) {
        EXPECT_EQ(message.payload.value("folder").toString(), "alarm");
        EXPECT_EQ(message.payload.value("file"), end.value("recording"));
    }
    EXPECT_TRUE(std::filesystem::exists(m_app / "AlarmRecords" /
                                        end.value("recording").toString().toStdString()));

    // The first snapshot's bytes as on disk, and the last's when it is another, each with its
    // companion event.
    const auto pictures = subscriber.messages("e2e/picture");
    const auto companions = subscriber.messages("/alarm/picture");
    ASSERT_EQ(pictures.size(), end.value("snapshots").toInt() > 1 ? 2u : 1u);
    ASSERT_EQ(companions.size(), pictures.size());
    EXPECT_EQ(pictures[0].raw, Snapshot(start.value("snapshot")));
    EXPECT_EQ(pictures.back().raw, Snapshot(end.value("lastSnapshot")));
    EXPECT_EQ(companions[0].payload.value("snapshot"), start.value("snapshot"));
    EXPECT_EQ(companions[0].payload.value("bytes").toInt(), pictures[0].raw.size());
    EXPECT_EQ(companions[0].payload.value("scaled").toBool(), false);

    const auto states = subscriber.messages("/alarm/state");
    ASSERT_GE(states.size(), 2u);
    EXPECT_EQ(states.front().payload.value("state").toString(), "ON");
    EXPECT_DOUBLE_EQ(states.front().payload.value("temperature").toDouble(), 38.5);
    EXPECT_EQ(states.back().payload.value("state").toString(), "OFF");
    EXPECT_DOUBLE_EQ(states.back().payload.value("temperature").toDouble(), 39.5);
    EXPECT_EQ(states.back().payload.value("episode"), start.value("episode"));
    const auto alarmEvents = subscriber.messages("/alarm/event");
    ASSERT_EQ(alarmEvents.size(), 2u);
    EXPECT_EQ(alarmEvents[1].payload.value("event_type").toString(), "end");

    // The health every 2 s, from a camera sending 25 frames a second.
    ASSERT_TRUE(WaitFor(subscriber, "/health", 4));
    const QJsonObject health = subscriber.messages("/health").back().payload;
    EXPECT_TRUE(health.value("cameraConnected").toBool()) << Output();
    EXPECT_TRUE(health.value("delivering").toBool());
    EXPECT_NEAR(health.value("framesPerSecond").toDouble(), 25, 8);
    EXPECT_LT(health.value("secondsSinceFrame").toDouble(), 1);
    EXPECT_GT(health.value("freeBytes").toDouble(), 0);
    EXPECT_EQ(health.value("folderFreeBytes").toObject().size(), 4);
    EXPECT_FALSE(health.value("version").toString().isEmpty());
    EXPECT_FALSE(health.value("alarmLogFailing").toBool());

    // Discovered, and again when Home Assistant comes online.
    ASSERT_TRUE(WaitFor(discovery, "/config", 1));
    const auto config = discovery.messages("/config").at(0);
    EXPECT_TRUE(config.retained || config.topic.find("calorview_e2e_") != std::string::npos);
    EXPECT_EQ(config.payload.value("dev").toObject().value("name").toString(), "e2e");
    EXPECT_EQ(config.payload.value("cmps").toObject().size(), 6);
    ASSERT_EQ(std::system(("mosquitto_pub -p " + std::to_string(m_broker.port()) +
                           " -t homeassistant/status -m online")
                              .c_str()),
              0);
    EXPECT_TRUE(WaitFor(discovery, "/config", 2, 10000));

    // A dashboard that connects later reads the latest picture and state.
    MqttSubscriber late(m_broker.port(), "calorview/e2e/#");
    ASSERT_TRUE(WaitFor(late, "/alarm/state", 1, 10000));
    EXPECT_EQ(late.messages("/alarm/state").at(0).payload.value("state").toString(), "OFF");
    ASSERT_TRUE(WaitFor(late, "e2e/picture", 1, 10000));
    EXPECT_TRUE(late.messages("e2e/picture").at(0).retained);
    EXPECT_EQ(late.messages("e2e/picture").at(0).raw, pictures.back().raw);

    m_process.terminate();
    ASSERT_TRUE(m_process.waitForFinished(10000));
    ASSERT_TRUE(WaitFor(subscriber, "/status", 2, 5000));
    const auto status = subscriber.messages("/status");
    EXPECT_EQ(status.front().payload.value("status").toString(), "online");
    EXPECT_EQ(status.back().payload.value("status").toString(), "offline");
}

// How the first run ends: killed while the broker is down, or SIGTERM while the broker's host
// drops every connection attempt (the end must not wait on the network).
class StationEventsNextRun : public StationEventsEndToEnd,
                             public testing::WithParamInterface<const char*> {};

TEST_P(StationEventsNextRun, DeliversTheEarlierRunsEventsFirstAndItsWillSaysOffline) {
    const bool killed = std::string(GetParam()) == "killed";
    CalorviewTest::DroppingListener dropping;
    m_broker.Stop();
    if (!killed) {
        WriteSettings(dropping.port());
    }
    StartProgram();
    const std::string outbox = (m_app / "mqtt-outbox.jsonl").string();
    // Killed in its episode; terminated once the episode and its recording have ended.
    const std::string last = killed ? "/alarm/start\t" : "/alarm/end\t";
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return CalorviewTest::readFile(outbox).find(last) != std::string::npos; }, 20000))
        << Output();
    QTest::qWait(1500);  // one outbox sync at least
    if (killed) {
        m_process.kill();
        ASSERT_TRUE(m_process.waitForFinished(5000));
    } else {
        QElapsedTimer ending;
        ending.start();
        m_process.terminate();
        ASSERT_TRUE(m_process.waitForFinished(10000));
        EXPECT_EQ(m_process.exitCode(), 0);
        EXPECT_LT(ending.elapsed(), 1500) << Output();
        WriteSettings(m_broker.port());
    }
    std::vector<std::string> killedIds;
    const std::string lines = CalorviewTest::readFile(outbox);
    for (size_t at = 0; at < lines.size();) {
        const size_t end = lines.find('\n', at);
        if (end == std::string::npos) {
            break;  // a torn line is not an event
        }
        killedIds.push_back(lines.substr(at, lines.find('\t', at) - at));
        at = end + 1;
    }
    ASSERT_GE(killedIds.size(), 3u) << "camera, recording, alarm start: " << lines;
    dropping.Release();

    m_broker.Start();
    MqttSubscriber subscriber(m_broker.port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return subscriber.subscribed(); }, 10000));
    StartProgram();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const auto all = subscriber.messages();
            return std::count_if(all.begin(), all.end(), [](const auto& message) {
                       return IsEvent(message.topic);
                   }) >= static_cast<long>(killedIds.size());
        },
        20000));
    std::vector<std::string> received;
    for (const auto& message : subscriber.messages()) {
        if (IsEvent(message.topic)) {
            received.push_back(message.payload.value("id").toString().toStdString());
        }
    }
    received.resize(std::min(received.size(), killedIds.size()));
    EXPECT_EQ(received, killedIds) << "the earlier run's events first, in their order";

    m_process.kill();  // no clean end: the broker sends the Last Will
    ASSERT_TRUE(m_process.waitForFinished(5000));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const auto status = subscriber.messages("/status");
            return !status.empty() && status.back().payload.value("status") == "offline";
        },
        10000));
    MqttSubscriber late(m_broker.port(), "calorview/e2e/status");
    ASSERT_TRUE(WaitFor(late, "/status", 1, 10000));
    EXPECT_TRUE(late.messages().at(0).retained);
    EXPECT_EQ(late.messages().at(0).payload.value("status").toString(), "offline");
}

INSTANTIATE_TEST_SUITE_P(FirstRun, StationEventsNextRun, testing::Values("killed", "terminated"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });
