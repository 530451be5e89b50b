// The capture thread reads the alarm keys while the GUI thread changes them and QSettings writes
// the file back from the event loop.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <atomic>
#include <thread>

#include "settings/SettingStore.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace {

TEST(SettingStoreThreadedTest, AlarmKeysReadOnAnotherThreadWhileTheGuiThreadWrites) {
    CalorviewTest::TempDir dir;
    SettingStore store;
    store.setPath(QString::fromStdString(dir.file("kvs.ini")));

    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::atomic<int> torn{0};
    // What the capture thread reads for one alarm frame.
    std::thread capture([&] {
        while (!stop.load()) {
            const bool sound = store.alarmSoundEnabled();
            const int loops = store.alarmSoundPlayTimes();
            const bool snapshot = store.alarmSnapshotEnabled();
            const QString images = store.alarmImagesPath();
            const bool imagesValid =
                images == QLatin1String("./AlarmImages") || images.startsWith("/data/images/");
            if (loops < 1 || loops > 15 || !imagesValid) {
                ++torn;
            }
            static_cast<void>(sound);
            static_cast<void>(snapshot);
            ++reads;
        }
    });

    constexpr int kWrites = 2000;
    for (int i = 0; i < kWrites; ++i) {
        store.setAlarmSoundEnabled(i % 2 == 0);
        store.setAlarmSoundPlayTimes(1 + i % 15);
        store.setAlarmSnapshotEnabled(i % 3 == 0);
        store.setAlarmImagesPath(QStringLiteral("/data/images/%1").arg(i));
        if (i % 100 == 0) {
            QCoreApplication::processEvents();  // the file write-back, on this thread
        }
    }
    EXPECT_TRUE(CalorviewTest::waitUntil([&] { return reads.load() > 0; }));
    stop = true;
    capture.join();

    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(store.alarmSoundPlayTimes(), 1 + (kWrites - 1) % 15);
    EXPECT_EQ(store.alarmImagesPath(), QStringLiteral("/data/images/%1").arg(kWrites - 1));
}

}  // namespace
