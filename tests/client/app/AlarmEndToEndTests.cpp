// Alarms as they reach a user who only watches: the real program's windows against a virtual
// camera that raises one alarm episode, with the snapshots and the alarm recording it leaves
// checked on disk (PNG text chunks read byte by byte, the video with ffprobe).
#include <gtest/gtest.h>

#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

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

std::vector<std::filesystem::path> FilesIn(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        files.push_back(entry.path());
    }
    return files;
}

}  // namespace

TEST(AlarmEndToEnd, EpisodeLeavesSnapshotsWithTheirFactsAndOneAlarmRecording) {
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
    QProcess driver;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    environment.insert("FRAMEGATE_VIRTUAL_CAMERA", QString::fromStdString(dir.file("camera.json")));
    environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(dir.path().string()));
    driver.setProcessEnvironment(environment);
    driver.setWorkingDirectory(QString::fromStdString(dir.path().string()));
    driver.start(CALORVIEW_RECORDING_DRIVER, {"--no-record"});
    QByteArray output;
    ASSERT_TRUE(CalorviewTest::waitUntil(
        [&] {
            driver.waitForReadyRead(20);
            output += driver.readAllStandardOutput();
            return output.contains("frames arriving");
        },
        std::chrono::seconds(20)))
        << output.toStdString() << driver.readAllStandardError().toStdString();
    // The episode ends 4 s into the stream and its recording 5 s later; 3 s more to spare.
    // Until then the process must stay up.
    EXPECT_FALSE(driver.waitForFinished(12000)) << driver.readAllStandardError().toStdString();
    driver.terminate();
    ASSERT_TRUE(driver.waitForFinished(10000));
    EXPECT_EQ(driver.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(driver.exitCode(), 0) << driver.readAllStandardError().toStdString();

    // Snapshots: most alarm frames leave one, each with its own counter and facts.
    const auto snapshots = FilesIn(dir.path() / "AlarmImages");
    EXPECT_GE(snapshots.size(), 2u);
    EXPECT_LE(snapshots.size(), 80u) << "3 s of alarm at 25 fps";
    const std::regex nameForm(R"(Alarm_(\d{4})(\d\d)(\d\d)_(\d\d)(\d\d)(\d\d)_(\d+)\.png)");
    const std::regex timeForm(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
    std::set<int> counters;
    std::set<std::string> temperatures;
    for (const auto& snapshot : snapshots) {
        const std::string name = snapshot.filename().string();
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(name, parts, nameForm)) << name;
        EXPECT_TRUE(counters.insert(std::stoi(parts[7])).second) << name;
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
}
