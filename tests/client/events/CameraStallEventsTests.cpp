// The staged program with "Mqtt/Enabled" on the camera umockdev emulates, against a real
// mosquitto: a camera whose stream dies for 15 s while it stays plugged in is told once as
// "stalled" and, when its frames come back, as "delivering"; a 3-s pause is no news.
#include <gtest/gtest.h>

#include <QProcess>
#include <QTest>
#include <filesystem>
#include <thread>

#include "MqttBroker.h"
#include "support/EmulatedV4l2Camera.h"
#include "support/ProgramEnvironment.h"
#include "support/TempDir.h"

using namespace std::chrono_literals;

TEST(CameraStallEvents, AStreamDeadForLongIsToldOnceAndAShortPauseIsNot) {
    if (const std::string reason = EmulatedV4l2Camera::Unavailable(); !reason.empty()) {
        GTEST_SKIP() << reason;
    }
    CalorviewTest::TempDir dir;
    const std::filesystem::path app = dir.path() / "app";
    std::filesystem::copy(CALORVIEW_STAGE_DIR, app, std::filesystem::copy_options::recursive);
    CalorviewTest::MqttBroker broker;
    CalorviewTest::writeFile((app / "kvs.ini").string(),
                             "[Alarm]\nAlarmSoundEnabled=false\n[Mqtt]\nEnabled=true\n"
                             "Host=127.0.0.1\nStation=stall\nPort=" +
                                 std::to_string(broker.port()) + "\n");
    CalorviewTest::MqttSubscriber subscriber(broker.port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return subscriber.subscribed(); }, 10000));
    EmulatedV4l2Camera camera({});
    const auto cameraEvents = [&] {
        QStringList events;
        for (const auto& message : subscriber.messages("stall/camera")) {
            events << message.payload.value("event").toString();
        }
        return events.join(' ').toStdString();
    };

    QProcess program;
    program.setProcessEnvironment(CalorviewTest::programEnvironment("", dir.path().string()));
    program.setWorkingDirectory(QString::fromStdString(app.string()));
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(QString::fromStdString((app / "calorview").string()), {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return cameraEvents() == "connected"; }, 20000))
        << program.readAll().toStdString();

    camera.pause(true);
    QTest::qWait(3000);
    camera.pause(false);
    QTest::qWait(2000);
    EXPECT_EQ(cameraEvents(), "connected") << "a short pause is no news";

    camera.pause(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return cameraEvents() == "connected stalled"; }, 14000));
    QTest::qWait(4000);
    camera.pause(false);
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return cameraEvents() == "connected stalled delivering"; }, 15000))
        << cameraEvents();

    program.terminate();
    ASSERT_TRUE(program.waitForFinished(10000));
    EXPECT_EQ(program.exitCode(), 0);
    EXPECT_EQ(cameraEvents(), "connected stalled delivering") << "and nothing else";
}
