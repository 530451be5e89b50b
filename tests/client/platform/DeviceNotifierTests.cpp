#include "platform/DeviceNotifier.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QSignalSpy>
#include <filesystem>

#include "support/CapturedMessages.h"
#include "support/TempDir.h"

using Change = DeviceNotifier::Change;

TEST(DeviceNotifierTest, ScenarioFilesPlugAndUnplugVirtualCameras) {
    CalorviewTest::TempDir dir;
    const std::string file = dir.file("camera.json");
    CalorviewTest::writeFile(file, "{}");
    DeviceNotifier notifier({QString::fromStdString(file)}, DeviceNotifier::HotPlug::kNone);
    QSignalSpy spy(&notifier, &DeviceNotifier::deviceChanged);

    std::filesystem::remove(file);
    ASSERT_TRUE(spy.wait(3000));
    EXPECT_EQ(spy.takeFirst().at(0).value<Change>(), Change::kRemoveComplete);

    CalorviewTest::writeFile(file, "{}");
    ASSERT_TRUE(spy.wait(3000));
    EXPECT_EQ(spy.takeFirst().at(0).value<Change>(), Change::kArrival);

    // Another file in the same folder is not a camera.
    spy.clear();
    CalorviewTest::writeFile(dir.file("unrelated.txt"), "x");
    EXPECT_FALSE(spy.wait(300));
}

// Without a udev monitor a camera plugged in is still seen: the video devices are listed anew
// every 2 s and what came and went is reported like udev's "add" and "remove".
TEST(DeviceNotifierTest, WithoutUdevTheVideoDevicesAreRescanned) {
    CalorviewTest::TempDir sysfs;
    const std::filesystem::path devices = sysfs.path() / "class" / "video4linux";
    std::filesystem::create_directories(devices / "video0");
    // Where no udev daemon runs (a container, as a rule), the system's choice must fall back by
    // itself; elsewhere the re-scan is asked for.
    const bool udevRuns = QFileInfo::exists("/run/udev/control");
    CalorviewTest::CapturedMessages log;
    DeviceNotifier notifier(
        {}, udevRuns ? DeviceNotifier::HotPlug::kRescan : DeviceNotifier::HotPlug::kUdev, nullptr,
        QString::fromStdString(sysfs.path().string()));
    QSignalSpy spy(&notifier, &DeviceNotifier::deviceChanged);
    constexpr int kWait = DeviceNotifier::kRescanPeriodMs + 1000;

    std::filesystem::create_directory(devices / "video2");
    ASSERT_TRUE(spy.wait(kWait));
    ASSERT_EQ(spy.size(), 1) << "the device present at the start is not news";
    EXPECT_EQ(spy.takeFirst().at(0).value<Change>(), Change::kArrival);

    std::filesystem::remove(devices / "video0");
    ASSERT_TRUE(spy.wait(kWait));
    ASSERT_EQ(spy.size(), 1) << "the arrival is reported once, not at every scan";
    EXPECT_EQ(spy.takeFirst().at(0).value<Change>(), Change::kRemoveComplete);

    EXPECT_EQ(log.count("hot-plug by listing the video devices every 2000 ms"), 1)
        << "said once, not at every scan";
}
