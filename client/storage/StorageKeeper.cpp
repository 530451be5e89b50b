#include "storage/StorageKeeper.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>

#include "platform/DiskSpace.h"
#include "settings/SettingStore.h"
#include "storage/FileRemover.h"
#include "ui/NotifyManager.h"

namespace {

constexpr int64_t kRescanSeconds = 24 * 3600;
// A file written with less than the floor and this much free asks for a pass, at most this often.
constexpr int64_t kLowCheckSeconds = 5;
constexpr int64_t kLowPassSeconds = 60;
constexpr int kToastGapMs = 2500;
constexpr size_t kMarksBatch = 1000;
constexpr std::chrono::milliseconds kObserveInterval{1000};

int64_t Now() {
    return static_cast<int64_t>(std::time(nullptr));
}

int64_t Monotonic() {
    using namespace std::chrono;
    return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

// The settings count the floor in GiB; so do the messages (the toasts say "GB", as people do).
QString Gigabytes(uint64_t bytes) {
    return QString::number(static_cast<double>(bytes) / (1ull << 30), 'f', 1);
}

// Below everything the user watches: a pass may read a million names and remove thousands.
void LowerThisThreadsPriority() {
    ::pthread_setname_np(::pthread_self(), "Storage");
    const auto thread = static_cast<id_t>(::syscall(SYS_gettid));
    (void)::setpriority(PRIO_PROCESS, thread, 10);
    // The lowest best-effort level, not the idle class: a continuous alarm keeps the disk busy,
    // and an idle-class purge could then wait for ever while the disk fills.
    constexpr int kWhoProcess = 1;                    // IOPRIO_WHO_PROCESS
    constexpr int kLowestBestEffort = (2 << 13) | 7;  // IOPRIO_CLASS_BE << IOPRIO_CLASS_SHIFT, 7
    (void)::syscall(SYS_ioprio_set, kWhoProcess, static_cast<int>(thread), kLowestBestEffort);
}

}  // namespace

StorageKeeper::StorageKeeper(const QString& logFolder, QObject* parent)
    : QObject(parent),
      m_LogFolder(logFolder),
      m_pReports(std::make_shared<EventMailbox<Report>>()),
      m_ReportNotifier(m_pReports->fd(), QSocketNotifier::Read) {
    qRegisterMetaType<StorageKeeper::Report>();
    connect(&m_ReportNotifier, &QSocketNotifier::activated, this, &StorageKeeper::TakeReports);
    m_PassTimer.setInterval(kPassIntervalMs);
    connect(&m_PassTimer, &QTimer::timeout, this, &StorageKeeper::RequestPass);
    m_PassTimer.start();
    m_Thread = std::thread([this] { Run(); });
    RequestPass();
}

StorageKeeper::~StorageKeeper() {
    {
        std::lock_guard lock(m_Mutex);
        m_bStop = true;
    }
    m_Wake.notify_all();
    m_Thread.join();
    m_ReportNotifier.setEnabled(false);
}

void StorageKeeper::Post(Message message) {
    {
        std::lock_guard lock(m_Mutex);
        m_Queue.push_back(std::move(message));
    }
    m_Wake.notify_all();
}

void StorageKeeper::OnFileWritten(const QString& path) {
    Post({Message::Kind::kFile, QFile::encodeName(path).toStdString(), {}, 0, nullptr});
}

void StorageKeeper::OnRecordingStarted(const QString& path, bool) {
    const std::string local = QFile::encodeName(path).toStdString();
    Post({Message::Kind::kBusy, local, {}, 0, nullptr});
    Post({Message::Kind::kFile, local, {}, 0, nullptr});
}

void StorageKeeper::OnRecordingFinished(const QString& path, bool) {
    const std::string local = QFile::encodeName(path).toStdString();
    Post({Message::Kind::kIdle, local, {}, 0, nullptr});
    Post({Message::Kind::kFile, local, {}, 0, nullptr});
}

void StorageKeeper::OnEpisodeStarted(const AlarmEpisode& episode) {
    int64_t first = 0;
    StoredFile::DisplayTimeSeconds(episode.firstCameraTime.toLatin1().constData(), &first);
    Post({Message::Kind::kBegan, EpisodeIndex::KeyOf(episode.firstTime), {}, first, nullptr});
}

void StorageKeeper::OnEpisodeEnded(const AlarmEpisode& episode) {
    Post({Message::Kind::kLogged, {}, episode, 0, nullptr});
}

void StorageKeeper::RequestPass() {
    std::lock_guard lock(m_Mutex);
    for (const Message& queued : m_Queue) {
        if (queued.kind == Message::Kind::kPass) {
            return;  // one is waiting already
        }
    }
    m_Queue.push_back({Message::Kind::kPass, {}, {}, 0, nullptr});
    m_Wake.notify_all();
}

void StorageKeeper::OnDiskSpaceShort() {
    Post({Message::Kind::kShort, {}, {}, 0, nullptr});
}

void StorageKeeper::SetKept(const QString& key, bool keep) {
    const char* mark = keep ? "keep" : "unkeep";
    m_Marks.Set(mark, key.toStdString());  // seen at once; written on the storage thread
    Post({Message::Kind::kMark, {}, {}, 0, mark, {key.toStdString()}});
}

void StorageKeeper::SetReviewed(const std::vector<std::string>& keys) {
    for (const std::string& key : keys) {
        m_Marks.Set("reviewed", key);
    }
    Post({Message::Kind::kMark, {}, {}, 0, "reviewed", keys});
}

bool StorageKeeper::WaitIdle(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    std::unique_lock lock(m_Mutex);
    while (!m_Queue.empty() || m_bBusy) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        lock.lock();
    }
    return true;
}

EpisodeIndex::Folders StorageKeeper::CurrentFolders() const {
    SettingStore& settings = SettingStore::instance();
    return {QFile::encodeName(settings.alarmImagesPath()).toStdString(),
            QFile::encodeName(settings.alarmRecordsPath()).toStdString(),
            QFile::encodeName(settings.recordPath()).toStdString(),
            QFile::encodeName(settings.snapshotPath()).toStdString()};
}

void StorageKeeper::Run() {
    LowerThisThreadsPriority();
    std::unique_lock lock(m_Mutex);
    for (;;) {
        if (m_bStop) {
            // A Keep pressed just before closing still reaches the marks file; the rest is
            // found again by the next start's scan.
            const std::deque<Message> left = std::move(m_Queue);
            lock.unlock();
            for (const Message& message : left) {
                if (message.kind == Message::Kind::kMark) {
                    Handle(message);
                }
            }
            return;
        }
        if (m_Queue.empty()) {
            if (m_Observer && m_bObservedChanged) {
                const auto due = m_LastObserved + m_ObserveInterval;
                if (std::chrono::steady_clock::now() >= due) {
                    lock.unlock();
                    Notify();
                    lock.lock();
                } else {
                    m_Wake.wait_until(lock, due);
                }
                continue;
            }
            m_Wake.wait(lock);
            continue;
        }
        const Message message = std::move(m_Queue.front());
        m_Queue.pop_front();
        m_bBusy = true;
        lock.unlock();
        Handle(message);
        // Anything but the recording bookkeeping may change what an observer shows.
        m_bObservedChanged = m_bObservedChanged || (message.kind != Message::Kind::kBusy &&
                                                    message.kind != Message::Kind::kIdle);
        lock.lock();
        m_bBusy = false;
    }
}

void StorageKeeper::Observe(Observer observer) {
    Message message{Message::Kind::kObserve, {}, {}, 0, nullptr, {}, std::move(observer)};
    Post(std::move(message));
}

void StorageKeeper::Notify() {
    m_bObservedChanged = false;
    const auto start = std::chrono::steady_clock::now();
    {
        std::lock_guard lock(m_IndexMutex);
        m_Observer(m_Index, m_Marks);
    }
    m_LastObserved = std::chrono::steady_clock::now();
    // A large index (a year of a busy station takes about 0.1 s) is observed at most a tenth of
    // the time.
    m_ObserveInterval = std::max<std::chrono::steady_clock::duration>(
        kObserveInterval, (m_LastObserved - start) * 10);
}

void StorageKeeper::Handle(const Message& message) {
    switch (message.kind) {
        case Message::Kind::kObserve:
            m_Observer = message.observer;
            m_LastObserved = {};  // the first call comes at once
            break;
        case Message::Kind::kFile: {
            if (!m_bScanned) {
                return;  // the first pass's scan finds it
            }
            const StoredFile* added = nullptr;
            {
                std::lock_guard lock(m_IndexMutex);
                added = m_Index.AddFile(message.text);
            }
            const uint64_t floor =
                static_cast<uint64_t>(SettingStore::instance().freeSpaceFloorGiB()) * kGiB;
            if (added != nullptr && !m_OpenKey.empty() &&
                added->kind != StoredFile::Kind::kManualSnapshot &&
                added->nameSeconds >= m_nOpenFirst) {
                m_nOpenBytes += added->bytes;
                if (floor != 0 && m_nOpenBytes > floor && !m_bOpenWarned) {
                    m_bOpenWarned = true;
                    Report warning;
                    warning.floorBytes = floor;
                    warning.episodeOverFloor = m_nOpenBytes;
                    m_pReports->Post(warning);
                }
            }
            uint64_t free = 0;
            const int64_t now = Monotonic();
            if (floor != 0 && now - m_nLastLowCheckAt >= kLowCheckSeconds) {
                m_nLastLowCheckAt = now;
                if (DiskSpace::Current().FreeBytes(EpisodeIndex::FolderOf(message.text).c_str(),
                                                   &free) &&
                    free < floor + kGiB && now - m_nLastPassAt >= kLowPassSeconds) {
                    Pass();
                }
            }
            break;
        }
        case Message::Kind::kBusy:
            m_Busy.insert(message.text);
            break;
        case Message::Kind::kIdle:
            m_Busy.erase(message.text);
            break;
        case Message::Kind::kBegan: {
            m_OpenKey = message.text;
            m_nOpenFirst = message.seconds;
            m_nOpenBytes = 0;
            m_bOpenWarned = false;
            std::lock_guard lock(m_IndexMutex);
            m_Index.EpisodeBegan(m_OpenKey, m_nOpenFirst);
            break;
        }
        case Message::Kind::kLogged: {
            if (EpisodeIndex::KeyOf(message.episode.firstTime) == m_OpenKey) {
                m_OpenKey.clear();
            }
            std::lock_guard lock(m_IndexMutex);
            m_Index.EpisodeLogged(message.episode);
            break;
        }
        case Message::Kind::kPass:
            Pass();
            break;
        case Message::Kind::kShort:
            if (Monotonic() - m_nLastPassAt >= kLowPassSeconds) {
                Pass();
            }
            break;
        case Message::Kind::kMark:
            m_Marks.Append(QFile::decodeName(CurrentFolders()[EpisodeIndex::kAlarmImages].c_str()),
                           message.mark, message.keys);
            break;
    }
}

void StorageKeeper::Pass() {
    m_nLastPassAt = Monotonic();
    const EpisodeIndex::Folders folders = CurrentFolders();
    const int64_t now = Now();
    if (!m_bScanned || folders != m_Index.folders() || now - m_nScannedAt > kRescanSeconds ||
        now < m_nScannedAt) {
        EpisodeIndex fresh;
        if (!fresh.Scan(folders, m_bStop)) {
            return;  // closing
        }
        if (!m_OpenKey.empty()) {
            fresh.EpisodeBegan(m_OpenKey, m_nOpenFirst);
        }
        m_Marks.Load(QFile::decodeName(folders[EpisodeIndex::kAlarmImages].c_str()));
        std::lock_guard lock(m_IndexMutex);
        m_Index = std::move(fresh);
        m_bScanned = true;
        m_nScannedAt = now;
    }

    SettingStore& settings = SettingStore::instance();
    RetentionPlanner::Rules rules;
    rules.floorBytes = static_cast<uint64_t>(settings.freeSpaceFloorGiB()) * kGiB;
    rules.alarmKeepDays = settings.alarmKeepDays();
    rules.recordKeepDays = settings.recordKeepDays();
    const auto freeSpace = [&folders, this] {
        std::map<uint64_t, uint64_t> free;
        for (int f = 0; f < EpisodeIndex::kFolderCount; ++f) {
            uint64_t bytes = 0;
            const uint64_t device = m_Index.Device(static_cast<EpisodeIndex::Folder>(f));
            if (device != 0 && DiskSpace::Current().FreeBytes(folders[f].c_str(), &bytes)) {
                free[device] = bytes;
            }
        }
        return free;
    };
    const auto least = [](const std::map<uint64_t, uint64_t>& free) {
        uint64_t least = UINT64_MAX;
        for (const auto& [device, bytes] : free) {
            least = std::min(least, bytes);
        }
        return least == UINT64_MAX ? 0 : least;
    };

    Report report;
    report.floorBytes = rules.floorBytes;
    report.alarmKeepDays = rules.alarmKeepDays;
    report.recordKeepDays = rules.recordKeepDays;
    RetentionPlanner::Plan plan;
    std::vector<std::string> keys;
    std::vector<std::vector<uint32_t>> episodeFiles;
    {
        std::lock_guard lock(m_IndexMutex);
        const std::map<uint64_t, uint64_t> free = freeSpace();
        report.freeBefore = least(free);
        plan = RetentionPlanner::Make(m_Index, m_Marks, rules, free, now);
        // Which of the planned files go with which episode.
        std::vector<bool> planned(m_Index.Files().size(), false);
        for (const uint32_t file : plan.files) {
            planned[file] = true;
        }
        int64_t oldest = INT64_MAX;
        int64_t newest = INT64_MIN;
        for (const size_t e : plan.episodes) {
            const EpisodeIndex::Episode& episode = m_Index.Episodes()[e];
            keys.push_back(episode.key);
            episodeFiles.emplace_back();
            for (const uint32_t file : episode.files) {
                if (planned[file]) {
                    episodeFiles.back().push_back(file);
                    planned[file] = false;
                }
            }
            if (episode.endedAt < oldest) {
                oldest = episode.endedAt;
                report.oldest = QString::fromStdString(episode.key);
            }
            if (episode.endedAt >= newest) {
                newest = episode.endedAt;
                report.newest = QString::fromStdString(episode.key);
            }
        }
    }
    // The "removed" marks go out in batches: one sync per episode would cost a purge of
    // thousands of episodes minutes of disk time.
    const QString imagesFolder = QFile::decodeName(folders[EpisodeIndex::kAlarmImages].c_str());
    std::vector<std::string> removedKeys;
    const auto mark = [&] {
        m_Marks.Append(imagesFolder, "removed", removedKeys);
        removedKeys.clear();
    };
    for (size_t e = 0; e < keys.size(); ++e) {
        bool whole = true;
        for (const uint32_t file : episodeFiles[e]) {
            if (m_bStop) {
                mark();
                return;  // the next start takes up the rest
            }
            uint64_t bytes = 0;
            const Removal removal = Remove(file, &bytes);
            report.episodeBytes += bytes;
            report.failedFiles += removal == Removal::kFailed ? 1 : 0;
            whole = whole && removal == Removal::kRemoved;
        }
        // Marked only once nothing of it is left; a part that stays is tried again by no one,
        // but the episode is still there to be seen and kept.
        if (whole) {
            removedKeys.push_back(keys[e]);
            ++report.episodes;
            report.floorEpisodes += plan.reasons[e] == RetentionPlanner::Reason::kFloor ? 1 : 0;
        }
        if (removedKeys.size() >= kMarksBatch) {
            mark();
        }
    }
    mark();
    for (const uint32_t file : plan.manualFiles) {
        if (m_bStop) {
            return;
        }
        uint64_t bytes = 0;
        const Removal removal = Remove(file, &bytes);
        report.manualBytes += bytes;
        report.manualFiles += removal == Removal::kRemoved ? 1 : 0;
        report.failedFiles += removal == Removal::kFailed ? 1 : 0;
    }
    {
        std::lock_guard lock(m_IndexMutex);
        const std::map<uint64_t, uint64_t> free = freeSpace();
        report.freeAfter = least(free);
        for (const uint64_t device : plan.shortDevices) {
            const auto found = free.find(device);
            report.floorUnmet =
                report.floorUnmet || (found != free.end() && found->second < rules.floorBytes);
        }
    }
    // The floor that cannot be kept is said at most once an hour, wherever it is said.
    if (report.floorUnmet) {
        const int64_t now = Monotonic();
        if (m_nLastUnmetAt != 0 && now - m_nLastUnmetAt < kNoticeIntervalSeconds) {
            report.floorUnmet = false;
        } else {
            m_nLastUnmetAt = now;
        }
    }
    if (report.episodes == 0 && report.manualFiles == 0 && !report.floorUnmet &&
        report.failedFiles == 0) {
        return;
    }
    WriteStorageLog(
        QString("removed %1 alarm episodes (%2 GiB; oldest %3, newest %4) and %5 "
                "recordings and snapshots of the user's (%6 GiB); free %7 GiB -> %8 GiB, "
                "floor %9 GiB%10")
            .arg(report.episodes)
            .arg(Gigabytes(report.episodeBytes))
            .arg(report.oldest.isEmpty() ? QStringLiteral("-") : report.oldest)
            .arg(report.newest.isEmpty() ? QStringLiteral("-") : report.newest)
            .arg(report.manualFiles)
            .arg(Gigabytes(report.manualBytes))
            .arg(Gigabytes(report.freeBefore))
            .arg(Gigabytes(report.freeAfter))
            .arg(Gigabytes(report.floorBytes))
            .arg(report.floorUnmet ? QStringLiteral("; below the floor with only kept, "
                                                    "recent and the user's files left")
                                   : QString()));
    m_pReports->Post(report);
}

StorageKeeper::Removal StorageKeeper::Remove(uint32_t file, uint64_t* bytes) {
    StoredFile stored;
    std::string folder;
    uint64_t device = 0;
    {
        std::lock_guard lock(m_IndexMutex);
        stored = m_Index.Files()[file];
        folder = m_Index.folders()[stored.folder];
        device = m_Index.Device(static_cast<EpisodeIndex::Folder>(stored.folder));
    }
    const std::string name = stored.Name();
    if (m_Busy.count(folder + "/" + name) != 0 ||
        m_Unremovable.count({device, stored.inode}) != 0) {
        return Removal::kSkipped;
    }
    const int directory = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat status {};
    int error = directory < 0 ? errno : 0;
    if (error == 0 && ::fstatat(directory, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
        error = errno;
    } else if (error == 0 && (!S_ISREG(status.st_mode) || status.st_ino != stored.inode)) {
        error = EEXIST;  // another file has the name now: not the one that was indexed
    } else if (error == 0) {
        error = FileRemover::Current().Remove(directory, name.c_str());
    }
    if (directory >= 0) {
        ::close(directory);
    }
    if (error == 0 || error == ENOENT) {
        std::lock_guard lock(m_IndexMutex);
        m_Index.FileGone(file);
        *bytes = error == 0 ? stored.bytes : 0;
        return Removal::kRemoved;
    }
    m_Unremovable.insert({device, stored.inode});
    qWarning("Storage: cannot remove %s/%s (%s); it stays, and is not tried again", folder.c_str(),
             name.c_str(),
             error == EEXIST ? "another file has its name now" : std::strerror(error));
    return Removal::kFailed;
}

void StorageKeeper::WriteStorageLog(const QString& line) {
    const QDateTime now = QDateTime::currentDateTime();
    const QString path = m_LogFolder + "/storage-" + now.toString("yyyyMMdd") + ".log";
    const QByteArray text =
        (now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate) + " " + line + "\n")
            .toUtf8();
    const int fd =
        ::open(QFile::encodeName(path).constData(),
               O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd >= 0) {
        (void)::write(fd, text.constData(), static_cast<size_t>(text.size()));
        ::close(fd);
    }
    qWarning("Storage: %s", qUtf8Printable(line));
}

void StorageKeeper::TakeReports() {
    for (const Report& report : m_pReports->Take()) {
        Tell(report);
    }
}

void StorageKeeper::Tell(const Report& report) {
    const int64_t now = Monotonic();
    const auto due = [now](int64_t* last) {
        if (*last != 0 && now - *last < kNoticeIntervalSeconds) {
            return false;
        }
        *last = now;
        return true;
    };
    bool shown = false;
    // One toast for what the pass removed: the floor's, else the age limits'.
    if ((report.episodes > 0 || report.manualFiles > 0) && due(&m_nLastRemovedToast)) {
        if (report.floorEpisodes > 0) {
            ShowSuccessNotify(tr("Removed %1 old alarm episodes (%2 GB) to keep %3 GB free")
                                  .arg(report.episodes)
                                  .arg(Gigabytes(report.episodeBytes))
                                  .arg(report.floorBytes / kGiB));
        } else if (report.episodes > 0) {
            ShowSuccessNotify(tr("Removed %1 alarm episodes older than %2 days")
                                  .arg(report.episodes)
                                  .arg(report.alarmKeepDays));
        } else {
            ShowSuccessNotify(tr("Removed %1 recordings and snapshots older than %2 days")
                                  .arg(report.manualFiles)
                                  .arg(report.recordKeepDays));
        }
        shown = true;
    }
    // Toasts stack in one place: a second one waits until the first has faded.
    const auto warn = [this, shown](const QString& text) {
        QTimer::singleShot(shown ? kToastGapMs : 0, this, [text] { ShowNotify(text, true); });
    };
    if (report.floorUnmet && due(&m_nLastFloorWarning)) {
        warn(tr("Under %1 GB free; only kept or recent alarms are left")
                 .arg(report.floorBytes / kGiB));
    }
    if (report.episodeOverFloor != 0) {
        qWarning(
            "Storage: the alarm episode in progress has written %s GiB, more than the "
            "free-space floor of %s GiB",
            qUtf8Printable(Gigabytes(report.episodeOverFloor)),
            qUtf8Printable(Gigabytes(report.floorBytes)));
        warn(tr("One alarm episode wrote %1 GB, more than the floor")
                 .arg(Gigabytes(report.episodeOverFloor)));
    }
    emit passReported(report);
}
