// The random driver (RandomDriver.cpp) end to end: the real program in a private copy of the
// application folder, driven at random for CALORVIEW_DRIVER_SECONDS (60) from the seed
// CALORVIEW_DRIVER_SEED (1; 0 draws a new one), then ended by SIGTERM. Its camera
// (quiet-and-alarm.json) repeats every 20 s: 2 s quiet, 3 s of a rising alarm in Celsius with the
// rectangle, 7 s quiet (an alarm recording ends 5 s after the last alarm), 1.5 s of an alarm in
// Fahrenheit without the rectangle, 6.5 s quiet. Fails on a sanitizer report, on an end that is
// not status 0 within a few seconds of the signal, on a recording or snapshot that does not
// decode and on any file outside its folder. Station events are on, to a broker whose host drops
// every connection attempt, so that the end of the run meets a connection hanging in the network.
// The whole output goes to random-driver-<seed>.log in the build folder.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "support/DroppingListener.h"
#include "support/Ffprobe.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace {

namespace fs = std::filesystem;

// From SIGTERM to the program's return; a recording being finished is part of it.
constexpr long kEndLimitMs = 5000;

const std::regex kAlarmSnapshot(R"(Alarm_\d{8}_\d{6}_\d+(_\d+)?\.png)");
const std::regex kManualSnapshot(R"(\d{8}_\d{6}_\d+(_\d+)?\.png)");
const std::regex kRecording(R"(\d{8}_\d{6}(_\d+)?\.(mp4|pvf))");
const std::regex kAlarmLog(R"(AlarmLog_\d{8}\.csv)");

unsigned EnvironmentNumber(const char* name, unsigned fallback) {
    const QByteArray value = qgetenv(name);
    return value.isEmpty() ? fallback : value.toUInt();
}

// What a shell command printed (stdout and stderr) and whether it exited 0.
bool RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return false;
    }
    char buffer[4096];
    size_t read = 0;
    while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output->append(buffer, read);
    }
    return pclose(pipe) == 0;
}

std::string Quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

class RandomDriverTest : public testing::Test {
protected:
    void SetUp() override {
        m_seed = EnvironmentNumber("CALORVIEW_DRIVER_SEED", 1);
        while (m_seed == 0) {
            m_seed = std::random_device()();
        }
        m_seconds = EnvironmentNumber("CALORVIEW_DRIVER_SECONDS", 60);
        std::cout << "Random driver: seed " << m_seed << ", " << m_seconds << " s" << std::endl;
    }

    void TearDown() override {
        m_log = std::string(CALORVIEW_DRIVER_LOG_DIR) + "/random-driver-" + std::to_string(m_seed) +
                ".log";
        CalorviewTest::writeFile(m_log, "--- stdout\n" + m_stdout.toStdString() + "--- stderr\n" +
                                            m_stderr.toStdString());
        if (!HasFailure()) {
            return;
        }
        std::cout << "--- the driver's last actions:\n";
        const QList<QByteArray> lines = m_stdout.split('\n');
        int shown = 0;
        for (auto line = lines.rbegin(); line != lines.rend() && shown < 40; ++line) {
            if (line->startsWith("driver: ")) {
                m_lastActions.prepend(*line + "\n");
                ++shown;
            }
        }
        std::cout << m_lastActions.toStdString() << "--- replay: CALORVIEW_DRIVER_SEED=" << m_seed
                  << " CALORVIEW_DRIVER_SECONDS=" << m_seconds
                  << " (timing still varies); whole output in " << m_log << std::endl;
    }

    // A private application folder: the stage, with the driver beside the program.
    void Stage() {
        fs::copy(CALORVIEW_STAGE_DIR, m_app, fs::copy_options::recursive);
        fs::copy_file(CALORVIEW_RANDOM_DRIVER, m_app / "calorview-random-driver");
        for (const auto& entry : fs::recursive_directory_iterator(m_app)) {
            m_staged.insert(entry.path().lexically_relative(m_app));
        }
        fs::create_directory(m_runtime);
        fs::permissions(m_runtime, fs::perms::owner_all);
        // The driver deletes and rewrites the camera's file: a copy of quiet-and-alarm.json.
        fs::copy_file(CALORVIEW_DRIVER_SCENARIO, m_scenario);
        CalorviewTest::writeFile(
            (m_app / "kvs.ini").string(),
            "[Mqtt]\nEnabled=true\nHost=127.0.0.1\nPort=" + std::to_string(m_broker.port()) + "\n");
    }

    void Collect(QProcess& driver) {
        driver.waitForReadyRead(100);
        m_stdout += driver.readAllStandardOutput();
        m_stderr += driver.readAllStandardError();
    }

    // The driver until it raised SIGTERM and its end after that.
    void RunDriver() {
        QProcess driver;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        environment.insert("FRAMEGATE_VIRTUAL_CAMERA", QString::fromStdString(m_scenario));
        environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(m_runtime.string()));
        driver.setProcessEnvironment(environment);
        driver.setWorkingDirectory(QString::fromStdString(m_app.string()));
        driver.start(QString::fromStdString((m_app / "calorview-random-driver").string()),
                     {"--seed", QString::number(m_seed), "--seconds", QString::number(m_seconds)});
        ASSERT_TRUE(driver.waitForStarted(10000));
        const bool signalled = CalorviewTest::waitUntil(
            [&] {
                Collect(driver);
                return m_stdout.contains(" SIGTERM") || driver.state() == QProcess::NotRunning;
            },
            std::chrono::seconds(m_seconds + 60));
        EXPECT_TRUE(m_stdout.contains(" SIGTERM"))
            << (signalled ? "the program ended before the driver raised SIGTERM"
                          : "the driver never raised SIGTERM");
        const bool ended = CalorviewTest::waitUntil(
            [&] {
                Collect(driver);
                return driver.state() == QProcess::NotRunning;
            },
            std::chrono::seconds(10));
        if (!ended) {
            driver.kill();
            driver.waitForFinished(5000);
            FAIL() << "the program did not end within 10 s of SIGTERM";
        }
        Collect(driver);
        EXPECT_EQ(driver.exitStatus(), QProcess::NormalExit) << "the program crashed";
        EXPECT_EQ(driver.exitCode(), 0);
    }

    void ExpectNoSanitizerReport() {
        for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                   "runtime error:", "AddressSanitizer:DEADLYSIGNAL"}) {
            const qsizetype at = m_stderr.indexOf(marker);
            EXPECT_LT(at, 0) << m_stderr.mid(at, 8000).toStdString();
        }
    }

    void ExpectQuickEnd() {
        const std::string output = m_stdout.toStdString();
        std::smatch match;
        ASSERT_TRUE(std::regex_search(output, match,
                                      std::regex(R"(CalorviewMain returned (-?\d+), (\d+) ms)")))
            << "CalorviewMain did not return";
        EXPECT_EQ(match[1], "0");
        EXPECT_LE(std::stol(match[2]), kEndLimitMs) << "ms from SIGTERM to the program's end";
    }

    // Every new file is a finished snapshot or recording in its own folder, the day's alarm log,
    // the marks the History page and the viewer's Keep write, or the settings or the library's
    // log.
    void ExpectFilesInTheirFolders() {
        std::vector<fs::path> snapshots;
        for (const auto& entry : fs::recursive_directory_iterator(m_app)) {
            const fs::path relative = entry.path().lexically_relative(m_app);
            if (m_staged.count(relative) != 0 || relative == "kvs.ini" ||
                relative == "mqtt-outbox.jsonl" || relative == "mqtt-outbox.ack" ||
                *relative.begin() == "QZLog") {
                continue;
            }
            const std::string folder = relative.begin()->string();
            const std::string name = relative.filename().string();
            const bool inFolder = relative.parent_path() == folder;
            if (inFolder && folder == "AlarmImages" && std::regex_match(name, kAlarmSnapshot)) {
                snapshots.push_back(entry.path());
            } else if (inFolder && folder == "Snapshot" &&
                       std::regex_match(name, kManualSnapshot)) {
                snapshots.push_back(entry.path());
            } else if (inFolder && folder == "AlarmImages" && std::regex_match(name, kAlarmLog)) {
                ExpectWholeLog(entry.path(), "first_camera_time,");
            } else if (inFolder && folder == "AlarmImages" && name == "AlarmMarks.csv") {
                ExpectWholeLog(entry.path(), "mark,");
            } else if (inFolder && (folder == "AlarmRecords" || folder == "Records") &&
                       std::regex_match(name, kRecording)) {
                ExpectPlayableRecording(entry.path(), folder == "AlarmRecords");
            } else {
                ADD_FAILURE() << "unexpected " << (entry.is_directory() ? "folder " : "file ")
                              << relative;
            }
        }
        std::cout << "Checked " << snapshots.size() << " snapshots and " << m_recordings
                  << " recordings" << std::endl;
        ExpectWholePngs(snapshots);
    }

    // The day's alarm log or the marks: the header, then only whole lines (each in one write).
    static void ExpectWholeLog(const fs::path& path, const char* header) {
        std::ifstream file(path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
        EXPECT_EQ(text.rfind(header, 0), 0u) << path;
        EXPECT_TRUE(text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) << path;
    }

    // MP4 directly, PVF through pvf-tool. Alarm recordings say what raised them in the MP4's
    // comment, manual ones carry none; PVF has no comment to tell them apart.
    void ExpectPlayableRecording(const fs::path& file, bool alarm) {
        ++m_recordings;
        fs::path mp4 = file;
        if (file.extension() == ".pvf") {
            mp4 = m_dir.path() / ("converted-" + std::to_string(m_recordings) + ".mp4");
            std::string output;
            EXPECT_TRUE(RunCommand(
                std::string(CALORVIEW_PVF_TOOL) + " to-mp4 " + Quoted(file) + " " + Quoted(mp4),
                &output))
                << file << ": " << output;
        }
        const auto probe = CalorviewTest::probeVideo(mp4.string());
        EXPECT_EQ(probe.count("codec_name") ? probe.at("codec_name") : "", "h264") << file;
        EXPECT_GE(probe.count("nb_read_frames") ? std::stoi(probe.at("nb_read_frames")) : 0, 1)
            << file << " holds no decodable frame";
        if (file.extension() == ".mp4") {
            const bool saysAlarm =
                probe.count("comment") != 0 && probe.at("comment").rfind("Alarm at ", 0) == 0;
            EXPECT_EQ(saysAlarm, alarm)
                << file
                << (alarm ? ": a manual recording among the alarm recordings"
                          : ": an alarm recording among the manual ones");
        }
    }

    // pngcheck walks every chunk, checks its CRC and inflates the picture data.
    void ExpectWholePngs(const std::vector<fs::path>& files) {
        constexpr size_t kBatch = 200;
        for (size_t first = 0; first < files.size(); first += kBatch) {
            std::string command = "pngcheck -q";
            for (size_t i = first; i < std::min(files.size(), first + kBatch); ++i) {
                command += " " + Quoted(files[i]);
            }
            std::string output;
            EXPECT_TRUE(RunCommand(command, &output)) << output;
        }
    }

    unsigned m_seed = 1;
    unsigned m_seconds = 60;
    CalorviewTest::TempDir m_dir;
    CalorviewTest::DroppingListener m_broker;
    fs::path m_app = m_dir.path() / "app";
    fs::path m_runtime = m_dir.path() / "runtime";
    std::string m_scenario = m_dir.file("camera.json");
    std::set<fs::path> m_staged;
    QByteArray m_stdout;
    QByteArray m_stderr;
    QByteArray m_lastActions;
    std::string m_log;
    int m_recordings = 0;
};

}  // namespace

TEST_F(RandomDriverTest, EndsOnSigtermLeavingOnlyFinishedFilesInTheirFolders) {
    Stage();
    RunDriver();
    ExpectNoSanitizerReport();
    ExpectQuickEnd();
    ExpectFilesInTheirFolders();
}
