// What the History page shows of the alarm episodes on disk: a copy made from the episode index
// and the marks on the storage thread, then only read (any thread; it never changes), so the
// GUI thread never waits on the index's lock. Days are the computer's: a logged episode's first
// computer time, else (files of days before the log) its newest file's mtime; the camera's clock
// in the names never decides a day.
#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "storage/AlarmMarks.h"
#include "storage/EpisodeIndex.h"

class HistoryCatalog {
public:
    struct Recording {
        enum class State : uint8_t { kPresent, kRemoved, kMissing };
        std::string name;  // file name, no folder
        std::string path;  // full path when present
        State state = State::kPresent;
    };
    struct Episode {
        std::string key;  // as the marks name it
        bool logged = false;
        bool open = false;
        bool kept = false;
        bool reviewed = false;
        QDateTime start;  // computer times; an unlogged group's come from its files' mtimes
        QDateTime end;
        QString firstCameraTime;
        QString lastCameraTime;
        bool hasPeak = false;  // a log line gave one
        double peak = 0;
        int unitKind = 0;
        int snapshots = 0;          // alarm snapshots on disk now
        std::string firstSnapshot;  // full path of the first one on disk; empty when none
        std::vector<Recording> recordings;
        QDate day;                 // of the start, local
        int64_t startSeconds = 0;  // since 1970, for ordering without time-zone lookups
        int secondOfDay = 0;       // of the start, local
        AlarmEpisode line;         // its log line, when logged
    };
    struct DayCount {
        int episodes = 0;
        int unreviewed = 0;
    };

    // Storage thread, under the index's lock.
    static std::shared_ptr<const HistoryCatalog> Build(EpisodeIndex& index,
                                                       const AlarmMarks& marks);

    // The paths of the alarm snapshots of the episode `key` on disk now, oldest first; any
    // thread, under the index's lock.
    static std::vector<std::string> SnapshotsOf(EpisodeIndex& index, const std::string& key);

    const std::vector<Episode>& episodes() const { return m_Episodes; }
    // The day's episodes, newest first (indices into episodes()).
    std::vector<size_t> Day(QDate day) const;
    // Counts per day in [from, to].
    std::map<QDate, DayCount> Days(QDate from, QDate to) const;

private:
    std::vector<Episode> m_Episodes;
    std::map<QDate, std::vector<size_t>> m_ByDay;  // oldest first within a day
};
