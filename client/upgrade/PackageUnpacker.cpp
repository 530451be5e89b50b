#include "upgrade/PackageUnpacker.h"

#include <fcntl.h>
#include <minizip/unzip.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace {

// The product writes files in blocks of this size.
constexpr size_t kWriteBlock = 16384;
constexpr size_t kReadBlock = 65536;

constexpr int kHostUnix = 3;
constexpr int kHostMacOs = 19;

struct Entry {
    std::string stored;              // the name as stored, for messages
    std::vector<std::string> parts;  // the relative path, one folder or file name each
    bool folder = false;
    bool skip = false;  // names the target folder itself: nothing to do
    uint64_t size = 0;
    uint32_t crc = 0;
    int method = 0;
    mode_t mode = 0644;
    timespec mtime{};
};

// The name in quotes, short enough and free of control bytes to keep a reason on one line.
std::string Quoted(const std::string& name) {
    constexpr size_t kShown = 80;
    std::string out = "\"";
    for (size_t i = 0; i < name.size() && i < kShown; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (name.size() > kShown) {
        out += "...";
    }
    return out + "\"";
}

bool IsSeparator(char c) {
    return c == '/' || c == '\\';
}

// The product's clean-up: drop a drive prefix, leading separators, and everything up to and
// including the last parent-folder step. What remains may still escape; Split() judges that.
std::string CleanName(const std::string& stored) {
    std::string name = stored;
    if (name.size() >= 2 && name[1] == ':') {
        name.erase(0, 2);
    }
    size_t lead = 0;
    while (lead < name.size() && IsSeparator(name[lead])) {
        ++lead;
    }
    name.erase(0, lead);
    size_t cut = 0;
    for (size_t i = 0; i + 4 <= name.size(); ++i) {
        if (IsSeparator(name[i]) && name[i + 1] == '.' && name[i + 2] == '.' &&
            IsSeparator(name[i + 3])) {
            cut = i + 4;
        }
    }
    return name.substr(cut);
}

// Resolves `name` lexically with both "/" and "\" as separators (archives made on Windows use
// "\"). False when it is absolute or a ".." step remains, i.e. it could leave the folder.
bool Split(const std::string& name, std::vector<std::string>* parts) {
    if (!name.empty() && IsSeparator(name[0])) {
        return false;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !IsSeparator(name[end])) {
            ++end;
        }
        const std::string part = name.substr(start, end - start);
        if (part == "..") {
            return false;
        }
        if (!part.empty() && part != ".") {
            parts->push_back(part);
        }
        start = end + 1;
    }
    return true;
}

std::string Joined(const std::vector<std::string>& parts, size_t count) {
    std::string path;
    for (size_t i = 0; i < count; ++i) {
        path += (i ? "/" : "") + parts[i];
    }
    return path;
}

// Permission bits only: a stored type (a symbolic link, a device) and setuid/setgid/sticky
// never reach the disk, nor group or world write.
mode_t FileMode(const unz_file_info64& info) {
    const int host = static_cast<int>(info.version >> 8);
    if (host != kHostUnix && host != kHostMacOs) {
        return 0644;
    }
    const mode_t mode = static_cast<mode_t>(info.external_fa >> 16) & 0755;
    return mode != 0 ? mode : 0644;
}

// Zip times are local times with a resolution of two seconds.
timespec ModificationTime(const tm_unz& date) {
    std::tm t{};
    t.tm_sec = static_cast<int>(date.tm_sec);
    t.tm_min = static_cast<int>(date.tm_min);
    t.tm_hour = static_cast<int>(date.tm_hour);
    t.tm_mday = static_cast<int>(date.tm_mday);
    t.tm_mon = static_cast<int>(date.tm_mon);
    t.tm_year = static_cast<int>(date.tm_year) - 1900;
    t.tm_isdst = -1;
    return timespec{std::mktime(&t), 0};
}

bool Fail(std::string* error, std::string reason) {
    *error = std::move(reason);
    return false;
}

bool ReadEntry(unzFile zip, const PackageUnpacker::Limits& limits, Entry* entry,
               std::string* error) {
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK) {
        return Fail(error, "cannot read the zip archive's directory");
    }
    std::vector<char> name(info.size_filename + 1);
    if (unzGetCurrentFileInfo64(zip, &info, name.data(), name.size(), nullptr, 0, nullptr, 0) !=
        UNZ_OK) {
        return Fail(error, "cannot read the zip archive's directory");
    }
    entry->stored.assign(name.data(), info.size_filename);
    const std::string& stored = entry->stored;
    // A NUL would cut the name short at open() after the checks saw all of it.
    if (stored.find('\0') != std::string::npos) {
        return Fail(error, "entry " + Quoted(stored) + " has a NUL byte in its name");
    }
    const std::string clean = CleanName(stored);
    if (clean.size() > limits.maxNameLength) {
        return Fail(error, "entry " + Quoted(stored) + " has a name longer than " +
                               std::to_string(limits.maxNameLength) + " characters");
    }
    if (!Split(clean, &entry->parts)) {
        return Fail(error, "entry " + Quoted(stored) + " would land outside the folder");
    }
    entry->folder = !stored.empty() && IsSeparator(stored.back());
    if (entry->parts.empty()) {
        if (!entry->folder) {
            return Fail(error, "entry " + Quoted(stored) + " has no file name");
        }
        entry->skip = true;
    }
    if (info.flag & 1) {
        return Fail(error, "entry " + Quoted(stored) + " is encrypted");
    }
    entry->size = info.uncompressed_size;
    entry->crc = static_cast<uint32_t>(info.crc);
    entry->method = static_cast<int>(info.compression_method);
    if (!entry->folder && entry->size > 0 && entry->method != 0 && entry->method != Z_DEFLATED) {
        return Fail(error, "entry " + Quoted(stored) + " uses unsupported compression method " +
                               std::to_string(entry->method));
    }
    entry->mode = FileMode(info);
    entry->mtime = ModificationTime(info.tmu_date);
    return true;
}

bool ReadDirectory(unzFile zip, const PackageUnpacker::Limits& limits, std::vector<Entry>* entries,
                   std::string* error) {
    const std::string tooMany =
        "archive holds more than " + std::to_string(limits.maxEntries) + " entries";
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(zip, &global) != UNZ_OK) {
        return Fail(error, "cannot read the zip archive's directory");
    }
    if (global.number_entry > static_cast<uint64_t>(std::max(limits.maxEntries, 0))) {
        return Fail(error, tooMany);
    }
    if (global.number_entry == 0) {
        return true;
    }
    uint64_t total = 0;
    int rc = unzGoToFirstFile(zip);
    for (; rc == UNZ_OK; rc = unzGoToNextFile(zip)) {
        if (entries->size() >= static_cast<size_t>(limits.maxEntries)) {
            return Fail(error, tooMany);
        }
        Entry entry;
        if (!ReadEntry(zip, limits, &entry, error)) {
            return false;
        }
        // Declared sizes bound the data: an entry that outgrows its own is stopped.
        if (!entry.folder && entry.size > limits.maxTotalBytes - total) {
            return Fail(error, "archive unpacks to more than " +
                                   std::to_string(limits.maxTotalBytes) + " bytes");
        }
        total += entry.folder ? 0 : entry.size;
        entries->push_back(std::move(entry));
    }
    if (rc != UNZ_END_OF_LIST_OF_FILE) {
        return Fail(error, "cannot read the zip archive's directory");
    }
    return true;
}

// Refuses a package whose entries, or whose entries and what is already in `folder`, disagree
// about what a path is, and any path that already is a symbolic link.
bool CheckLayout(const std::string& folder, const std::vector<Entry>& entries, std::string* error) {
    std::map<std::string, const Entry*> folders;
    std::map<std::string, const Entry*> files;
    for (const Entry& entry : entries) {
        if (entry.skip) {
            continue;
        }
        const size_t own = entry.folder ? entry.parts.size() : entry.parts.size() - 1;
        for (size_t n = 1; n <= own; ++n) {
            folders.emplace(Joined(entry.parts, n), &entry);
        }
        if (!entry.folder) {
            files.emplace(Joined(entry.parts, entry.parts.size()), &entry);
        }
    }
    for (const auto& [path, entry] : files) {
        if (folders.count(path)) {
            return Fail(error, "entry " + Quoted(entry->stored) + " is both a file and a folder");
        }
    }
    const auto onDisk = [&](const std::string& path, const Entry& entry, bool wantFolder) {
        struct stat st {};
        if (lstat((folder + path).c_str(), &st) != 0) {
            return errno == ENOENT ||
                   Fail(error, "cannot check " + Quoted(path) + ": " + std::strerror(errno));
        }
        if (S_ISLNK(st.st_mode)) {
            return Fail(error, "entry " + Quoted(entry.stored) +
                                   " would go through the symbolic link " + Quoted(path));
        }
        if (wantFolder != S_ISDIR(st.st_mode)) {
            return Fail(error, "entry " + Quoted(entry.stored) + " needs " + Quoted(path) +
                                   " to be a " + (wantFolder ? "folder" : "file"));
        }
        return true;
    };
    for (const auto& [path, entry] : folders) {
        if (!onDisk(path, *entry, true)) {
            return false;
        }
    }
    for (const auto& [path, entry] : files) {
        if (!onDisk(path, *entry, false)) {
            return false;
        }
    }
    return true;
}

// Opens (creating it when missing) the folder made of the first `count` parts below `root`,
// never following a symbolic link. -1 with the reason in *error on failure.
int OpenFolder(int root, const Entry& entry, size_t count, std::string* error) {
    int fd = dup(root);
    for (size_t i = 0; i < count && fd >= 0; ++i) {
        const char* part = entry.parts[i].c_str();
        constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
        int next = openat(fd, part, kFlags);
        if (next < 0 && errno == ENOENT && (mkdirat(fd, part, 0755) == 0 || errno == EEXIST)) {
            next = openat(fd, part, kFlags);
        }
        const int saved = errno;
        close(fd);
        fd = next;
        errno = saved;
    }
    if (fd < 0) {
        Fail(error, "cannot create the folder for entry " + Quoted(entry.stored) + ": " +
                        std::strerror(errno));
    }
    return fd;
}

// Creates an unused ".<name>.part-XXXXXX" in `dir`; the name is shortened to keep within
// NAME_MAX.
int CreateTemporary(int dir, const std::string& name, std::string* tempName) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix(6, 'x');
        for (char& c : suffix) {
            c = kDigits[random() % (sizeof kDigits - 1)];
        }
        *tempName = "." + name.substr(0, 200) + ".part-" + suffix;
        const int fd = openat(dir, tempName->c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    return -1;
}

bool WriteAll(int fd, const unsigned char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Streams the current entry's data into `fd`, inflating it here rather than in minizip so
// that the bytes really produced are counted and checked against the declared size and CRC.
bool CopyData(unzFile zip, const Entry& entry, int fd, uint64_t* budget, std::string* error) {
    const std::string name = Quoted(entry.stored);
    int method = 0;
    int level = 0;
    if (unzOpenCurrentFile2(zip, &method, &level, 1) != UNZ_OK) {
        return Fail(error, "cannot open entry " + name);
    }
    z_stream stream{};
    if (method == Z_DEFLATED && inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
        unzCloseCurrentFile(zip);
        return Fail(error, "cannot start inflating entry " + name);
    }
    std::vector<unsigned char> in(kReadBlock);
    std::vector<unsigned char> out(kWriteBlock);
    size_t filled = 0;
    uint64_t produced = 0;
    uLong crc = crc32(0, nullptr, 0);
    bool ended = method != Z_DEFLATED;
    bool ok = true;
    // Takes `n` new bytes at out[filled]; writes whenever a block is full.
    const auto take = [&](size_t n) {
        if (n > entry.size - produced || n > *budget) {
            return Fail(error, "entry " + name + " is larger than it claims");
        }
        crc = crc32(crc, out.data() + filled, static_cast<uInt>(n));
        produced += n;
        *budget -= n;
        filled += n;
        if (filled == kWriteBlock) {
            filled = 0;
            if (!WriteAll(fd, out.data(), kWriteBlock)) {
                return Fail(error, "cannot write entry " + name + ": " + std::strerror(errno));
            }
        }
        return true;
    };
    while (ok) {
        const int got = unzReadCurrentFile(zip, in.data(), static_cast<unsigned>(in.size()));
        if (got < 0) {
            ok = Fail(error, "cannot read entry " + name);
            break;
        }
        if (got == 0) {
            break;
        }
        if (method != Z_DEFLATED) {
            for (size_t at = 0; ok && at < static_cast<size_t>(got);) {
                const size_t n = std::min(kWriteBlock - filled, static_cast<size_t>(got) - at);
                std::memcpy(out.data() + filled, in.data() + at, n);
                ok = take(n);
                at += n;
            }
            continue;
        }
        stream.next_in = in.data();
        stream.avail_in = static_cast<uInt>(got);
        // A full output block may leave output inside zlib even when all input is taken: go on
        // until the stream ends or zlib can make no progress without more input.
        bool more = true;
        while (ok && !ended && more) {
            stream.next_out = out.data() + filled;
            stream.avail_out = static_cast<uInt>(kWriteBlock - filled);
            const int rc = inflate(&stream, Z_NO_FLUSH);
            const size_t n = kWriteBlock - filled - stream.avail_out;
            if (rc == Z_STREAM_END) {
                ended = true;
            } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
                ok = Fail(error, "entry " + name + " is corrupt");
                break;
            }
            more = rc == Z_OK && (stream.avail_in > 0 || stream.avail_out == 0);
            ok = take(n);
        }
        if (ended) {
            break;
        }
    }
    if (method == Z_DEFLATED) {
        inflateEnd(&stream);
    }
    const int closed = unzCloseCurrentFile(zip);
    if (!ok) {
        return false;
    }
    if (!ended) {
        return Fail(error, "entry " + name + " is truncated");
    }
    if (produced != entry.size) {
        return Fail(error, "entry " + name + " is smaller than it claims");
    }
    if (crc != entry.crc || closed == UNZ_CRCERROR) {
        return Fail(error, "CRC error in entry " + name);
    }
    if (closed != UNZ_OK) {
        return Fail(error, "cannot read entry " + name);
    }
    if (filled > 0 && !WriteAll(fd, out.data(), filled)) {
        return Fail(error, "cannot write entry " + name + ": " + std::strerror(errno));
    }
    return true;
}

// Writes the current entry to a temporary in its folder and renames it into place once it is
// complete and verified; the temporary is removed on any failure.
bool ExtractFile(unzFile zip, int root, const Entry& entry, uint64_t* budget, std::string* error) {
    const int dir = OpenFolder(root, entry, entry.parts.size() - 1, error);
    if (dir < 0) {
        return false;
    }
    const std::string& target = entry.parts.back();
    std::string temp;
    const int fd = CreateTemporary(dir, target, &temp);
    bool ok = fd >= 0;
    if (!ok) {
        Fail(error, "cannot create entry " + Quoted(entry.stored) + ": " + std::strerror(errno));
    } else {
        ok = CopyData(zip, entry, fd, budget, error);
        const timespec times[2] = {entry.mtime, entry.mtime};
        if (ok && (fchmod(fd, entry.mode) != 0 || futimens(fd, times) != 0)) {
            ok = Fail(error,
                      "cannot finish entry " + Quoted(entry.stored) + ": " + std::strerror(errno));
        }
        if (close(fd) != 0 && ok) {
            ok = Fail(error,
                      "cannot write entry " + Quoted(entry.stored) + ": " + std::strerror(errno));
        }
        if (ok && renameat(dir, temp.c_str(), dir, target.c_str()) != 0) {
            ok = Fail(error, "cannot put entry " + Quoted(entry.stored) +
                                 " in place: " + std::strerror(errno));
        }
        if (!ok) {
            unlinkat(dir, temp.c_str(), 0);
        }
    }
    close(dir);
    return ok;
}

bool ExtractAll(unzFile zip, const std::string& folder, const std::vector<Entry>& entries,
                const PackageUnpacker::Limits& limits, std::string* error) {
    std::error_code ignored;
    if (!folder.empty()) {
        std::filesystem::create_directories(folder, ignored);
    }
    const int root =
        open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0) {
        return Fail(error, "cannot open folder " + Quoted(folder) + ": " + std::strerror(errno));
    }
    uint64_t budget = limits.maxTotalBytes;
    bool ok = true;
    for (size_t i = 0; ok && i < entries.size(); ++i) {
        const int rc = i == 0 ? unzGoToFirstFile(zip) : unzGoToNextFile(zip);
        if (rc != UNZ_OK) {
            ok = Fail(error, "cannot read the zip archive's directory");
            break;
        }
        const Entry& entry = entries[i];
        if (entry.skip) {
            continue;
        }
        std::string reason;
        bool done;
        if (entry.folder) {
            const int fd = OpenFolder(root, entry, entry.parts.size(), &reason);
            done = fd >= 0;
            if (done) {
                close(fd);
            }
        } else {
            done = ExtractFile(zip, root, entry, &budget, &reason);
        }
        // The product passes over a failing folder or empty file; an entry with data counts.
        if (!done && entry.size > 0) {
            ok = Fail(error, reason);
        }
    }
    close(root);
    return ok;
}

}  // namespace

int PackageUnpacker::Unpack(const std::string& zipPath, const std::string& folder,
                            std::string* error, const Limits& limits) {
    std::string unused;
    if (error == nullptr) {
        error = &unused;
    }
    std::string base = folder;
    if (!base.empty() && base.back() != '/') {
        base += '/';
    }
    const std::unique_ptr<void, int (*)(unzFile)> zip(unzOpen64(zipPath.c_str()), unzClose);
    if (!zip) {
        *error = "cannot open zip archive";
        return 0;
    }
    std::vector<Entry> entries;
    const bool ok = ReadDirectory(zip.get(), limits, &entries, error) &&
                    CheckLayout(base, entries, error) &&
                    ExtractAll(zip.get(), base, entries, limits, error);
    return ok ? 1 : 0;
}

int PackageUnpacker::Unpack(const std::string& zipPath, const std::string& folder,
                            std::string* error) {
    return Unpack(zipPath, folder, error, Limits());
}
