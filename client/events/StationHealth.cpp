#include "events/StationHealth.h"

#include <QFile>
#include <QJsonValue>
#include <algorithm>
#include <cmath>

#include "platform/DiskSpace.h"
#include "platform/TickClock.h"
#include "settings/SettingStore.h"
#include "video/StreamWatch.h"

StationHealth::StationHealth(Probes probes)
    : m_Probes(std::move(probes)),
      m_LastFrames(m_Probes.frames()),
      m_LastMissing(m_Probes.missingFrames()) {
    m_Uptime.start();
}

StationHealth::Facts StationHealth::Measure(bool cameraConnected) {
    Facts facts;
    const qint64 nowMs = m_Uptime.elapsed();
    const uint64_t frames = m_Probes.frames();
    const uint64_t missing = m_Probes.missingFrames();
    const double seconds = static_cast<double>(nowMs - m_LastMeasureMs) / 1000.0;
    facts.framesPerSecond = seconds > 0 ? static_cast<double>(frames - m_LastFrames) / seconds : 0;
    facts.missingFrames = missing - m_LastMissing;
    m_LastMeasureMs = nowMs;
    m_LastFrames = frames;
    m_LastMissing = missing;

    facts.cameraConnected = cameraConnected;
    if (const uint32_t tick = m_Probes.lastFrameTick(); tick != 0) {
        const uint32_t sinceMs = TickClock::Now() - tick;
        facts.secondsSinceFrame = sinceMs / 1000.0;
        facts.delivering = cameraConnected && sinceMs <= StreamWatch::kDeliveryStalledMs;
    }
    facts.recording = m_Probes.recording();
    facts.alarmLogFailing = m_Probes.alarmLogFailing();

    const SettingStore& store = SettingStore::instance();
    facts.folders = {{"alarmImages", store.alarmImagesPath(), {}},
                     {"alarmRecords", store.alarmRecordsPath(), {}},
                     {"records", store.recordPath(), {}},
                     {"snapshots", store.snapshotPath(), {}}};
    for (Folder& folder : facts.folders) {
        uint64_t free = 0;
        if (DiskSpace::Current().FreeBytes(QFile::encodeName(folder.path).constData(), &free)) {
            folder.freeBytes = free;
            facts.freeBytes = std::min(facts.freeBytes.value_or(free), free);
        }
    }
    facts.floorBytes = static_cast<uint64_t>(store.freeSpaceFloorGiB()) << 30;
    facts.uptimeSeconds = nowMs / 1000;
    return facts;
}

QJsonObject StationHealth::Json(const Facts& facts) {
    const auto number = [](const auto& value) {
        return value ? QJsonValue(static_cast<double>(*value)) : QJsonValue(QJsonValue::Null);
    };
    QJsonObject folders;
    for (const Folder& folder : facts.folders) {
        folders.insert(folder.name, number(folder.freeBytes));
    }
    return QJsonObject{
        {"cameraConnected", facts.cameraConnected},
        {"delivering", facts.delivering},
        {"framesPerSecond", std::round(facts.framesPerSecond * 100) / 100},
        {"missingFrames", static_cast<double>(facts.missingFrames)},
        {"secondsSinceFrame", facts.secondsSinceFrame
                                  ? QJsonValue(std::round(*facts.secondsSinceFrame * 10) / 10)
                                  : QJsonValue(QJsonValue::Null)},
        {"recording", facts.recording},
        {"freeBytes", number(facts.freeBytes)},
        {"folderFreeBytes", folders},
        {"floorBytes", static_cast<double>(facts.floorBytes)},
        {"removedTodayBytes", static_cast<double>(facts.removedTodayBytes)},
        {"alarmLogFailing", facts.alarmLogFailing},
        {"outboxFailing", facts.outboxFailing},
        {"outboxPending", facts.outboxPending},
        {"outboxDropped", static_cast<double>(facts.outboxDropped)},
        {"version", facts.version},
        {"uptimeSeconds", static_cast<double>(facts.uptimeSeconds)},
        {"periodSeconds", facts.periodSeconds},
    };
}
