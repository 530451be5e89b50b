// The settings store: every key's default, the INI file it writes, and the rules of opening it.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QVariant>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "settings/SettingStore.h"
#include "support/CapturedMessages.h"
#include "support/TempDir.h"

namespace {

using CalorviewTest::readFile;
using CalorviewTest::TempDir;
using CalorviewTest::writeFile;

struct KeyCase {
    std::string section;  // the key is "section/name"
    std::string name;
    QVariant defaultValue;
    QVariant otherValue;
    std::string otherText;  // how otherValue stands in the file
    std::function<QVariant(const SettingStore&)> get;
    std::function<void(SettingStore&, const QVariant&)> set;  // empty: no setter
};

template <typename T>
std::function<QVariant(const SettingStore&)> reader(T (SettingStore::*get)() const) {
    return [get](const SettingStore& store) { return QVariant::fromValue((store.*get)()); };
}

template <typename T>
std::function<void(SettingStore&, const QVariant&)> writer(void (SettingStore::*set)(T)) {
    return [set](SettingStore& store, const QVariant& value) {
        (store.*set)(value.value<std::decay_t<T>>());
    };
}

const std::vector<KeyCase>& keyCases() {
    using S = SettingStore;
    static const std::vector<KeyCase> cases = {
        {"Alarm", "AlarmEnabled", true, false, "false", reader(&S::alarmEnabled),
         writer(&S::setAlarmEnabled)},
        {"Alarm", "AlarmSoundEnabled", true, false, "false", reader(&S::alarmSoundEnabled),
         writer(&S::setAlarmSoundEnabled)},
        {"Alarm", "AlarmSoundPlayTimes", 1, 7, "7", reader(&S::alarmSoundPlayTimes),
         writer(&S::setAlarmSoundPlayTimes)},
        {"Alarm", "AlarmSoundFile", "alarm1.wav", "/s/siren.wav", "/s/siren.wav",
         reader(&S::alarmSoundFile), writer(&S::setAlarmSoundFile)},
        {"Alarm", "AlarmSnapshotEnabled", true, false, "false", reader(&S::alarmSnapshotEnabled),
         writer(&S::setAlarmSnapshotEnabled)},
        {"Alarm", "AlarmRecordEnabled", true, false, "false", reader(&S::alarmRecordEnabled),
         writer(&S::setAlarmRecordEnabled)},
        {"Alarm", "AlarmImages", "./AlarmImages", "/d/img", "/d/img", reader(&S::alarmImagesPath),
         writer(&S::setAlarmImagesPath)},
        {"Alarm", "AlarmRecords", "./AlarmRecords", "/d/alarm", "/d/alarm",
         reader(&S::alarmRecordsPath), writer(&S::setAlarmRecordsPath)},
        {"Video", "RecordType", 0, 1, "1", reader(&S::recordType), writer(&S::setRecordType)},
        {"Video", "RecordPath", "./Records", "/d/rec", "/d/rec", reader(&S::recordPath),
         writer(&S::setRecordPath)},
        {"Video", "SnapshotPath", "./Snapshot", "/d/snap", "/d/snap", reader(&S::snapshotPath),
         writer(&S::setSnapshotPath)},
        {"Alarm", "SnapshotsPerSecond", 0, 25, "25", reader(&S::alarmSnapshotsPerSecond),
         writer(&S::setAlarmSnapshotsPerSecond)},
        {"Storage", "FreeSpaceFloorGiB", 8, 0, "0", reader(&S::freeSpaceFloorGiB),
         writer(&S::setFreeSpaceFloorGiB)},
        {"Storage", "AlarmKeepDays", 0, 3650, "3650", reader(&S::alarmKeepDays),
         writer(&S::setAlarmKeepDays)},
        {"Storage", "RecordKeepDays", 0, 30, "30", reader(&S::recordKeepDays),
         writer(&S::setRecordKeepDays)},
        {"Lang", "ChineseLang", false, true, "true", reader(&S::chineseLang), nullptr},
    };
    return cases;
}

// Whether `text` holds the line "name=value" inside [section].
bool iniHas(const std::string& text, const std::string& section, const std::string& line) {
    return std::regex_search(text, std::regex("\\[" + section + "\\]\n([^[]*\n)?" + line + "\n"));
}

QString qpath(const std::string& path) {
    return QString::fromStdString(path);
}

void expectDefaults(const SettingStore& store) {
    for (const KeyCase& c : keyCases()) {
        EXPECT_EQ(c.get(store), c.defaultValue) << c.section << "/" << c.name;
    }
}

TEST(SettingStoreTest, MissingOrBadFilesGiveEveryDefault) {
    static const char garbage[] = "\x00\xff\xfe[[[==\n\x01\x02=\x03\n====\n[\n]\n";
    const std::vector<std::pair<const char*, const char*>> files = {
        {"no file", nullptr},
        {"empty", ""},
        {"binary garbage", garbage},
        {"unrelated sections", "[Other]\nAlarmEnabled=false\nRecordType=1\n"},
        // An empty folder is the default one, never the root folder.
        {"empty folders",
         "[Alarm]\nAlarmImages=\nAlarmRecords=\n[Video]\nRecordPath=\nSnapshotPath=\n"},
    };
    for (const auto& [what, content] : files) {
        SCOPED_TRACE(what);
        TempDir dir;
        if (content != nullptr) {
            writeFile(dir.file("kvs.ini"),
                      content == garbage ? std::string(garbage, sizeof(garbage) - 1) : content);
        }
        SettingStore store;
        ASSERT_TRUE(store.setPath(qpath(dir.file("kvs.ini"))));
        expectDefaults(store);
        QCoreApplication::processEvents();
        EXPECT_EQ(std::filesystem::exists(dir.file("kvs.ini")), content != nullptr)
            << "reading must not write";
    }
}

TEST(SettingStoreTest, AFileWithASerialisedObjectIsMovedAsideAndDefaultsApply) {
    // A few bytes that made QSettings reserve tens of gigabytes, which ended the process.
    const std::string content =
        "[Video]\r\nRecordType=@Variant(\\0\\0\\0\\xByteArray(\\0\\xff)\r\n"
        "SnapshotPath=/d/snap\r\n";
    TempDir dir;
    writeFile(dir.file("kvs.ini"), content);
    {
        SettingStore store;
        store.setPath(qpath(dir.file("kvs.ini")));
        expectDefaults(store);
        EXPECT_EQ(readFile(dir.file("kvs.ini.bad")), content);
        store.setRecordType(1);
        QCoreApplication::processEvents();
    }
    SettingStore again;
    again.setPath(qpath(dir.file("kvs.ini")));
    EXPECT_EQ(again.recordType(), 1) << "the store saves into a fresh file";
}

TEST(SettingStoreTest, AnUnopenedStoreAnswersDefaultsAndIgnoresWrites) {
    SettingStore store;
    store.setRecordType(1);
    store.setAlarmEnabled(false);
    expectDefaults(store);
}

TEST(SettingStoreTest, SettersWriteTheirKeyIntoTheIniFileFromTheEventLoop) {
    TempDir dir;
    const std::string file = dir.file("kvs.ini");
    {
        SettingStore store;
        store.setPath(qpath(file));
        for (const KeyCase& c : keyCases()) {
            if (c.set) {
                c.set(store, c.otherValue);
                EXPECT_EQ(c.get(store), c.otherValue) << c.name << " reads back at once";
            }
        }
        QCoreApplication::processEvents();
        const std::string ini = readFile(file);
        for (const KeyCase& c : keyCases()) {
            EXPECT_EQ(iniHas(ini, c.section, c.name + "=" + c.otherText), bool(c.set))
                << c.section << "/" << c.name << " in\n"
                << ini;
        }
    }
    SettingStore again;
    again.setPath(qpath(file));
    for (const KeyCase& c : keyCases()) {
        EXPECT_EQ(c.get(again), c.set ? c.otherValue : c.defaultValue) << c.name;
    }
}

TEST(SettingStoreTest, HandEditedValuesAreReadAsTheyStand) {
    TempDir dir;
    writeFile(dir.file("kvs.ini"),
              "[Alarm]\nAlarmSoundPlayTimes=abc\n[Video]\nRecordType=2\n"
              "[Lang]\nChineseLang=true\n");
    SettingStore store;
    store.setPath(qpath(dir.file("kvs.ini")));
    EXPECT_EQ(store.alarmSoundPlayTimes(), 0) << "the conversion's result, not the default";
    EXPECT_EQ(store.recordType(), 2) << "values other than 0 and 1 pass through";
    EXPECT_TRUE(store.chineseLang());
}

// A hand-edited value out of a limited key's range is used limited and logged once per key.
TEST(SettingStoreTest, LimitedKeysAreReadWithinTheirRangeAndLoggedOnce) {
    using S = SettingStore;
    const struct {
        const char* key;
        int (S::*get)() const;
        int max;
    } keys[] = {{"Alarm/PreAlarmSeconds", &S::preAlarmSeconds, 10},
                {"Alarm/SnapshotsPerSecond", &S::alarmSnapshotsPerSecond, 25},
                {"Storage/FreeSpaceFloorGiB", &S::freeSpaceFloorGiB, 4096},
                {"Storage/AlarmKeepDays", &S::alarmKeepDays, 3650},
                {"Storage/RecordKeepDays", &S::recordKeepDays, 3650}};
    for (const auto& k : keys) {
        for (const int stored : {-1, 0, k.max, k.max + 1, 99999}) {
            SCOPED_TRACE(std::string(k.key) + "=" + std::to_string(stored));
            SettingStore store;
            TempDir dir;
            store.setPath(qpath(dir.file("kvs.ini")));
            store.setInt(k.key, stored);
            const int used = std::clamp(stored, 0, k.max);
            CalorviewTest::CapturedMessages log;
            for (int read = 0; read < 3; ++read) {
                EXPECT_EQ((store.*k.get)(), used);
            }
            const QString line = QString("Settings: %1=%2 is out of range (0 to %3); %4 is used")
                                     .arg(k.key)
                                     .arg(stored)
                                     .arg(k.max)
                                     .arg(used);
            EXPECT_EQ(log.count(line), used == stored ? 0 : 1);
            EXPECT_EQ(log.count("Settings:"), used == stored ? 0 : 1);
        }
    }
}

TEST(SettingStoreTest, TheFileStaysWhereItWasOpenedAndFolderDefaultsStayRelative) {
    TempDir appDir;
    TempDir workDir;
    const QString oldDir = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(qpath(workDir.path().string())));
    {
        SettingStore store;
        store.setPath(qpath(appDir.file("kvs.ini")));
        expectDefaults(store);
        store.setRecordType(1);
        QCoreApplication::processEvents();
    }
    QDir::setCurrent(oldDir);
    EXPECT_TRUE(std::filesystem::exists(appDir.file("kvs.ini")));
    EXPECT_FALSE(std::filesystem::exists(workDir.file("kvs.ini")));
}

TEST(SettingStoreTest, ASecondSetPathIsIgnored) {
    TempDir dir;
    SettingStore store;
    ASSERT_TRUE(store.setPath(qpath(dir.file("first.ini"))));
    EXPECT_TRUE(store.setPath(qpath(dir.file("second.ini"))));
    store.setRecordPath("/elsewhere");
    QCoreApplication::processEvents();
    EXPECT_TRUE(std::filesystem::exists(dir.file("first.ini")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("second.ini")));
}

}  // namespace
