#include "storage/AlarmMarks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QFile>
#include <cerrno>
#include <cstring>

namespace {

const QByteArray kHeader = "mark,episode,time\r\n";

QString PathIn(const QString& folder) {
    return folder + "/" + AlarmMarks::kFileName;
}

}  // namespace

void AlarmMarks::Apply(State* state, const QString& mark) {
    if (mark == "keep") {
        state->kept = true;
    } else if (mark == "unkeep") {
        state->kept = false;
    } else if (mark == "removed") {
        state->removed = true;
    } else if (mark == "reviewed") {
        state->reviewed = true;
    }
}

void AlarmMarks::Load(const QString& folder) {
    std::unordered_map<std::string, State> states;
    const int fd = ::open(QFile::encodeName(PathIn(folder)).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    QFile file;
    if (fd >= 0 && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        const QList<QByteArray> lines = file.readAll().split('\n');
        // The last piece has no line end: empty, or a line a crash cut short.
        for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
            const QList<QByteArray> fields = lines[i].trimmed().split(',');
            if (fields.size() >= 2 && !fields[1].isEmpty() && fields[0] != "mark") {
                Apply(&states[fields[1].toStdString()], QString::fromLatin1(fields[0]));
            }
        }
    } else if (fd >= 0) {
        ::close(fd);
    }
    std::lock_guard lock(m_Mutex);
    m_States = std::move(states);
}

void AlarmMarks::Set(const char* mark, const std::string& key) {
    std::lock_guard lock(m_Mutex);
    Apply(&m_States[key], QString::fromLatin1(mark));
}

bool AlarmMarks::Append(const QString& folder, const char* mark, const std::string& key) {
    return Append(folder, mark, std::vector<std::string>{key});
}

bool AlarmMarks::Append(const QString& folder, const char* mark,
                        const std::vector<std::string>& keys) {
    if (keys.empty()) {
        return true;
    }
    for (const std::string& key : keys) {
        Set(mark, key);
    }
    const QByteArray path = QFile::encodeName(PathIn(folder));
    // Never through a link, only into a regular file, as the alarm log.
    const int fd = ::open(path.constData(),
                          O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat status {};
    bool ok = fd >= 0 && ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    QByteArray text;
    if (ok && status.st_size == 0) {
        text = kHeader;
    } else if (ok) {
        char last = '\n';
        ok = ::pread(fd, &last, 1, status.st_size - 1) == 1;
        if (last != '\n') {
            text = "\r\n";  // a line a crash cut short stays; this one starts on its own
        }
    }
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray time = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate).toUtf8();
    for (const std::string& key : keys) {
        text += QByteArray(mark) + ',' + QByteArray::fromStdString(key) + ',' + time + "\r\n";
    }
    ok = ok && ::write(fd, text.constData(), static_cast<size_t>(text.size())) == text.size() &&
         ::fdatasync(fd) == 0;
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    if (!ok && !m_bFailing) {
        qWarning("Storage: cannot append to %s (%s)", path.constData(),
                 fd < 0 || error != 0 ? std::strerror(error) : "not a regular file");
    }
    m_bFailing = !ok;
    return ok;
}

bool AlarmMarks::IsKept(const std::string& key) const {
    std::lock_guard lock(m_Mutex);
    const auto found = m_States.find(key);
    return found != m_States.end() && found->second.kept;
}

bool AlarmMarks::IsReviewed(const std::string& key) const {
    std::lock_guard lock(m_Mutex);
    const auto found = m_States.find(key);
    return found != m_States.end() && found->second.reviewed;
}

bool AlarmMarks::IsRemoved(const std::string& key) const {
    std::lock_guard lock(m_Mutex);
    const auto found = m_States.find(key);
    return found != m_States.end() && found->second.removed;
}
