// The live page: its children and their names, the layout, painting, the alarm sound file, and
// the alarm intake's registration with the connection manager.
#include <gtest/gtest.h>

#include <QDir>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QSoundEffect>
#include <memory>

#include "alarm/AlarmWindow.h"
#include "framegate/SDK_USB.h"
#include "support/ScenarioFile.h"
#include "support/Wait.h"
#include "video/DeviceConnectionManager.h"
#include "video/VideoWindow.h"

namespace {

DeviceConnectionManager& manager() {
    return *DeviceConnectionManager::instance();
}

TEST(AlarmWindowPage, ChildrenCarryTheirNamesAndTexts) {
    AlarmWindow panel;
    ASSERT_NE(panel.videoWindow(), nullptr);
    EXPECT_EQ(panel.videoWindow()->parentWidget(), &panel);
    EXPECT_EQ(panel.videoWindow()->objectName(), "VideoWindow");

    const auto* grab = panel.findChild<QPushButton*>("GrabButton");
    const auto* record = panel.findChild<QPushButton*>("RecordButton");
    const auto* scroll = panel.findChild<QScrollArea*>("ScrollArea");
    ASSERT_NE(grab, nullptr);
    ASSERT_NE(record, nullptr);
    ASSERT_NE(scroll, nullptr);
    EXPECT_EQ(grab->text(), "Snapshot");
    EXPECT_EQ(record->text(), "Record");
    EXPECT_EQ(grab->parentWidget(), &panel);
    EXPECT_EQ(record->parentWidget(), &panel);
    EXPECT_EQ(scroll->parentWidget(), &panel);
    ASSERT_NE(scroll->widget(), nullptr);
    EXPECT_EQ(scroll->widget()->objectName(), "AlarmList");
    // No alarm yet: the list is one item wide and empty.
    EXPECT_EQ(scroll->widget()->geometry(), QRect(0, 0, 256, 0));
    EXPECT_TRUE(panel.IsAlarmEnabled());
}

TEST(AlarmWindowPage, LayoutFollowsThePanelSize) {
    const struct {
        QSize panel;
        QRect video, grab, record, scroll;
    } cases[] = {
        {{1280, 670},
         {0, 0, 1004, 610},
         {20, 626, 100, 25},
         {130, 626, 100, 25},
         {1004, 0, 276, 670}},
        {{800, 600}, {0, 0, 524, 540}, {20, 556, 100, 25}, {130, 556, 100, 25}, {524, 0, 276, 600}},
        {{400, 200}, {0, 0, 124, 140}, {20, 156, 100, 25}, {130, 156, 100, 25}, {124, 0, 276, 200}},
    };
    AlarmWindow panel;
    panel.show();
    for (const auto& c : cases) {
        panel.resize(c.panel);
        EXPECT_EQ(panel.videoWindow()->geometry(), c.video) << c.panel.width();
        EXPECT_EQ(panel.findChild<QPushButton*>("GrabButton")->geometry(), c.grab);
        EXPECT_EQ(panel.findChild<QPushButton*>("RecordButton")->geometry(), c.record);
        EXPECT_EQ(panel.findChild<QScrollArea*>("ScrollArea")->geometry(), c.scroll);
    }
}

TEST(AlarmWindowPage, ResizeStartsTheVideo) {
    AlarmWindow panel;
    ASSERT_EQ(manager().FrameConsumerOf(), nullptr);
    panel.resize(800, 600);
    panel.show();
    EXPECT_EQ(manager().FrameConsumerOf(), &VideoWindow::VideoFrameConsumer);
    EXPECT_EQ(manager().FrameUserOf(), panel.videoWindow());
}

TEST(AlarmWindowPage, StyleSheetBackgroundIsPainted) {
    AlarmWindow panel;
    panel.setStyleSheet("AlarmWindow { background-color: #123456; }");
    panel.resize(800, 600);
    panel.show();
    const QImage image = panel.grab().toImage();
    // Beside the buttons: neither video, buttons nor list cover it.
    EXPECT_EQ(image.pixelColor(300, 580), QColor("#123456"));
    // The alarm list paints its own background, though opaque for its scrolling.
    QWidget* list = panel.findChild<QWidget*>("AlarmList");
    ASSERT_NE(list, nullptr);
    list->setStyleSheet("#AlarmList { background-color: #654321; }");
    list->resize(list->width(), 200);
    EXPECT_EQ(list->grab().toImage().pixelColor(2, 100), QColor("#654321"));
}

TEST(AlarmWindowSound, EachFileGetsAFreshSoundResolvedAgainstTheWorkingFolder) {
    AlarmWindow panel;
    ASSERT_NE(panel.AlarmSound(), nullptr);
    // The store is not opened here, so the panel starts on the default file.
    EXPECT_EQ(panel.AlarmSound()->source(),
              QUrl::fromLocalFile(QDir::current().absoluteFilePath("alarm1.wav")));
    const struct {
        QString path;
        QUrl expected;
    } cases[] = {
        {"/opt/sounds/siren.wav", QUrl::fromLocalFile("/opt/sounds/siren.wav")},
        {"sounds/bell.wav",
         QUrl::fromLocalFile(QDir::current().absoluteFilePath("sounds/bell.wav"))},
    };
    for (const auto& c : cases) {
        QPointer<QSoundEffect> before = panel.AlarmSound();
        panel.SetAlarmSoundFile(c.path);
        EXPECT_TRUE(before.isNull()) << c.path.toStdString();
        ASSERT_NE(panel.AlarmSound(), nullptr);
        EXPECT_EQ(panel.AlarmSound()->source(), c.expected) << c.path.toStdString();
        EXPECT_EQ(panel.AlarmSound()->thread(), panel.thread());
    }
}

// A virtual camera that raises an alarm from its first frame on.
class AlarmWindowConnected : public testing::Test {
protected:
    void SetUp() override {
        CalorviewTest::writeFile(
            m_scenario,
            CalorviewTest::scenarioJson("Alarm Panel Camera", 64, 48, 50,
                                        R"("timeline": [{"at_ms": 0, "flags": "0x4000012C"}])"));
        CalorviewTest::useVirtualCameras({m_scenario});
        int index = 0;
        char name[320] = {};
        ASSERT_TRUE(GetUsbDeviceNum(&index, name));
        ASSERT_TRUE(manager().ConnectToDev(index));
    }
    void TearDown() override { manager().DisconnectDev(); }

    CalorviewTest::TempDir m_dir;
    std::string m_scenario = m_dir.file("camera.json");
};

TEST_F(AlarmWindowConnected, EnableRegistersTheIntakeAndDisableOnlyClearsTheFlag) {
    AlarmWindow panel;
    ASSERT_FALSE(manager().IsAlarmConsumerRegistered());

    panel.EnableAlarm();
    EXPECT_TRUE(panel.IsAlarmEnabled());
    EXPECT_TRUE(manager().IsAlarmConsumerRegistered());
    EXPECT_EQ(manager().AlarmConsumerOf(), &AlarmWindow::AlarmFrameConsumer);

    // The main window's order after a connect with "Alarm/AlarmEnabled" off.
    panel.DisableAlarm();
    EXPECT_FALSE(panel.IsAlarmEnabled());
    EXPECT_TRUE(manager().IsAlarmConsumerRegistered());

    panel.EnableAlarm();
    EXPECT_TRUE(panel.IsAlarmEnabled());
    EXPECT_EQ(manager().AlarmConsumerOf(), &AlarmWindow::AlarmFrameConsumer);
}

TEST_F(AlarmWindowConnected, PanelDestroyedWhileAlarmFramesFlow) {
    auto panel = std::make_unique<AlarmWindow>();
    panel->resize(640, 480);
    panel->show();  // starts the video, so the camera streams
    panel->EnableAlarm();
    ASSERT_TRUE(manager().IsConnected());
    // Frames (all with the alarm flag) reach both consumers; then tear the page down.
    ASSERT_TRUE(CalorviewTest::waitUntil([&] { return panel->videoWindow()->IsStillRecvYUV(); }));
    panel.reset();
    // The video window closed the camera on its way out; a late call finds no panel.
    EXPECT_FALSE(manager().IsConnected());
    const unsigned char word[4] = {0x2C, 0x01, 0, 0};
    AlarmWindow::AlarmFrameConsumer(word, "20200717_123456", "2020-07-17 12:34:56", 0, 1);
}

}  // namespace
