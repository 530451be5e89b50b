// kvs.ini: any bytes as the settings file, then every accessor of SettingStore. The settings
// page saves what it shows, so the values read are written back through the setters and must
// read the same from a new store over the file that QSettings rewrote.
#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "IniFile.h"
#include "settings/SettingStore.h"

namespace {

struct Values {
    bool alarmEnabled, alarmSoundEnabled, alarmSnapshotEnabled, alarmRecordEnabled, chineseLang;
    int alarmSoundPlayTimes, recordType;
    QString alarmSoundFile, alarmImagesPath, alarmRecordsPath, recordPath, snapshotPath;

    auto tied() const {
        return std::tie(alarmEnabled, alarmSoundEnabled, alarmSnapshotEnabled, alarmRecordEnabled,
                        chineseLang, alarmSoundPlayTimes, recordType, alarmSoundFile,
                        alarmImagesPath, alarmRecordsPath, recordPath, snapshotPath);
    }
};

Values readAll(const SettingStore& store) {
    return Values{
        store.alarmEnabled(),       store.alarmSoundEnabled(), store.alarmSnapshotEnabled(),
        store.alarmRecordEnabled(), store.chineseLang(),       store.alarmSoundPlayTimes(),
        store.recordType(),         store.alarmSoundFile(),    store.alarmImagesPath(),
        store.alarmRecordsPath(),   store.recordPath(),        store.snapshotPath()};
}

void writeAll(SettingStore& store, const Values& v) {
    store.setAlarmEnabled(v.alarmEnabled);
    store.setAlarmSoundEnabled(v.alarmSoundEnabled);
    store.setAlarmSnapshotEnabled(v.alarmSnapshotEnabled);
    store.setAlarmRecordEnabled(v.alarmRecordEnabled);
    store.setAlarmSoundPlayTimes(v.alarmSoundPlayTimes);
    store.setRecordType(v.recordType);
    store.setAlarmSoundFile(v.alarmSoundFile);
    store.setAlarmImagesPath(v.alarmImagesPath);
    store.setAlarmRecordsPath(v.alarmRecordsPath);
    store.setRecordPath(v.recordPath);
    store.setSnapshotPath(v.snapshotPath);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static IniFile file(QStringLiteral("kvs.ini"));
    file.write(data, size);

    Values first;
    {
        SettingStore store;
        store.setPath(file.path());
        first = readAll(store);
        writeAll(store, first);
    }  // QSettings writes the file back here
    SettingStore store;
    store.setPath(file.path());
    if (readAll(store).tied() != first.tied()) {
        std::fprintf(stderr, "kvs.ini: a value read and written back reads differently\n");
        std::abort();
    }
    return 0;
}
