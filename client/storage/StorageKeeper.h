// Keeps the storage folders below their limits, so that an unattended station never stops saving
// new alarms: a free-space floor on every file system that holds a storage folder
// ("Storage/FreeSpaceFloorGiB"), and age limits for alarm episodes ("Storage/AlarmKeepDays") and
// for the user's own recordings and snapshots ("Storage/RecordKeepDays"); RetentionPlanner says
// which. It removes only files of the program's names, never through a link and never outside
// their folder (FileRemover), never the recording being written; a file that cannot be removed
// is logged once and passed over from then on. It says what it removed: a log line, a line in
// "QZLog/storage-YYYYMMDD.log", a toast (at most one an hour) and passReported, which the
// station events publish; and it warns (at most once an hour) when the floor cannot be kept with
// what may go, and when one episode alone has written more than the floor.
//
// A pass runs at start, every 10 minutes, when the rules change, and as soon as a file the program
// writes leaves less than the floor and 1 GiB free.
//
// Threads: the object, its public functions, its signals and the toasts belong to the GUI thread.
// Everything that touches the disk (the scan, the marks file, the removals, the storage log) runs
// on the "Storage" thread, at a low CPU and I/O priority; the GUI thread hands it messages through
// a queue under m_Mutex and never waits for it (but in WaitIdle, for tests), and it answers through
// an EventMailbox. The capture thread never meets it. The index is the storage thread's, under
// m_IndexMutex for any reader; the marks guard themselves.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "alarm/AlarmEpisode.h"
#include "alarm/EpisodeMarks.h"
#include "platform/EventMailbox.h"
#include "storage/AlarmMarks.h"
#include "storage/EpisodeIndex.h"
#include "storage/RetentionPlanner.h"

class StorageKeeper : public QObject, public EpisodeMarks {
    Q_OBJECT

public:
    static constexpr int kPassIntervalMs = 10 * 60 * 1000;
    static constexpr uint64_t kGiB = 1ull << 30;
    static constexpr int kNoticeIntervalSeconds = 3600;

    // What one pass did, or a warning.
    struct Report {
        int episodes = 0;       // alarm episodes removed
        int floorEpisodes = 0;  // of them, removed for the floor (the rest for their age)
        int alarmKeepDays = 0;  // the age limits as they were
        int recordKeepDays = 0;
        uint64_t episodeBytes = 0;
        int manualFiles = 0;  // the user's files removed by their age limit
        uint64_t manualBytes = 0;
        QString oldest;  // keys of the oldest and newest episode removed
        QString newest;
        uint64_t floorBytes = 0;
        uint64_t freeBefore = 0;  // the least free space of the storage file systems
        uint64_t freeAfter = 0;
        int failedFiles = 0;            // could not be removed (each logged once)
        bool floorUnmet = false;        // below the floor with nothing left that may go
        uint64_t episodeOverFloor = 0;  // the episode in progress has written this much
    };

    // The storage log goes into `logFolder` (the library's log folder, "QZLog").
    explicit StorageKeeper(const QString& logFolder, QObject* parent = nullptr);
    // Ends the storage thread (a pass stops between two files).
    ~StorageKeeper() override;

    // What the program wrote (a snapshot, a recording started or finished), full path.
    void OnFileWritten(const QString& path);
    void OnRecordingStarted(const QString& path, bool alarm);
    void OnRecordingFinished(const QString& path, bool alarm);
    // The alarm episodes as the tracker tells them.
    void OnEpisodeStarted(const AlarmEpisode& episode);
    void OnEpisodeEnded(const AlarmEpisode& episode);
    // A pass soon (the rules changed).
    void RequestPass();
    // A save was refused for disk space: a pass unless one ran in the last minute.
    void OnDiskSpaceShort();
    // Keep (or no longer keep) an episode, by its key (EpisodeIndex::KeyOf of its first time).
    void SetKept(const QString& key, bool keep) override;
    bool IsKept(const QString& key) const override { return m_Marks.IsKept(key.toStdString()); }
    // The History page showed these episodes (one write for them all).
    void SetReviewed(const std::vector<std::string>& keys);
    // Waits at most `ms` until the storage thread has nothing left to do; true when it has not.
    bool WaitIdle(int ms);
    // `observer` runs on the storage thread, under the index's lock, once now and then after the
    // index or the marks changed, at most once a second (and at most a tenth of the time); null
    // stops it. For a page that shows the episodes: it copies what it needs and hands it to its
    // own thread.
    using Observer = std::function<void(EpisodeIndex& index, const AlarmMarks& marks)>;
    void Observe(Observer observer);
    // Calls `read` with the index under its lock.
    template <typename Reader>
    void ReadIndex(const Reader& read) {
        std::lock_guard lock(m_IndexMutex);
        read(m_Index);
    }

signals:
    void passReported(const StorageKeeper::Report& report);

private:
    struct Message {
        enum class Kind {
            kFile,
            kBusy,
            kIdle,
            kBegan,
            kLogged,
            kPass,
            kShort,
            kMark,
            kObserve
        } kind;
        std::string text;  // path or key
        AlarmEpisode episode;
        int64_t seconds = 0;
        const char* mark = nullptr;
        std::vector<std::string> keys{};  // of a mark
        Observer observer{};
    };

    // Storage thread.
    void Run();
    void Handle(const Message& message);
    void Pass();
    // Removes one file of the index. Logs a failure once; a file that failed before, or the
    // recording being written, is passed over (kSkipped) without a try.
    enum class Removal { kRemoved, kFailed, kSkipped };
    Removal Remove(uint32_t file, uint64_t* bytes);
    void WriteStorageLog(const QString& line);
    // Calls the observer (storage thread).
    void Notify();
    EpisodeIndex::Folders CurrentFolders() const;

    // GUI thread.
    void Post(Message message);
    void TakeReports();
    void Tell(const Report& report);

    QString m_LogFolder;
    AlarmMarks m_Marks;

    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    std::deque<Message> m_Queue;       // guarded by m_Mutex
    bool m_bBusy = false;              // guarded by m_Mutex: a message is being handled
    std::atomic<bool> m_bStop{false};  // set under m_Mutex; the pass reads it between files

    std::mutex m_IndexMutex;
    EpisodeIndex m_Index;  // guarded by m_IndexMutex

    // Storage thread only.
    bool m_bScanned = false;
    int64_t m_nScannedAt = 0;
    int64_t m_nLastPassAt = 0;
    int64_t m_nLastLowCheckAt = 0;
    std::set<std::string> m_Busy;                           // recordings being written (paths)
    std::set<std::pair<uint64_t, uint64_t>> m_Unremovable;  // (device, inode), logged once
    std::string m_OpenKey;
    int64_t m_nOpenFirst = 0;
    uint64_t m_nOpenBytes = 0;
    bool m_bOpenWarned = false;
    Observer m_Observer;
    bool m_bObservedChanged = false;
    std::chrono::steady_clock::time_point m_LastObserved{};
    std::chrono::steady_clock::duration m_ObserveInterval{};
    int64_t m_nLastUnmetAt = 0;  // monotonic seconds of the last floor warning

    std::shared_ptr<EventMailbox<Report>> m_pReports;
    QSocketNotifier m_ReportNotifier;
    QTimer m_PassTimer;
    int64_t m_nLastRemovedToast = 0;  // GUI thread: seconds of the last toast of each kind
    int64_t m_nLastFloorWarning = 0;
    std::thread m_Thread;  // last: started once everything above exists
};

Q_DECLARE_METATYPE(StorageKeeper::Report)
