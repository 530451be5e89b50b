#include "settings/SettingStore.h"

#include <QFile>
#include <QSettings>
#include <QVariant>
#include <algorithm>

#include "settings/StoredObjectCheck.h"

namespace {

const QString kAlarmEnabled = QStringLiteral("Alarm/AlarmEnabled");
const QString kAlarmSoundEnabled = QStringLiteral("Alarm/AlarmSoundEnabled");
const QString kAlarmSoundPlayTimes = QStringLiteral("Alarm/AlarmSoundPlayTimes");
const QString kAlarmSoundFile = QStringLiteral("Alarm/AlarmSoundFile");
const QString kAlarmSnapshotEnabled = QStringLiteral("Alarm/AlarmSnapshotEnabled");
const QString kAlarmRecordEnabled = QStringLiteral("Alarm/AlarmRecordEnabled");
const QString kAlarmImages = QStringLiteral("Alarm/AlarmImages");
const QString kAlarmRecords = QStringLiteral("Alarm/AlarmRecords");
const QString kPreAlarmSeconds = QStringLiteral("Alarm/PreAlarmSeconds");
const QString kSnapshotsPerSecond = QStringLiteral("Alarm/SnapshotsPerSecond");
const QString kFreeSpaceFloorGiB = QStringLiteral("Storage/FreeSpaceFloorGiB");
const QString kAlarmKeepDays = QStringLiteral("Storage/AlarmKeepDays");
const QString kRecordKeepDays = QStringLiteral("Storage/RecordKeepDays");
const QString kRecordType = QStringLiteral("Video/RecordType");
const QString kRecordPath = QStringLiteral("Video/RecordPath");
const QString kSnapshotPath = QStringLiteral("Video/SnapshotPath");
const QString kChineseLang = QStringLiteral("Lang/ChineseLang");

// Moves a file QSettings would decode objects from (StoredObjectCheck.h) to `path` + ".bad", so
// that the program starts on defaults and the user keeps the file. False when it is still there.
bool setAsideIfUnsafe(const QString& path) {
    if (!FileMayHoldStoredObject(path)) {
        return true;
    }
    const QString aside = path + QStringLiteral(".bad");
    QFile::remove(aside);
    if (!QFile::rename(path, aside)) {
        qWarning(
            "Settings: %s holds a serialised object and cannot be moved aside; running on "
            "defaults without saving",
            qUtf8Printable(path));
        return false;
    }
    qWarning(
        "Settings: %s held a serialised object, which this program never writes; moved to "
        "%s, running on defaults",
        qUtf8Printable(path), qUtf8Printable(aside));
    return true;
}

}  // namespace

SettingStore& SettingStore::instance() {
    // Held by a pointer on purpose: the store outlives every static destructor that might read it.
    static SettingStore* const store = new SettingStore;
    return *store;
}

SettingStore::SettingStore() = default;
SettingStore::~SettingStore() = default;

bool SettingStore::setPath(const QString& path) {
    std::lock_guard lock(m_mutex);
    if (!m_settings && setAsideIfUnsafe(path)) {
        m_settings = std::make_unique<QSettings>(path, QSettings::IniFormat);
    }
    return true;
}

bool SettingStore::getBool(const QString& key, bool defaultValue) const {
    std::lock_guard lock(m_mutex);
    return m_settings ? m_settings->value(key, QVariant(defaultValue)).toBool() : defaultValue;
}

void SettingStore::setBool(const QString& key, bool value) {
    std::lock_guard lock(m_mutex);
    if (m_settings) {
        m_settings->setValue(key, QVariant(value));
    }
}

int SettingStore::getInt(const QString& key, int defaultValue) const {
    std::lock_guard lock(m_mutex);
    return m_settings ? m_settings->value(key, QVariant(defaultValue)).toInt() : defaultValue;
}

void SettingStore::setInt(const QString& key, int value) {
    std::lock_guard lock(m_mutex);
    if (m_settings) {
        m_settings->setValue(key, QVariant(value));
    }
}

QString SettingStore::getFolder(const QString& key, const QString& defaultFolder) const {
    // An empty folder would make "/" plus a file name: files in the root folder.
    const QString folder = getString(key, defaultFolder);
    return folder.isEmpty() ? defaultFolder : folder;
}

int SettingStore::getLimitedInt(const QString& key, int defaultValue, int maxValue) const {
    const int stored = getInt(key, defaultValue);
    const int used = std::clamp(stored, 0, maxValue);
    if (used == stored) {
        return used;
    }
    bool first = false;
    {
        std::lock_guard lock(m_mutex);
        first = m_loggedKeys.insert(key).second;
    }
    // Once: the capture thread reads some of these keys for every alarm frame.
    if (first) {
        qWarning("Settings: %s=%d is out of range (0 to %d); %d is used", qUtf8Printable(key),
                 stored, maxValue, used);
    }
    return used;
}

QString SettingStore::getString(const QString& key, const QString& defaultValue) const {
    std::lock_guard lock(m_mutex);
    if (!m_settings) {
        return defaultValue;
    }
    const QString value = m_settings->value(key, QVariant(defaultValue)).toString();
    // The caller gets text of its own, not a share of QSettings' copy: the capture thread then
    // never releases a reference that a later write on the GUI thread also releases.
    return QString(value.constData(), value.size());
}

void SettingStore::setString(const QString& key, const QString& value) {
    std::lock_guard lock(m_mutex);
    if (m_settings) {
        m_settings->setValue(key, QVariant(value));
    }
}

void SettingStore::remove(const QString& key) {
    std::lock_guard lock(m_mutex);
    if (m_settings) {
        m_settings->remove(key);
    }
}

QString SettingStore::fileName() const {
    std::lock_guard lock(m_mutex);
    return m_settings ? m_settings->fileName() : QString();
}

bool SettingStore::alarmEnabled() const {
    return getBool(kAlarmEnabled, true);
}
void SettingStore::setAlarmEnabled(bool value) {
    setBool(kAlarmEnabled, value);
}

bool SettingStore::alarmSoundEnabled() const {
    return getBool(kAlarmSoundEnabled, true);
}
void SettingStore::setAlarmSoundEnabled(bool value) {
    setBool(kAlarmSoundEnabled, value);
}

int SettingStore::alarmSoundPlayTimes() const {
    return getInt(kAlarmSoundPlayTimes, 1);
}
void SettingStore::setAlarmSoundPlayTimes(int value) {
    setInt(kAlarmSoundPlayTimes, value);
}

QString SettingStore::alarmSoundFile() const {
    return getString(kAlarmSoundFile, QStringLiteral("alarm1.wav"));
}
void SettingStore::setAlarmSoundFile(const QString& value) {
    setString(kAlarmSoundFile, value);
}

bool SettingStore::alarmSnapshotEnabled() const {
    return getBool(kAlarmSnapshotEnabled, true);
}
void SettingStore::setAlarmSnapshotEnabled(bool value) {
    setBool(kAlarmSnapshotEnabled, value);
}

bool SettingStore::alarmRecordEnabled() const {
    return getBool(kAlarmRecordEnabled, true);
}
void SettingStore::setAlarmRecordEnabled(bool value) {
    setBool(kAlarmRecordEnabled, value);
}

QString SettingStore::alarmImagesPath() const {
    return getFolder(kAlarmImages, QStringLiteral("./AlarmImages"));
}
void SettingStore::setAlarmImagesPath(const QString& value) {
    setString(kAlarmImages, value);
}

QString SettingStore::alarmRecordsPath() const {
    return getFolder(kAlarmRecords, QStringLiteral("./AlarmRecords"));
}
void SettingStore::setAlarmRecordsPath(const QString& value) {
    setString(kAlarmRecords, value);
}

int SettingStore::preAlarmSeconds() const {
    // A hand-edited value beyond the range would let the pre-alarm memory grow without bound.
    return getLimitedInt(kPreAlarmSeconds, 0, kMaxPreAlarmSeconds);
}
void SettingStore::setPreAlarmSeconds(int value) {
    setInt(kPreAlarmSeconds, value);
}

int SettingStore::alarmSnapshotsPerSecond() const {
    return getLimitedInt(kSnapshotsPerSecond, 0, kMaxSnapshotsPerSecond);
}
void SettingStore::setAlarmSnapshotsPerSecond(int value) {
    setInt(kSnapshotsPerSecond, value);
}

int SettingStore::freeSpaceFloorGiB() const {
    return getLimitedInt(kFreeSpaceFloorGiB, 8, kMaxFreeSpaceFloorGiB);
}
void SettingStore::setFreeSpaceFloorGiB(int value) {
    setInt(kFreeSpaceFloorGiB, value);
}

int SettingStore::alarmKeepDays() const {
    return getLimitedInt(kAlarmKeepDays, 0, kMaxKeepDays);
}
void SettingStore::setAlarmKeepDays(int value) {
    setInt(kAlarmKeepDays, value);
}

int SettingStore::recordKeepDays() const {
    return getLimitedInt(kRecordKeepDays, 0, kMaxKeepDays);
}
void SettingStore::setRecordKeepDays(int value) {
    setInt(kRecordKeepDays, value);
}

int SettingStore::recordType() const {
    return getInt(kRecordType, 0);
}
void SettingStore::setRecordType(int value) {
    setInt(kRecordType, value);
}

QString SettingStore::recordPath() const {
    return getFolder(kRecordPath, QStringLiteral("./Records"));
}
void SettingStore::setRecordPath(const QString& value) {
    setString(kRecordPath, value);
}

QString SettingStore::snapshotPath() const {
    return getFolder(kSnapshotPath, QStringLiteral("./Snapshot"));
}
void SettingStore::setSnapshotPath(const QString& value) {
    setString(kSnapshotPath, value);
}

bool SettingStore::chineseLang() const {
    return getBool(kChineseLang, false);
}
