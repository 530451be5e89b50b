#include "IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

[[noreturn]] void fail(const char* what, const std::string& path) {
    std::perror((std::string(what) + " " + path).c_str());
    std::abort();
}

namespace fs = std::filesystem;

// QSettings syncs the file it rewrites to the disk: in memory, a run does twenty times the
// inputs.
fs::path temporaryFolder() {
    std::error_code error;
    if (std::getenv("TMPDIR") == nullptr && fs::is_directory("/dev/shm", error)) {
        return "/dev/shm";
    }
    return fs::temp_directory_path();
}

}  // namespace

IniFile::IniFile(const QString& fileName) {
    std::string pattern = (temporaryFolder() / "calorview-fuzz-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        fail("cannot make", pattern);
    }
    m_folder = QString::fromStdString(pattern);
    m_path = m_folder + "/" + fileName;
}

IniFile::~IniFile() {
    std::error_code ignored;
    fs::remove_all(m_folder.toStdString(), ignored);
}

void IniFile::write(const uint8_t* data, size_t size) {
    const std::string path = m_path.toStdString();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        fail("cannot write", path);
    }
    for (size_t done = 0; done < size;) {
        const ssize_t wrote = ::write(fd, data + done, size - done);
        if (wrote <= 0) {
            fail("cannot write", path);
        }
        done += static_cast<size_t>(wrote);
    }
    // QSettings reuses its last parse of a file whose size and modification time (to the
    // millisecond) are unchanged; inputs come faster than that, so each one gets its own time.
    ++m_writes;
    const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(m_writes), 0}};
    if (::futimens(fd, times) != 0) {
        fail("cannot stamp", path);
    }
    ::close(fd);
}
