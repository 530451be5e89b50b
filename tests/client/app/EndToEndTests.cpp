// The staged program as a user starts it: offscreen, against a virtual camera, stopped by SIGTERM.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>

#include "support/TempDir.h"
#include "support/Wait.h"

namespace {

class EndToEndTest : public testing::Test {
protected:
    void SetUp() override {
        // A private copy of the application folder: the run writes kvs.ini and logs into it.
        std::filesystem::copy(CALORVIEW_STAGE_DIR, m_app, std::filesystem::copy_options::recursive);
        CalorviewTest::writeFile(m_scenario, R"({"name": "E2E Camera", "fps": 25})");
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("FRAMEGATE_VIRTUAL_CAMERA", QString::fromStdString(m_scenario));
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(m_dir.path().string()));
        m_process.setProcessEnvironment(environment);
        m_process.setWorkingDirectory(QString::fromStdString(m_app.string()));
        m_process.setProcessChannelMode(QProcess::MergedChannels);
    }

    bool outputContains(const char* text) {
        m_process.waitForReadyRead(50);
        m_output += m_process.readAll();
        return m_output.contains(text);
    }

    CalorviewTest::TempDir m_dir;
    std::filesystem::path m_app = m_dir.path() / "app";
    std::string m_scenario = m_dir.file("camera.json");
    QProcess m_process;
    QByteArray m_output;
};

}  // namespace

TEST_F(EndToEndTest, ConnectsToTheVirtualCameraAndClosesOnSigterm) {
    m_process.start(QString::fromStdString((m_app / "calorview").string()), {});
    ASSERT_TRUE(m_process.waitForStarted(5000));
    EXPECT_TRUE(CalorviewTest::waitUntil([&] { return outputContains("ConnectToDev Success"); },
                                         std::chrono::seconds(15)))
        << m_output.toStdString();
    m_process.terminate();  // SIGTERM
    ASSERT_TRUE(m_process.waitForFinished(10000));
    EXPECT_EQ(m_process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(m_process.exitCode(), 0);
    const std::string settings = CalorviewTest::readFile((m_app / "kvs.ini").string());
    EXPECT_NE(settings.find("RecordPath=./Records"), std::string::npos) << settings;
    EXPECT_NE(settings.find("SnapshotPath=./Snapshot"), std::string::npos) << settings;
}

// A SIGTERM while the program starts (a service manager stopping it at once) is a clean end too,
// from the moment its own code runs (before that the kernel's default action is all there is).
TEST_F(EndToEndTest, ASigtermWhileStartingIsACleanEnd) {
    m_process.start(QString::fromStdString((m_app / "calorview").string()), {});
    ASSERT_TRUE(m_process.waitForStarted(5000));
    // Its single-instance lock, the first thing it makes, says that its main has begun.
    const std::filesystem::path lock = m_dir.path() / "Calorview";
    ASSERT_TRUE(CalorviewTest::waitUntil([&] { return std::filesystem::exists(lock); }));
    m_process.terminate();
    ASSERT_TRUE(m_process.waitForFinished(10000));
    EXPECT_EQ(m_process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(m_process.exitCode(), 0);
}

TEST_F(EndToEndTest, CorruptFilesInTheApplicationFolderAreSurvived) {
    const std::string garbage("\x89\x00\xff{[garbage\x01\x02", 14);
    CalorviewTest::writeFile(
        (m_app / "kvs.ini").string(),
        "\x01\x02 not ini ]]]\n[Lang]\nChineseLang=true\n[Alarm\nAlarmEnabled=maybe\n");
    for (const char* file :
         {"CompileInfo.ini", "Skin/kvs.qss", "Skin/logo.png", "Skin/mainicon.png",
          "Skin/alert_error.png", "Lang/kvs_zh.qm", "alarm1.wav"}) {
        CalorviewTest::writeFile((m_app / file).string(), garbage);
    }
    m_process.start(QString::fromStdString((m_app / "calorview").string()), {});
    ASSERT_TRUE(m_process.waitForStarted(5000));
    EXPECT_TRUE(CalorviewTest::waitUntil([&] { return outputContains("ConnectToDev Success"); },
                                         std::chrono::seconds(15)))
        << m_output.toStdString();
    m_process.terminate();
    ASSERT_TRUE(m_process.waitForFinished(10000));
    EXPECT_EQ(m_process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(m_process.exitCode(), 0);
}
