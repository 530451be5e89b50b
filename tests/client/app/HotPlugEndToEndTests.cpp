// Plugging the camera in and out as a user does, with the real program's windows against the
// camera umockdev emulates: its udev events, sysfs tree and V4L2 node take the system's path.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <chrono>
#include <cstdio>
#include <string>

#include "support/EmulatedV4l2Camera.h"
#include "support/TempDir.h"
#include "support/Wait.h"

using namespace std::chrono_literals;

namespace {

// AddressSanitizer's run plugs it often enough for a leak per cycle to show; the normal build
// checks that the cycle works.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kCycles = 20;
#else
constexpr int kCycles = 3;
#endif

// The recording driver, watching, in a folder of its own with no virtual camera.
class WatchingDriver {
public:
    explicit WatchingDriver(bool udevMonitor) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("FRAMEGATE_VIRTUAL_CAMERA", "");
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(m_dir.path().string()));
        if (udevMonitor) {
            environment.insert("CALORVIEW_TEST_UDEV_MONITOR", "1");
        }
        CalorviewTest::writeFile(m_dir.file("kvs.ini"), "[Alarm]\nAlarmSoundEnabled=false\n");
        m_process.setProcessEnvironment(environment);
        m_process.setWorkingDirectory(QString::fromStdString(m_dir.path().string()));
        m_process.start(CALORVIEW_RECORDING_DRIVER, {"--no-record", "--watch"});
    }
    ~WatchingDriver() {
        m_process.kill();
        m_process.waitForFinished(5000);
    }

    // Lines from here on are the news of the next step.
    void mark() {
        m_output += m_process.readAllStandardOutput();
        m_mark = m_output.size() - 1;
    }
    // Waits for a line that starts with `line`, said since the mark.
    bool waitForLine(const QByteArray& line, std::chrono::milliseconds limit) {
        return CalorviewTest::waitUntil(
            [&] {
                m_process.waitForReadyRead(10);
                m_output += m_process.readAllStandardOutput();
                return m_output.indexOf("\n" + line, m_mark) >= 0;
            },
            limit);
    }
    QProcess& process() { return m_process; }
    std::string output() const { return m_output.toStdString(); }

private:
    CalorviewTest::TempDir m_dir;
    QProcess m_process;
    QByteArray m_output = "\n";
    qsizetype m_mark = 0;
};

}  // namespace

// Started without a camera; plugged in: the live picture; unplugged: the list empties and the
// picture says so; plugged again: the picture comes back. With udev's events, and by the
// re-scan where no udev daemon runs.
TEST(HotPlugEndToEnd, ThePictureFollowsTheCameraInAndOut) {
    const std::string reason = EmulatedV4l2Camera::Unavailable();
    if (!reason.empty()) {
        GTEST_SKIP() << reason;
    }
    const struct {
        bool udevMonitor;
        int cycles;
        std::chrono::milliseconds pictureWithin;
    } rows[] = {{true, kCycles, 3s}, {false, 1, 5s}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.udevMonitor ? "udev monitor" : "re-scan");
        EmulatedV4l2Camera::Setup setup;
        setup.plugged = false;
        EmulatedV4l2Camera camera(setup);
        WatchingDriver driver(row.udevMonitor);
        ASSERT_TRUE(driver.waitForLine("cameras 0", 20s)) << driver.output();
        const auto begin = std::chrono::steady_clock::now();
        for (int cycle = 0; cycle < row.cycles; ++cycle) {
            SCOPED_TRACE(cycle);
            driver.mark();
            camera.plug();
            ASSERT_TRUE(driver.waitForLine("picture live", row.pictureWithin)) << driver.output();
            driver.mark();
            camera.unplug();
            ASSERT_TRUE(driver.waitForLine("cameras 0", row.pictureWithin)) << driver.output();
            ASSERT_TRUE(driver.waitForLine("picture: Camera disconnected at ", 1s))
                << driver.output();
        }
        std::printf(
            "%d plug cycles in %.1f s\n", row.cycles,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count());
        driver.process().terminate();
        ASSERT_TRUE(driver.process().waitForFinished(20000));
        EXPECT_EQ(driver.process().exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(driver.process().exitCode(), 0)
            << driver.process().readAllStandardError().toStdString();
    }
}
