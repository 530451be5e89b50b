// The station's health as its retained "<prefix>/health" message tells it (docs/events.md): the
// camera and its frames, recording, the storage folders' free space, errors, version, uptime.
//
// GUI thread: Measure runs from the publisher's health timer; the probes read what the capture
// thread leaves in atomics (the frame counts, the latest frame's tick) and the GUI's own state.
#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class StationHealth {
public:
    struct Probes {
        std::function<uint32_t()> lastFrameTick;  // TickClock of the latest frame, 0 before any
        std::function<uint64_t()> frames;         // frames arrived so far
        std::function<uint64_t()> missingFrames;  // frames seen missing between them so far
        std::function<bool()> recording;          // a recording (manual or alarm) is running
        std::function<bool()> alarmLogFailing;
    };
    struct Folder {
        QString name;  // "alarmImages", "alarmRecords", "records", "snapshots"
        QString path;
        std::optional<uint64_t> freeBytes;  // none when the folder cannot be asked
    };
    struct Facts {
        bool cameraConnected = false;
        bool delivering = false;                  // connected and a frame within the last 10 s
        double framesPerSecond = 0;               // over the time since the previous measure
        uint64_t missingFrames = 0;               // the same
        std::optional<double> secondsSinceFrame;  // none before the first frame
        bool recording = false;
        std::vector<Folder> folders;
        std::optional<uint64_t> freeBytes;  // the least of the folders'
        uint64_t floorBytes = 0;
        uint64_t removedTodayBytes = 0;
        bool alarmLogFailing = false;
        bool outboxFailing = false;
        int outboxPending = 0;
        uint64_t outboxDropped = 0;
        QString version;
        qint64 uptimeSeconds = 0;
        int periodSeconds = 0;
    };

    explicit StationHealth(Probes probes);

    // The facts now; the rates cover the time since the previous call (or since this object was
    // made). The fields the probes cannot know are left for the caller.
    Facts Measure(bool cameraConnected);
    // The payload's own fields (EventJson adds id, station and time).
    static QJsonObject Json(const Facts& facts);

private:
    Probes m_Probes;
    QElapsedTimer m_Uptime;
    qint64 m_LastMeasureMs = 0;
    uint64_t m_LastFrames = 0;
    uint64_t m_LastMissing = 0;
};
