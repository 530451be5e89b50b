#include "history/HistoryCatalog.h"

#include <QFile>
#include <QTimeZone>
#include <algorithm>
#include <ctime>
#include <unordered_map>

namespace {

// A name a log line gives may come from a damaged or hostile file: only a plain file name is
// looked for, never a path.
bool IsPlainName(const QString& name) {
    return !name.isEmpty() && !name.contains('/') && name != "." && name != "..";
}

bool Earlier(const StoredFile& a, const StoredFile& b) {
    return a.nameSeconds < b.nameSeconds ||
           (a.nameSeconds == b.nameSeconds && a.counter < b.counter);
}

// The local calendar day and time of day of a moment. QDateTime asks the C library for each
// local time it converts, under its lock, about 3 us a time; a year's 50,000 episodes are
// built again after every change, so the offsets are asked once per day and kept.
class LocalCalendar {
public:
    void Place(int64_t seconds, QDate* day, int* secondOfDay) {
        const int64_t local = seconds + Offset(seconds);
        const int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
        *day = QDate(1970, 1, 1).addDays(days);
        *secondOfDay = static_cast<int>(local - days * 86400);
    }

private:
    static int OffsetAt(int64_t seconds) {
        const time_t time = static_cast<time_t>(seconds);
        struct tm local {};
        return ::localtime_r(&time, &local) != nullptr ? static_cast<int>(local.tm_gmtoff) : 0;
    }
    // The offset at the start of the moment's UTC day, unless it changes within that day (a
    // daylight-saving switch), where it is asked for the moment itself.
    int Offset(int64_t seconds) {
        const int64_t day = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
        auto found = m_Days.find(day);
        if (found == m_Days.end()) {
            const int start = OffsetAt(day * 86400);
            const int end = OffsetAt(day * 86400 + 86399);
            found = m_Days.emplace(day, start == end ? start : kChanges).first;
        }
        return found->second != kChanges ? found->second : OffsetAt(seconds);
    }

    static constexpr int kChanges = 1 << 30;
    std::unordered_map<int64_t, int> m_Days;
};

}  // namespace

std::vector<std::string> HistoryCatalog::SnapshotsOf(EpisodeIndex& index, const std::string& key) {
    const std::vector<StoredFile>& files = index.Files();
    for (const EpisodeIndex::Episode& source : index.Episodes()) {
        if (source.key != key) {
            continue;
        }
        std::vector<uint32_t> ids;
        for (const uint32_t id : source.files) {
            if (!files[id].removed && files[id].kind == StoredFile::Kind::kAlarmSnapshot) {
                ids.push_back(id);
            }
        }
        std::sort(ids.begin(), ids.end(),
                  [&files](uint32_t a, uint32_t b) { return Earlier(files[a], files[b]); });
        std::vector<std::string> paths;
        paths.reserve(ids.size());
        for (const uint32_t id : ids) {
            paths.push_back(index.Path(id));
        }
        return paths;
    }
    return {};
}

std::shared_ptr<const HistoryCatalog> HistoryCatalog::Build(EpisodeIndex& index,
                                                            const AlarmMarks& marks) {
    auto catalog = std::make_shared<HistoryCatalog>();
    const std::vector<StoredFile>& files = index.Files();
    LocalCalendar calendar;
    for (const EpisodeIndex::Episode& source : index.Episodes()) {
        Episode episode;
        episode.key = source.key;
        episode.logged = source.logged;
        episode.open = source.open;
        episode.kept = marks.IsKept(source.key);
        episode.reviewed = marks.IsReviewed(source.key);
        if (source.logged) {
            episode.start = source.line.firstTime;
            episode.end = source.line.lastTime;
            episode.firstCameraTime = source.line.firstCameraTime;
            episode.lastCameraTime = source.line.lastCameraTime;
            episode.hasPeak = true;
            episode.peak = source.line.peakTemperature;
            episode.unitKind = source.line.unitKind;
            episode.line = source.line;
        } else if (source.open) {
            episode.start = QDateTime::fromString(QString::fromStdString(source.key), Qt::ISODate);
        } else {
            episode.end = QDateTime::fromSecsSinceEpoch(source.endedAt, QTimeZone::utc());
            episode.start = QDateTime::fromSecsSinceEpoch(
                source.endedAt - (source.lastNameSeconds - source.firstNameSeconds),
                QTimeZone::utc());
        }
        const StoredFile* first = nullptr;
        uint32_t firstId = 0;
        for (const uint32_t id : source.files) {
            const StoredFile& file = files[id];
            if (file.removed) {
                continue;
            }
            if (file.kind == StoredFile::Kind::kAlarmSnapshot) {
                ++episode.snapshots;
                if (first == nullptr || Earlier(file, *first)) {
                    first = &file;
                    firstId = id;
                }
            } else if (file.kind == StoredFile::Kind::kRecording) {
                episode.recordings.push_back(
                    {file.Name(), index.Path(id), Recording::State::kPresent});
            }
        }
        if (first != nullptr) {
            episode.firstSnapshot = index.Path(firstId);  // a name is formatted: once
        }
        // The recording the log names, when it is not on disk any more.
        const QString named = source.logged ? source.line.recording : QString();
        if (!named.isEmpty()) {
            const std::string name = QFile::encodeName(named).toStdString();
            const bool present =
                std::any_of(episode.recordings.begin(), episode.recordings.end(),
                            [&name](const Recording& recording) { return recording.name == name; });
            if (!present) {
                const bool removed = IsPlainName(named) && marks.IsRemoved(source.key);
                episode.recordings.push_back(
                    {name, {}, removed ? Recording::State::kRemoved : Recording::State::kMissing});
            }
        }
        if (episode.start.isValid()) {
            episode.startSeconds = episode.start.toSecsSinceEpoch();
            calendar.Place(episode.startSeconds, &episode.day, &episode.secondOfDay);
        }
        catalog->m_ByDay[episode.day].push_back(catalog->m_Episodes.size());
        catalog->m_Episodes.push_back(std::move(episode));
    }
    for (auto& [day, indices] : catalog->m_ByDay) {
        std::stable_sort(indices.begin(), indices.end(), [&catalog](size_t a, size_t b) {
            return catalog->m_Episodes[a].startSeconds < catalog->m_Episodes[b].startSeconds;
        });
    }
    return catalog;
}

std::vector<size_t> HistoryCatalog::Day(QDate day) const {
    const auto found = m_ByDay.find(day);
    if (found == m_ByDay.end()) {
        return {};
    }
    return {found->second.rbegin(), found->second.rend()};
}

std::map<QDate, HistoryCatalog::DayCount> HistoryCatalog::Days(QDate from, QDate to) const {
    std::map<QDate, DayCount> counts;
    for (auto it = m_ByDay.lower_bound(from); it != m_ByDay.end() && it->first <= to; ++it) {
        DayCount& count = counts[it->first];
        for (const size_t e : it->second) {
            ++count.episodes;
            count.unreviewed += m_Episodes[e].reviewed ? 0 : 1;
        }
    }
    return counts;
}
