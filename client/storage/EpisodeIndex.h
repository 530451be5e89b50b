// The alarm episodes on disk and the files that make them, built from the storage folders and the
// day files of the alarm log, for retention (and for a page that reviews past alarms).
//
// An episode is a logged one (a line of an AlarmLog_YYYYMMDD.csv): it holds the alarm snapshots
// and the alarm recordings whose name time lies between its first and last camera time, and the
// files its line names (a recording that went on from the episode before). The episode in
// progress holds the files from its first camera time on. Alarm files no episode claims (days
// before the log existed, a crash before the line was written) are grouped by the times in their
// names with the alarm hold of 5 s, each group an episode keyed by its first file's name. A file
// claimed by two episodes (a recording that ran through both) belongs to both. Manual snapshots
// and recordings no episode claims are the user's own files. Where alarm and manual recordings
// share a folder, a recording is an alarm recording only when an episode claims it.
//
// Not thread-safe: its owner (StorageKeeper) guards it.
#pragma once

#include <QString>
#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "alarm/AlarmEpisode.h"
#include "storage/StoredFile.h"

class EpisodeIndex {
public:
    enum Folder : uint8_t { kAlarmImages, kAlarmRecords, kRecords, kSnapshots, kFolderCount };
    using Folders = std::array<std::string, kFolderCount>;  // local 8-bit paths
    static constexpr int64_t kHoldSeconds = 5;
    static constexpr int64_t kOpen = std::numeric_limits<int64_t>::max();

    struct Episode {
        std::string key;  // the logged first computer time, else the first file's name
        bool logged = false;
        bool open = false;  // in progress
        AlarmEpisode line;  // what its log line tells, when logged
        int64_t firstNameSeconds = 0;
        int64_t lastNameSeconds = 0;
        // Seconds since 1970: the logged last computer time, else the newest file's mtime;
        // kOpen while in progress.
        int64_t endedAt = 0;
        std::vector<uint32_t> files;  // into Files()
        uint64_t bytes = 0;
    };

    // Reads the folders afresh: the alarm logs and every file of the program's names. Gives up
    // (false, the index incomplete) as soon as `*stop` is set.
    bool Scan(const Folders& folders, const std::atomic<bool>& stop);
    const Folders& folders() const { return m_Folders; }

    // A file the program has just written (full path as the program names it); ignored (null)
    // when it is not one of its names in a folder of the index. A recording told of again is
    // updated; what is returned then holds only what it grew by. Valid until the next call.
    const StoredFile* AddFile(const std::string& path);
    // The file is gone.
    void FileGone(uint32_t file);
    // The episode in progress began: its key and the camera time of its first alarm frame.
    void EpisodeBegan(const std::string& key, int64_t firstNameSeconds);
    // An episode was logged (and, if it was the one in progress, has ended).
    void EpisodeLogged(const AlarmEpisode& episode);

    // The episodes, oldest first by their first file (grouped again when something changed).
    const std::vector<Episode>& Episodes();
    const std::vector<StoredFile>& Files() const { return m_Files; }
    // Manual snapshots and recordings that no episode claims.
    std::vector<uint32_t> ManualFiles();
    // How many episodes claim a file.
    uint16_t Claims(uint32_t file);
    std::string Path(uint32_t file) const;
    // The file system (st_dev) of a folder; 0 when it could not be read.
    uint64_t Device(Folder folder) const { return m_Devices[folder]; }
    // The folder part of a path ("." when it has none).
    static std::string FolderOf(const std::string& path);
    // The key an episode in progress has, from its first computer time.
    static std::string KeyOf(const QDateTime& firstTime);

private:
    // One folder, with every role the settings give it.
    void ScanFolder(const std::string& path, const std::vector<Folder>& roles,
                    const std::atomic<bool>& stop);
    void ReadLogs(int directory, const std::vector<std::string>& names);
    void Regroup();
    // The alarm files in name order whose name time lies in [first, last].
    void ClaimRange(Episode* episode, int64_t first, int64_t last, std::vector<uint16_t>* claims);
    void ClaimName(Episode* episode, const QString& name, std::vector<uint16_t>* claims);
    bool IsAlarmFile(const StoredFile& file) const;
    // The order of m_AlarmByName: name time, then counter, then age in the index.
    bool NameBefore(uint32_t a, uint32_t b) const;

    Folders m_Folders;
    std::array<uint64_t, kFolderCount> m_Devices{};
    bool m_bRecordsShared = false;  // the alarm and manual recordings share one folder
    std::vector<StoredFile> m_Files;
    std::vector<uint32_t> m_Recordings;  // the recordings among m_Files (few)
    std::vector<AlarmEpisode> m_Logged;
    std::string m_OpenKey;  // the episode in progress, when not empty
    int64_t m_nOpenFirst = 0;

    StoredFile m_Added;  // what AddFile returned
    bool m_bDirty = true;
    std::vector<Episode> m_Episodes;
    // Alarm files in name-time order (removed ones stay until the next sort); m_bOrderStale
    // when it must be built and sorted again.
    std::vector<uint32_t> m_AlarmByName;
    bool m_bOrderStale = true;
    std::vector<uint16_t> m_Claims;  // per file
};
