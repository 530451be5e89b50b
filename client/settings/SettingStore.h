// The client's options, kept in the INI file "kvs.ini" beside the program.
//
// One process-wide store, opened once at start-up with setPath(). Nothing caches a setting: every
// user reads it here at the moment of use, so a change takes effect at the next read. Writes go
// to QSettings' in-memory copy at once; QSettings writes the file back from the event loop.
//
// Threads: the GUI thread opens the store and makes every write; the capture thread reads the
// alarm keys, and other threads may read any key. Every typed getter and setter (and setPath)
// holds m_mutex for its QSettings call, and the range log for its record of logged keys.
#pragma once

#include <QString>

#include <memory>
#include <mutex>
#include <set>

class QSettings;

class SettingStore {
public:
    // The process-wide store, created empty on first use and never destroyed.
    static SettingStore& instance();

    // An unopened store; the program uses instance(), separate stores serve tests and tools.
    SettingStore();
    ~SettingStore();
    SettingStore(const SettingStore&) = delete;
    SettingStore& operator=(const SettingStore&) = delete;

    // Opens `path` as an INI file on the first call; later calls are ignored. Always true. A file
    // that could hold a serialised object (StoredObjectCheck.h) is first moved to `path` + ".bad";
    // if it cannot be moved, the store stays unopened.
    bool setPath(const QString& path);

    // Typed access; a missing key (or a store not yet opened) yields `defaultValue`.
    bool getBool(const QString& key, bool defaultValue) const;
    void setBool(const QString& key, bool value);
    int getInt(const QString& key, int defaultValue) const;
    void setInt(const QString& key, int value);
    QString getString(const QString& key, const QString& defaultValue) const;
    void setString(const QString& key, const QString& value);
    // Removes `key`, which then reads as its default.
    void remove(const QString& key);
    // The opened INI file's path; empty while the store is not opened.
    QString fileName() const;

    // One accessor per key, each with the key's default. A storage folder stored empty reads as
    // its default.
    bool alarmEnabled() const;  // "Alarm/AlarmEnabled", true
    void setAlarmEnabled(bool value);
    bool alarmSoundEnabled() const;  // "Alarm/AlarmSoundEnabled", true
    void setAlarmSoundEnabled(bool value);
    int alarmSoundPlayTimes() const;  // "Alarm/AlarmSoundPlayTimes", 1
    void setAlarmSoundPlayTimes(int value);
    QString alarmSoundFile() const;  // "Alarm/AlarmSoundFile", "alarm1.wav"
    void setAlarmSoundFile(const QString& value);
    bool alarmSnapshotEnabled() const;  // "Alarm/AlarmSnapshotEnabled", true
    void setAlarmSnapshotEnabled(bool value);
    bool alarmRecordEnabled() const;  // "Alarm/AlarmRecordEnabled", true
    void setAlarmRecordEnabled(bool value);
    QString alarmImagesPath() const;  // "Alarm/AlarmImages", "./AlarmImages"
    void setAlarmImagesPath(const QString& value);
    QString alarmRecordsPath() const;  // "Alarm/AlarmRecords", "./AlarmRecords"
    void setAlarmRecordsPath(const QString& value);
    // The next five keys are read limited to 0 .. their maximum; a hand-edited value outside is
    // logged once per key and store (qWarning), then used limited.
    // "Alarm/PreAlarmSeconds", 0: seconds an alarm recording reaches back before its alarm.
    static constexpr int kMaxPreAlarmSeconds = 10;
    int preAlarmSeconds() const;
    void setPreAlarmSeconds(int value);
    // "Alarm/SnapshotsPerSecond", 0: the most alarm snapshots saved in a second; 0 saves one
    // for every handled alarm.
    static constexpr int kMaxSnapshotsPerSecond = 25;
    int alarmSnapshotsPerSecond() const;
    void setAlarmSnapshotsPerSecond(int value);
    // "Storage/FreeSpaceFloorGiB", 8: below this much free space, old alarm episodes are
    // deleted; 0 turns the floor off.
    static constexpr int kMaxFreeSpaceFloorGiB = 4096;
    int freeSpaceFloorGiB() const;
    void setFreeSpaceFloorGiB(int value);
    // "Storage/AlarmKeepDays" and "Storage/RecordKeepDays", 0: days alarm episodes, and manual
    // recordings and snapshots, are kept; 0 keeps them without an age limit.
    static constexpr int kMaxKeepDays = 3650;
    int alarmKeepDays() const;
    void setAlarmKeepDays(int value);
    int recordKeepDays() const;
    void setRecordKeepDays(int value);
    int recordType() const;  // "Video/RecordType", 0 (1 = PVF, anything else MP4)
    void setRecordType(int value);
    QString recordPath() const;  // "Video/RecordPath", "./Records"
    void setRecordPath(const QString& value);
    QString snapshotPath() const;  // "Video/SnapshotPath", "./Snapshot"
    void setSnapshotPath(const QString& value);
    bool chineseLang() const;  // "Lang/ChineseLang", false; edited by hand only
    // Limits of the station events' "Mqtt" keys that the page offers and the publisher accepts
    // (the keys themselves are read by the publisher's settings).
    static constexpr int kMinMqttPictureKiB = 16;  // "Mqtt/MaxPictureKiB", 512
    static constexpr int kMaxMqttPictureKiB = 16384;
    static constexpr int kMaxMqttHealthSeconds = 86400;  // "Mqtt/HealthSeconds", 60; 0 = off

private:
    QString getFolder(const QString& key, const QString& defaultFolder) const;
    // getInt limited to 0 .. maxValue; the first value out of range of each key is logged.
    int getLimitedInt(const QString& key, int defaultValue, int maxValue) const;

    mutable std::mutex m_mutex;
    std::unique_ptr<QSettings> m_settings;   // null until setPath()
    mutable std::set<QString> m_loggedKeys;  // keys whose range warning was logged; m_mutex
};
