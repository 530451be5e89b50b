#include "storage/EpisodeIndex.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <cstring>

#include "alarm/AlarmLog.h"

namespace {

// The folder's identity, so that two settings naming one folder read it once.
bool FolderId(const std::string& path, dev_t* device, ino_t* inode) {
    struct stat status {};
    if (path.empty() || ::stat(path.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
        return false;
    }
    *device = status.st_dev;
    *inode = status.st_ino;
    return true;
}

// "AlarmLog_YYYYMMDD.csv".
bool IsLogName(const char* name) {
    int64_t day = 0;
    return std::strncmp(name, "AlarmLog_", 9) == 0 && std::strlen(name) == 21 &&
           std::strcmp(name + 17, ".csv") == 0 &&
           StoredFile::NameTimeSeconds((std::string(name + 9, 8) + "_000000").c_str(), &day);
}

}  // namespace

std::string EpisodeIndex::FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string EpisodeIndex::KeyOf(const QDateTime& firstTime) {
    return AlarmLog::ComputerTime(firstTime).toStdString();
}

bool EpisodeIndex::Scan(const Folders& folders, const std::atomic<bool>& stop) {
    m_Folders = folders;
    m_Files.clear();
    m_Recordings.clear();
    m_Logged.clear();
    m_Devices.fill(0);
    // Each distinct folder once, with every role the settings give it.
    std::array<std::pair<dev_t, ino_t>, kFolderCount> ids{};
    std::array<bool, kFolderCount> readable{};
    for (int f = 0; f < kFolderCount; ++f) {
        readable[f] = FolderId(folders[f], &ids[f].first, &ids[f].second);
        m_Devices[f] = readable[f] ? static_cast<uint64_t>(ids[f].first) : 0;
    }
    m_bRecordsShared =
        readable[kAlarmRecords] && readable[kRecords] && ids[kAlarmRecords] == ids[kRecords];
    for (int f = 0; f < kFolderCount; ++f) {
        if (!readable[f]) {
            continue;
        }
        bool seen = false;
        for (int before = 0; before < f; ++before) {
            seen = seen || (readable[before] && ids[before] == ids[f]);
        }
        if (seen) {
            continue;
        }
        std::vector<Folder> roles;
        for (int g = f; g < kFolderCount; ++g) {
            if (readable[g] && ids[g] == ids[f]) {
                roles.push_back(static_cast<Folder>(g));
            }
        }
        ScanFolder(folders[f], roles, stop);
    }
    m_Files.shrink_to_fit();
    m_bOrderStale = true;  // a million files: no half-empty doubled vector kept
    m_bDirty = true;
    return !stop.load(std::memory_order_relaxed);
}

void EpisodeIndex::ScanFolder(const std::string& path, const std::vector<Folder>& roles,
                              const std::atomic<bool>& stop) {
    const auto has = [&roles](Folder role) {
        return std::find(roles.begin(), roles.end(), role) != roles.end();
    };
    const int directory = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0) {
        return;
    }
    DIR* listing = ::fdopendir(::dup(directory));
    if (listing == nullptr) {
        ::close(directory);
        return;
    }
    std::vector<std::string> logs;  // read after the listing: one pass over a million names
    // A recording found here is filed under the alarm records folder when this is it.
    const Folder recordings = has(kAlarmRecords) ? kAlarmRecords : kRecords;
    while (const dirent* entry = ::readdir(listing)) {
        if (stop.load(std::memory_order_relaxed)) {
            break;
        }
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN) {
            continue;  // never a link, a folder, a device
        }
        const char* name = entry->d_name;
        StoredFile file;
        if (has(kAlarmImages) && IsLogName(name)) {
            logs.emplace_back(name);
            continue;
        }
        if (has(kAlarmImages) && StoredFile::Parse(name, StoredFile::Kind::kAlarmSnapshot, &file)) {
            file.folder = kAlarmImages;
        } else if (has(kSnapshots) &&
                   StoredFile::Parse(name, StoredFile::Kind::kManualSnapshot, &file)) {
            file.folder = kSnapshots;
        } else if ((has(kAlarmRecords) || has(kRecords)) &&
                   StoredFile::Parse(name, StoredFile::Kind::kRecording, &file)) {
            file.folder = recordings;
        } else {
            continue;
        }
        struct stat status {};
        if (::fstatat(directory, name, &status, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(status.st_mode)) {
            continue;
        }
        file.bytes = static_cast<uint64_t>(status.st_size);
        file.modifiedSeconds = status.st_mtim.tv_sec;
        file.inode = status.st_ino;
        if (file.kind == StoredFile::Kind::kRecording) {
            m_Recordings.push_back(static_cast<uint32_t>(m_Files.size()));
        }
        m_Files.push_back(file);
    }
    ::closedir(listing);
    ReadLogs(directory, logs);
    ::close(directory);
}

void EpisodeIndex::ReadLogs(int directory, const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        const int fd =
            ::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        QFile file;
        if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
            const QList<QByteArray> lines = file.readAll().split('\n');
            for (const QByteArray& line : lines) {
                AlarmEpisode episode;
                if (AlarmLog::ParseLine(line, &episode)) {
                    m_Logged.push_back(episode);
                }
            }
        } else {
            ::close(fd);
        }
    }
}

const StoredFile* EpisodeIndex::AddFile(const std::string& path) {
    const std::string folder = FolderOf(path);
    const std::string name = path.substr(folder.size() + (path.size() > folder.size() ? 1 : 0));
    StoredFile file;
    if (folder == m_Folders[kAlarmImages] &&
        StoredFile::Parse(name.c_str(), StoredFile::Kind::kAlarmSnapshot, &file)) {
        file.folder = kAlarmImages;
    } else if (folder == m_Folders[kSnapshots] &&
               StoredFile::Parse(name.c_str(), StoredFile::Kind::kManualSnapshot, &file)) {
        file.folder = kSnapshots;
    } else if ((folder == m_Folders[kAlarmRecords] || folder == m_Folders[kRecords]) &&
               StoredFile::Parse(name.c_str(), StoredFile::Kind::kRecording, &file)) {
        file.folder = folder == m_Folders[kAlarmRecords] ? kAlarmRecords : kRecords;
    } else {
        return nullptr;
    }
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return nullptr;
    }
    file.bytes = static_cast<uint64_t>(status.st_size);
    file.modifiedSeconds = status.st_mtim.tv_sec;
    file.inode = status.st_ino;
    if (file.kind == StoredFile::Kind::kRecording) {
        // A recording is told of when it starts and again when it is finished: its size then.
        for (const uint32_t known : m_Recordings) {
            StoredFile& recording = m_Files[known];
            if (!recording.removed && recording.inode == file.inode &&
                recording.folder == file.folder && recording.Name() == name) {
                const uint64_t grown = file.bytes - std::min(file.bytes, recording.bytes);
                recording.bytes = file.bytes;
                recording.modifiedSeconds = file.modifiedSeconds;
                m_bDirty = true;
                file.bytes = grown;
                m_Added = file;
                return &m_Added;
            }
        }
        m_Recordings.push_back(static_cast<uint32_t>(m_Files.size()));
    }
    const auto added = static_cast<uint32_t>(m_Files.size());
    m_Files.push_back(file);
    if (!m_bOrderStale && IsAlarmFile(file)) {
        m_bOrderStale = !m_AlarmByName.empty() && NameBefore(added, m_AlarmByName.back());
        m_AlarmByName.push_back(added);
    }
    m_bDirty = true;
    m_Added = file;
    return &m_Added;
}

void EpisodeIndex::FileGone(uint32_t file) {
    m_Files[file].removed = true;
    m_bDirty = true;
}

void EpisodeIndex::EpisodeBegan(const std::string& key, int64_t firstNameSeconds) {
    m_OpenKey = key;
    m_nOpenFirst = firstNameSeconds;
    m_bDirty = true;
}

void EpisodeIndex::EpisodeLogged(const AlarmEpisode& episode) {
    if (KeyOf(episode.firstTime) == m_OpenKey) {
        m_OpenKey.clear();
    }
    m_Logged.push_back(episode);
    m_bDirty = true;
}

bool EpisodeIndex::NameBefore(uint32_t a, uint32_t b) const {
    const StoredFile& x = m_Files[a];
    const StoredFile& y = m_Files[b];
    return x.nameSeconds != y.nameSeconds ? x.nameSeconds < y.nameSeconds
           : x.counter != y.counter       ? x.counter < y.counter
                                          : a < b;
}

bool EpisodeIndex::IsAlarmFile(const StoredFile& file) const {
    return file.kind == StoredFile::Kind::kAlarmSnapshot ||
           (file.kind == StoredFile::Kind::kRecording && file.folder == kAlarmRecords);
}

std::string EpisodeIndex::Path(uint32_t file) const {
    return m_Folders[m_Files[file].folder] + "/" + m_Files[file].Name();
}

const std::vector<EpisodeIndex::Episode>& EpisodeIndex::Episodes() {
    if (m_bDirty) {
        Regroup();
    }
    return m_Episodes;
}

uint16_t EpisodeIndex::Claims(uint32_t file) {
    if (m_bDirty) {
        Regroup();
    }
    return file < m_Claims.size() ? m_Claims[file] : 0;
}

std::vector<uint32_t> EpisodeIndex::ManualFiles() {
    if (m_bDirty) {
        Regroup();
    }
    std::vector<uint32_t> manual;
    for (uint32_t i = 0; i < m_Files.size(); ++i) {
        const StoredFile& file = m_Files[i];
        const bool alarm = IsAlarmFile(file) && (m_Claims[i] != 0 || !m_bRecordsShared ||
                                                 file.kind == StoredFile::Kind::kAlarmSnapshot);
        if (!file.removed && !alarm) {
            manual.push_back(i);
        }
    }
    return manual;
}

void EpisodeIndex::ClaimRange(Episode* episode, int64_t first, int64_t last,
                              std::vector<uint16_t>* claims) {
    auto at = std::lower_bound(
        m_AlarmByName.begin(), m_AlarmByName.end(), first,
        [this](uint32_t file, int64_t seconds) { return m_Files[file].nameSeconds < seconds; });
    for (; at != m_AlarmByName.end() && m_Files[*at].nameSeconds <= last; ++at) {
        if (!m_Files[*at].removed) {
            episode->files.push_back(*at);
            ++(*claims)[*at];
        }
    }
}

void EpisodeIndex::ClaimName(Episode* episode, const QString& name, std::vector<uint16_t>* claims) {
    const std::string wanted = name.toStdString();
    StoredFile parsed;
    if (!StoredFile::Parse(wanted.c_str(), StoredFile::Kind::kAlarmSnapshot, &parsed) &&
        !StoredFile::Parse(wanted.c_str(), StoredFile::Kind::kRecording, &parsed)) {
        return;
    }
    auto at = std::lower_bound(
        m_AlarmByName.begin(), m_AlarmByName.end(), parsed.nameSeconds,
        [this](uint32_t file, int64_t seconds) { return m_Files[file].nameSeconds < seconds; });
    for (; at != m_AlarmByName.end() && m_Files[*at].nameSeconds == parsed.nameSeconds; ++at) {
        const StoredFile& file = m_Files[*at];
        if (!file.removed && file.kind == parsed.kind && file.counter == parsed.counter &&
            file.taken == parsed.taken && file.extension == parsed.extension &&
            file.nameDate == parsed.nameDate && file.nameTime == parsed.nameTime &&
            std::find(episode->files.begin(), episode->files.end(), *at) == episode->files.end()) {
            episode->files.push_back(*at);
            ++(*claims)[*at];
        }
    }
}

void EpisodeIndex::Regroup() {
    m_bDirty = false;
    m_Episodes.clear();
    if (m_bOrderStale) {
        // Sorted once after a scan; files added since in name order only join the end.
        m_bOrderStale = false;
        m_AlarmByName.clear();
        for (uint32_t i = 0; i < m_Files.size(); ++i) {
            if (!m_Files[i].removed && IsAlarmFile(m_Files[i])) {
                m_AlarmByName.push_back(i);
            }
        }
        std::sort(m_AlarmByName.begin(), m_AlarmByName.end(),
                  [this](uint32_t a, uint32_t b) { return NameBefore(a, b); });
    }
    m_Claims.assign(m_Files.size(), 0);

    for (const AlarmEpisode& line : m_Logged) {
        Episode episode;
        episode.logged = true;
        episode.line = line;
        episode.key = KeyOf(line.firstTime);
        episode.endedAt = line.lastTime.toSecsSinceEpoch();
        const QByteArray first = line.firstCameraTime.toLatin1();
        const QByteArray last = line.lastCameraTime.toLatin1();
        if (StoredFile::DisplayTimeSeconds(first.constData(), &episode.firstNameSeconds) &&
            StoredFile::DisplayTimeSeconds(last.constData(), &episode.lastNameSeconds)) {
            ClaimRange(&episode, episode.firstNameSeconds, episode.lastNameSeconds, &m_Claims);
        }
        for (const QString* name : {&line.firstSnapshot, &line.lastSnapshot, &line.recording}) {
            ClaimName(&episode, *name, &m_Claims);
        }
        m_Episodes.push_back(std::move(episode));
    }
    if (!m_OpenKey.empty()) {
        Episode open;
        open.key = m_OpenKey;
        open.open = true;
        open.endedAt = kOpen;
        open.firstNameSeconds = open.lastNameSeconds = m_nOpenFirst;
        for (const uint32_t file : m_AlarmByName) {
            if (!m_Files[file].removed && m_Claims[file] == 0 &&
                m_Files[file].nameSeconds >= m_nOpenFirst) {
                open.files.push_back(file);
                ++m_Claims[file];
            }
        }
        m_Episodes.push_back(std::move(open));
    }
    // What no episode claims: grouped by the times in the names, with the alarm hold.
    Episode* group = nullptr;
    for (const uint32_t file : m_AlarmByName) {
        const StoredFile& stored = m_Files[file];
        if (stored.removed || m_Claims[file] != 0 ||
            (stored.kind == StoredFile::Kind::kRecording && m_bRecordsShared)) {
            continue;
        }
        if (group == nullptr || stored.nameSeconds - group->lastNameSeconds > kHoldSeconds) {
            m_Episodes.emplace_back();
            group = &m_Episodes.back();
            group->key = stored.Name();
            group->firstNameSeconds = stored.nameSeconds;
        }
        group->lastNameSeconds = stored.nameSeconds;
        group->files.push_back(file);
        ++m_Claims[file];
    }
    for (Episode& episode : m_Episodes) {
        for (const uint32_t file : episode.files) {
            episode.bytes += m_Files[file].bytes;
            if (!episode.logged && !episode.open) {
                episode.endedAt = std::max(episode.endedAt, m_Files[file].modifiedSeconds);
            }
        }
        std::sort(episode.files.begin(), episode.files.end());
    }
    std::stable_sort(m_Episodes.begin(), m_Episodes.end(), [](const Episode& a, const Episode& b) {
        return a.firstNameSeconds < b.firstNameSeconds;
    });
}
