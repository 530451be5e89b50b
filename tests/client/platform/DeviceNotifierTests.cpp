#include "platform/DeviceNotifier.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <filesystem>

#include "support/TempDir.h"

using Change = DeviceNotifier::Change;

TEST(DeviceNotifierTest, ScenarioFilesPlugAndUnplugVirtualCameras) {
    CalorviewTest::TempDir dir;
    const std::string file = dir.file("camera.json");
    CalorviewTest::writeFile(file, "{}");
    DeviceNotifier notifier({QString::fromStdString(file)}, false);
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
