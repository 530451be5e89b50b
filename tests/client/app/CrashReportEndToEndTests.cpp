// Crash reports end to end: the staged program, sent SIGSEGV or crashing on purpose
// (CALORVIEW_TEST_CRASH), dies by the signal and leaves a report in QZLog/, which it creates;
// the next start names the new report, and the start after that none.
#include <gtest/gtest.h>
#include <signal.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>
#include <set>
#include <string>

#include "support/TempDir.h"
#include "support/Wait.h"

namespace {

namespace fs = std::filesystem;

constexpr char kVersion[] = "V7.7.7-crash-test";

// The start's output names `report` once (none when empty) and no other.
void ExpectNamed(const QByteArray& output, const std::string& report) {
    EXPECT_EQ(output.count("crash report of an earlier run"), report.empty() ? 0 : 1)
        << output.toStdString();
    if (!report.empty()) {
        EXPECT_TRUE(output.contains(("QZLog/" + report + "\n").c_str())) << output.toStdString();
    }
}

struct Crash {
    const char* testSwitch;  // CALORVIEW_TEST_CRASH; empty: SIGSEGV sent once the camera runs
    int signal;
    const char* signalLine;
    const char* expected;  // what else the report must say
};

class CrashReportTest : public testing::Test {
protected:
    void SetUp() override {
        fs::copy(CALORVIEW_STAGE_DIR, m_app, fs::copy_options::recursive);
        fs::remove_all(m_app / "QZLog");
        CalorviewTest::writeFile((m_app / "CompileInfo.ini").string(),
                                 std::string("[CompileInfo]\nCompileVersion=") + kVersion + "\n");
    }

    // Starts the program and waits until the camera is connected (with a crash switch: until it
    // ended). Returns its output so far.
    QByteArray Start(QProcess& process, const char* testSwitch) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("FRAMEGATE_VIRTUAL_CAMERA", "demo");
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(m_dir.path().string()));
        environment.remove("CALORVIEW_TEST_CRASH");
        if (*testSwitch != '\0') {
            environment.insert("CALORVIEW_TEST_CRASH", testSwitch);
        }
        process.setProcessEnvironment(environment);
        process.setWorkingDirectory(QString::fromStdString(m_app.string()));
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QString::fromStdString((m_app / "calorview").string()), {});
        QByteArray output;
        CalorviewTest::waitUntil(
            [&] {
                process.waitForReadyRead(50);
                output += process.readAll();
                return output.contains("ConnectToDev Success") ||
                       process.state() == QProcess::NotRunning;
            },
            std::chrono::seconds(20));
        return output;
    }

    // The one report file in QZLog/ that is not yet in `known`, which then holds it.
    std::string NewReport(std::set<std::string>* known) const {
        std::string found;
        for (const auto& entry : fs::directory_iterator(m_app / "QZLog")) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with("crash-") && name.ends_with(".txt") &&
                known->insert(name).second) {
                EXPECT_TRUE(found.empty()) << found << " and " << name;
                found = name;
            }
        }
        return found;
    }

    CalorviewTest::TempDir m_dir;
    fs::path m_app = m_dir.path() / "app";
};

}  // namespace

TEST_F(CrashReportTest, FatalSignalsLeaveAReportThatTheNextStartNamesOnce) {
    const Crash crashes[] = {
        {"", SIGSEGV, "Signal: 11 (SIGSEGV)", "sent by process"},
        {"segv", SIGSEGV, "Signal: 11 (SIGSEGV)", "Thread: calorview "},
        {"abort", SIGABRT, "Signal: 6 (SIGABRT)", "Thread: calorview "},
    };
    std::set<std::string> reports;
    std::string previous;  // each start names the report of the run before
    for (const Crash& crash : crashes) {
        SCOPED_TRACE(crash.signalLine);
        QProcess process;
        QByteArray output = Start(process, crash.testSwitch);
        if (*crash.testSwitch == '\0') {
            ASSERT_TRUE(output.contains("ConnectToDev Success")) << output.toStdString();
            kill(static_cast<pid_t>(process.processId()), SIGSEGV);
        }
        process.waitForFinished(15000);  // false after a crash, too
        ASSERT_EQ(process.state(), QProcess::NotRunning);
        output += process.readAll();
        EXPECT_EQ(process.exitStatus(), QProcess::CrashExit);
        EXPECT_EQ(process.exitCode(), crash.signal);
        ExpectNamed(output, previous);

        previous = NewReport(&reports);
        ASSERT_FALSE(previous.empty());
        const std::string text = CalorviewTest::readFile((m_app / "QZLog" / previous).string());
        EXPECT_NE(text.find(crash.signalLine), std::string::npos) << text;
        EXPECT_NE(text.find(crash.expected), std::string::npos) << text;
        EXPECT_NE(text.find(std::string("Version: ") + kVersion), std::string::npos) << text;
        EXPECT_NE(text.find("Thread: "), std::string::npos) << text;
        EXPECT_NE(text.find("Backtrace of the crashing thread:\n"), std::string::npos) << text;
        if (*crash.testSwitch != '\0') {
            EXPECT_NE(text.find("CrashOnPurpose"), std::string::npos) << text;
        }
    }

    for (const std::string& named : {previous, std::string()}) {
        QProcess process;
        const QByteArray output = Start(process, "");
        ASSERT_TRUE(output.contains("ConnectToDev Success")) << output.toStdString();
        ExpectNamed(output, named);
        process.terminate();
        process.waitForFinished(10000);
    }
}
