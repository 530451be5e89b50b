// Alarms as they reach a user who only watches: the real program's windows against a virtual
// camera that raises one alarm episode, with the snapshots and the alarm recording it leaves
// checked on disk (PNG text chunks read byte by byte, the video with ffprobe).
//
// Built with CALORVIEW_EMULATED_V4L2, the first case plays the same scenario through the camera
// umockdev emulates, so that its frames take the system's capture path (V4L2 node, mmap, poll)
// and must leave exactly the same files; the other cases look at the program's own rules, which
// the camera's path does not change.
#include <gtest/gtest.h>

#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#if defined(CALORVIEW_EMULATED_V4L2)
#include "support/EmulatedV4l2Camera.h"
#endif
#include "support/Ffprobe.h"
#include "support/TempDir.h"
#include "support/Wait.h"

namespace {

using CalorviewTest::TempDir;

uint32_t BigEndian32(const std::string& bytes, size_t at) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
    }
    return value;
}

uint32_t Crc32(const std::string& bytes, size_t at, size_t length) {
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = at; i < at + length; ++i) {
        crc ^= static_cast<unsigned char>(bytes[i]);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

// The text chunks of a PNG, keyword to text as written (UTF-8 for iTXt). Walks the whole chunk
// list, so a broken length or CRC anywhere fails the test.
std::map<std::string, std::string> PngTexts(const std::string& path) {
    const std::string bytes = CalorviewTest::readFile(path);
    std::map<std::string, std::string> texts;
    EXPECT_EQ(bytes.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8)) << path;
    size_t at = 8;
    std::string type;
    while (type != "IEND") {
        if (at + 12 > bytes.size()) {
            ADD_FAILURE() << path << ": chunk list runs past the end";
            return texts;
        }
        const uint32_t length = BigEndian32(bytes, at);
        if (at + 12 + length > bytes.size()) {
            ADD_FAILURE() << path << ": chunk at " << at << " runs past the end";
            return texts;
        }
        type = bytes.substr(at + 4, 4);
        EXPECT_EQ(BigEndian32(bytes, at + 8 + length), Crc32(bytes, at + 4, 4 + length))
            << path << ": CRC of " << type;
        const std::string data = bytes.substr(at + 8, length);
        const size_t nul = data.find('\0');
        if (type == "tEXt" && nul != std::string::npos) {
            texts[data.substr(0, nul)] = data.substr(nul + 1);
        } else if (type == "iTXt" && nul != std::string::npos && nul + 2 < data.size()) {
            // keyword, compression flag and method, language tag, translated keyword, text
            EXPECT_EQ(data[nul + 1], '\0') << path << ": compressed iTXt";
            const size_t language = data.find('\0', nul + 3);
            const size_t translated = data.find('\0', language + 1);
            if (language != std::string::npos && translated != std::string::npos) {
                texts[data.substr(0, nul)] = data.substr(translated + 1);
            }
        }
        at += 12 + length;
    }
    EXPECT_EQ(at, bytes.size()) << path << ": bytes after IEND";
    return texts;
}

// The files in `folder` whose names end in `extension` (all of them for an empty one).
std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder,
                                           const std::string& extension = "") {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (extension.empty() || entry.path().extension() == extension) {
            files.push_back(entry.path());
        }
    }
    return files;
}

// The lines of the alarm log (each must end with CRLF), split into their fields; none of the
// fields here needs quoting.
std::vector<std::vector<std::string>> LogRows(const std::filesystem::path& file) {
    const std::string text = CalorviewTest::readFile(file.string());
    std::vector<std::vector<std::string>> rows;
    size_t at = 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2) {
        const std::string line = text.substr(at, end - at);
        std::vector<std::string> fields;
        for (size_t from = 0, comma;; from = comma + 1) {
            comma = std::min(line.find(',', from), line.size());
            fields.push_back(line.substr(from, comma - from));
            if (comma == line.size()) {
                break;
            }
        }
        rows.push_back(fields);
    }
    EXPECT_EQ(at, text.size()) << file << ": the last line is not complete";
    return rows;
}

const std::regex kIsoTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d))");

// The recording driver on `dir` (its kvs.ini and camera.json), without pressing Record, once
// frames arrive.
void StartDriver(QProcess* driver, const TempDir& dir) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
#if defined(CALORVIEW_EMULATED_V4L2)
    environment.insert("FRAMEGATE_VIRTUAL_CAMERA", "");
#else
    environment.insert("FRAMEGATE_VIRTUAL_CAMERA", QString::fromStdString(dir.file("camera.json")));
#endif
    environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.path().string()));
    driver->setProcessEnvironment(environment);
    driver->setWorkingDirectory(QString::fromStdString(dir.path().string()));
    driver->start(CALORVIEW_RECORDING_DRIVER, {"--no-record"});
    QByteArray output;
    ASSERT_TRUE(CalorviewTest::waitUntil(
        [&] {
            driver->waitForReadyRead(20);
            output += driver->readAllStandardOutput();
            return output.contains("frames arriving");
        },
        std::chrono::seconds(20)))
        << output.toStdString() << driver->readAllStandardError().toStdString();
}

}  // namespace

// The suite's name tells the two programs' cases apart.
#if defined(CALORVIEW_EMULATED_V4L2)
#define ALARM_SUITE AlarmThroughV4l2EndToEnd
#else
#define ALARM_SUITE AlarmEndToEnd
#endif

TEST(ALARM_SUITE, EpisodeLeavesSnapshotsWithTheirFactsAndOneAlarmRecording) {
    TempDir dir;
    for (const char* folder : {"AlarmImages", "AlarmRecords", "Records"}) {
        std::filesystem::create_directory(dir.path() / folder);
    }
    // No sound: the offscreen run has no audio device, and sound is not what this looks at.
    CalorviewTest::writeFile(dir.file("kvs.ini"), "[Alarm]\nAlarmSoundEnabled=false\n");
    // Quiet for 1 s, a 3 s alarm in Celsius that rises once, then quiet for good.
    CalorviewTest::writeFile(dir.file("camera.json"), R"({"name": "Alarm", "fps": 25, "timeline": [
        {"at_ms": 0, "time": "local", "unit": "C"},
        {"at_ms": 1000, "alarm": true, "rect": true, "temperature": 38.5},
        {"at_ms": 2500, "temperature": 39.5},
        {"at_ms": 4000, "alarm": false, "rect": false, "temperature": 0}]})");
#if defined(CALORVIEW_EMULATED_V4L2)
    if (const std::string reason = EmulatedV4l2Camera::Unavailable(); !reason.empty()) {
        GTEST_SKIP() << reason;
    }
    EmulatedV4l2Camera::Setup setup;
    setup.scenario = dir.file("camera.json");
    const EmulatedV4l2Camera camera(setup);
#endif
    QProcess driver;
    ASSERT_NO_FATAL_FAILURE(StartDriver(&driver, dir));
    // The episode ends 4 s into the stream and its recording 5 s later; 3 s more to spare.
    // Until then the process must stay up.
    EXPECT_FALSE(driver.waitForFinished(12000)) << driver.readAllStandardError().toStdString();
    driver.terminate();
    ASSERT_TRUE(driver.waitForFinished(10000));
    EXPECT_EQ(driver.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(driver.exitCode(), 0) << driver.readAllStandardError().toStdString();

    // Snapshots: most alarm frames leave one, each with its own counter and facts.
    const auto snapshots = FilesIn(dir.path() / "AlarmImages", ".png");
    EXPECT_GE(snapshots.size(), 2u);
    EXPECT_LE(snapshots.size(), 80u) << "3 s of alarm at 25 fps";
    const std::regex nameForm(R"(Alarm_(\d{4})(\d\d)(\d\d)_(\d\d)(\d\d)(\d\d)_(\d+)\.png)");
    const std::regex timeForm(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    std::map<int, std::string> counters;  // counter to file name
    std::set<std::string> temperatures;
    for (const auto& snapshot : snapshots) {
        const std::string name = snapshot.filename().string();
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(name, parts, nameForm)) << name;
        EXPECT_TRUE(counters.emplace(std::stoi(parts[7]), name).second) << name;
        auto texts = PngTexts(snapshot.string());
        EXPECT_TRUE(std::regex_match(texts["Camera time"], timeForm)) << name;
        EXPECT_EQ(texts["Camera time"], parts[1].str() + "-" + parts[2].str() + "-" +
                                            parts[3].str() + " " + parts[4].str() + ":" +
                                            parts[5].str() + ":" + parts[6].str())
            << "the name's time is the picture's";
        EXPECT_EQ(texts["Software"].rfind("Calorview", 0), 0u) << name;
        const std::string& temperature = texts["Temperature"];
        if (temperature == "38.5\u2103") {
            EXPECT_EQ(texts["Alarm word"], "385") << name;
        } else {
            EXPECT_EQ(temperature, "39.5\u2103") << name;
            EXPECT_EQ(texts["Alarm word"], "395") << name;
        }
        temperatures.insert(temperature);
        const QImage image(QString::fromStdString(snapshot.string()));
        EXPECT_EQ(image.width(), 480) << name;
        EXPECT_EQ(image.height(), 640) << name;
    }
    EXPECT_EQ(temperatures.size(), 2u) << "both temperatures of the episode were pictured";

    // One recording for the one episode: from its first alarm until 5 s after its last.
    const auto records = FilesIn(dir.path() / "AlarmRecords");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(std::regex_match(records[0].filename().string(), std::regex(R"(\d{8}_\d{6}\.mp4)")))
        << records[0];
    const auto probe = CalorviewTest::probeVideo(records[0].string());
    ASSERT_EQ(probe.count("nb_read_frames"), 1u) << records[0];
    EXPECT_EQ(probe.at("codec_name"), "h264");
    EXPECT_EQ(probe.at("width"), "480");
    EXPECT_EQ(probe.at("height"), "640");
    const double duration = std::stod(probe.at("duration"));
    EXPECT_GE(duration, 7.0);
    EXPECT_LE(duration, 9.5);
    ASSERT_EQ(probe.count("comment"), 1u);
    EXPECT_TRUE(std::regex_match(probe.at("comment"),
                                 std::regex(R"(Alarm at \d{4}-\d\d-\d\d \d\d:\d\d:\d\d: 38\.5)"
                                            "\u2103")))
        << probe.at("comment") << " (the first alarm starts it)";

    EXPECT_TRUE(FilesIn(dir.path() / "Records").empty()) << "no manual recording was asked for";

    // The day's alarm log beside the snapshots: one line for the episode, naming its files.
    const auto logs = FilesIn(dir.path() / "AlarmImages", ".csv");
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_TRUE(
        std::regex_match(logs[0].filename().string(), std::regex(R"(AlarmLog_\d{8}\.csv)")));
    const auto rows = LogRows(logs[0]);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], "first_camera_time");
    ASSERT_EQ(rows[1].size(), 10u);
    EXPECT_TRUE(std::regex_match(rows[1][0], timeForm)) << rows[1][0];
    EXPECT_TRUE(std::regex_match(rows[1][1], kIsoTime)) << rows[1][1];
    EXPECT_TRUE(std::regex_match(rows[1][2], timeForm)) << rows[1][2];
    EXPECT_TRUE(std::regex_match(rows[1][3], kIsoTime)) << rows[1][3];
    EXPECT_EQ(rows[1][4], "39.5");
    EXPECT_EQ(rows[1][5], "C");
    EXPECT_EQ(rows[1][6], std::to_string(snapshots.size()));
    ASSERT_FALSE(counters.empty());
    EXPECT_EQ(rows[1][7], counters.begin()->second);
    EXPECT_EQ(rows[1][8], counters.rbegin()->second);
    EXPECT_EQ(rows[1][9], records[0].filename().string());
}

#if !defined(CALORVIEW_EMULATED_V4L2)
// SIGKILL in the middle of the second episode: the first one's line is in the log, whole; the
// one in progress is lost, and nothing else is written.
TEST(AlarmEndToEnd, KilledInAnEpisodeKeepsTheLinesOfTheEndedOnes) {
    TempDir dir;
    std::filesystem::create_directory(dir.path() / "AlarmImages");
    // Snapshots and recordings off: only the log is looked at.
    CalorviewTest::writeFile(dir.file("kvs.ini"),
                             "[Alarm]\nAlarmSoundEnabled=false\nAlarmSnapshotEnabled=false\n"
                             "AlarmRecordEnabled=false\n");
    CalorviewTest::writeFile(dir.file("camera.json"), R"({"name": "Alarm", "fps": 25, "timeline": [
        {"at_ms": 0, "time": "local", "unit": "C"},
        {"at_ms": 300, "alarm": true, "temperature": 38.5},
        {"at_ms": 800, "alarm": false, "temperature": 0},
        {"at_ms": 6400, "alarm": true, "unit": "K", "temperature": 312.0}]})");
    QProcess driver;
    ASSERT_NO_FATAL_FAILURE(StartDriver(&driver, dir));
    std::vector<std::filesystem::path> logs;
    ASSERT_TRUE(CalorviewTest::waitUntil(
        [&] {
            logs = FilesIn(dir.path() / "AlarmImages", ".csv");
            return !logs.empty();
        },
        std::chrono::seconds(15)))
        << "the first episode ends 5 s after its last alarm frame";
    // Into the second episode, then the crash.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    driver.kill();
    ASSERT_TRUE(driver.waitForFinished(10000));
    EXPECT_EQ(driver.exitStatus(), QProcess::CrashExit);

    ASSERT_EQ(logs.size(), 1u);
    const auto rows = LogRows(logs[0]);
    ASSERT_EQ(rows.size(), 2u);
    ASSERT_EQ(rows[1].size(), 10u);
    EXPECT_EQ(rows[1][4], "38.5");
    EXPECT_EQ(rows[1][5], "C");
    EXPECT_EQ(rows[1][6], "0");
    EXPECT_EQ(rows[1][7] + rows[1][8] + rows[1][9], "") << "no snapshot, no recording";
}

namespace {

// What ffprobe tells of the first frame of `path`'s video: "key_frame=1" and "pict_type=I" for
// a file that starts where a player can.
std::string FirstFrame(const std::string& path) {
    const std::string command =
        "ffprobe -v error -select_streams v:0 -read_intervals '%+#1' "
        "-show_entries frame=key_frame,pict_type -of compact=p=0:nk=1 '" +
        path + "' 2>&1";
    std::string text;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return text;
    }
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        text += line;
    }
    pclose(pipe);
    return text;
}

}  // namespace

// Pre-alarm seconds: an alarm 6 s into the stream with 3 pre-alarm seconds gives a recording
// whose first frame arrived about 3 s before the alarm, a key frame, and that plays whole.
TEST(AlarmEndToEnd, AlarmRecordingReachesThePreAlarmSecondsBackFromAKeyFrame) {
    TempDir dir;
    for (const char* folder : {"AlarmImages", "AlarmRecords"}) {
        std::filesystem::create_directory(dir.path() / folder);
    }
    CalorviewTest::writeFile(dir.file("kvs.ini"),
                             "[Alarm]\nAlarmSoundEnabled=false\nAlarmSnapshotEnabled=false\n"
                             "PreAlarmSeconds=3\n");
    CalorviewTest::writeFile(dir.file("camera.json"), R"({"name": "Alarm", "fps": 25, "timeline": [
        {"at_ms": 0, "time": "local", "unit": "C"},
        {"at_ms": 6000, "alarm": true, "temperature": 38.5},
        {"at_ms": 7000, "alarm": false, "temperature": 0}]})");
    QProcess driver;
    ASSERT_NO_FATAL_FAILURE(StartDriver(&driver, dir));
    // The recording ends 5 s after the last alarm frame (7 s), 2 s more to spare.
    EXPECT_FALSE(driver.waitForFinished(14000)) << driver.readAllStandardError().toStdString();
    driver.terminate();
    ASSERT_TRUE(driver.waitForFinished(10000));
    EXPECT_EQ(driver.exitCode(), 0);
    const std::string errors = driver.readAllStandardError().toStdString();

    // The frames' own arrival times, as the recording start took them over.
    std::smatch reach;
    ASSERT_TRUE(std::regex_search(
        errors, reach,
        std::regex(
            R"(StartRecord: (\d+) pre-alarm frames \(\d+ bytes\), the first from ([0-9.]+) s before)")))
        << errors;
    const double secondsBefore = std::stod(reach[2]);
    EXPECT_GE(secondsBefore, 3.0) << "at least the pre-alarm seconds";
    // At most one GOP (a second) more, and the hand-over to the GUI thread of a busy machine.
    EXPECT_LT(secondsBefore, 5.0);
    EXPECT_GE(std::stoi(reach[1]), 75);

    const auto records = FilesIn(dir.path() / "AlarmRecords");
    ASSERT_EQ(records.size(), 1u);
    const std::string clip = records[0].string();
    EXPECT_EQ(FirstFrame(clip), "1|I\n");
    const auto probe = CalorviewTest::probeVideo(clip);
    ASSERT_EQ(probe.count("nb_read_frames"), 1u) << clip;
    // Pre-alarm (3 to 4 s), the alarm (1 s) and the hold (5 s).
    const double duration = std::stod(probe.at("duration"));
    EXPECT_GE(duration, 8.8);
    EXPECT_LE(duration, 11.5);
    EXPECT_NEAR(std::stoi(probe.at("nb_read_frames")), duration * 25, 25) << "every frame decodes";
    ASSERT_EQ(probe.count("comment"), 1u);
    EXPECT_EQ(probe.at("comment").rfind("Alarm at ", 0), 0u) << "the alarm's comment";
}
#endif
