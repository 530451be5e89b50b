#include "events/EventOutbox.h"

#include <fcntl.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

const QString kOutboxName = QStringLiteral("mqtt-outbox.jsonl");
const QString kAckName = QStringLiteral("mqtt-outbox.ack");
// The file is rewritten once it holds this many acknowledged lines and they outnumber the
// pending ones: a rewrite costs about what the pending events take.
constexpr qint64 kCompactLines = 4096;

bool WriteAll(int fd, const QByteArray& bytes) {
    const char* at = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, at, static_cast<size_t>(left));
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        at += written;
        left -= written;
    }
    return true;
}

}  // namespace

EventOutbox::EventOutbox(const QString& folder, int maxEvents)
    : m_Folder(folder), m_nMaxEvents(maxEvents > 0 ? maxEvents : 1) {}

EventOutbox::~EventOutbox() {
    Sync();
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

QString EventOutbox::FilePath() const {
    return QDir(m_Folder).filePath(kOutboxName);
}

QByteArray EventOutbox::Line(const Event& event) {
    return event.id + '\t' + event.topic + '\t' + event.payload + '\n';
}

bool EventOutbox::Open() {
    QFile ack(QDir(m_Folder).filePath(kAckName));
    if (ack.open(QIODevice::ReadOnly)) {
        m_AckedId = ack.readAll().trimmed();
    }
    QFile file(FilePath());
    std::deque<Entry> read;
    qint64 wholeBytes = -1;  // no file
    qint64 lines = 0;
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray bytes = file.readAll();
        qsizetype at = 0;
        while (at < bytes.size()) {
            const qsizetype end = bytes.indexOf('\n', at);
            if (end < 0) {
                break;  // torn by a crash mid-write: never acknowledged, never published whole
            }
            const QByteArray line = bytes.mid(at, end - at);
            at = end + 1;
            ++lines;
            const qsizetype tab1 = line.indexOf('\t');
            const qsizetype tab2 = tab1 < 0 ? -1 : line.indexOf('\t', tab1 + 1);
            if (tab2 < 0) {
                continue;
            }
            Entry entry;
            entry.event.id = line.left(tab1);
            entry.event.topic = line.mid(tab1 + 1, tab2 - tab1 - 1);
            entry.event.payload = line.mid(tab2 + 1);
            if (!m_AckedId.isEmpty() && entry.event.id == m_AckedId) {
                read.clear();  // everything up to here reached the broker
                continue;
            }
            read.push_back(std::move(entry));
        }
        wholeBytes = at;
    }
    for (Entry& entry : read) {
        entry.event.seq = m_nNextSeq++;
        m_Pending.push_back(std::move(entry));
    }
    m_nWrittenSeq = m_nNextSeq;
    m_nFileLines = lines;
    while (PendingCount() > m_nMaxEvents) {
        DropOldest();
    }
    if (!m_Pending.empty()) {
        qWarning("Mqtt: %d events of an earlier run wait in %s", PendingCount(),
                 qUtf8Printable(FilePath()));
    }
    // Starts every run on a clean file: no acknowledged lines, no torn tail.
    return Compact(wholeBytes);
}

bool EventOutbox::Compact(qint64 oldWholeBytes) {
    const QByteArray path = QFile::encodeName(FilePath());
    const QByteArray temporary = QFile::encodeName(QDir(m_Folder).filePath("." + kOutboxName));
    QByteArray lines;
    for (const Entry& entry : m_Pending) {
        lines += Line(entry.event);
    }
    // Appended to from now on if it takes the old one's place: no reopening that could fail.
    const int fd = ::open(temporary.constData(),
                          O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    bool ok = fd >= 0 && WriteAll(fd, lines) && ::fdatasync(fd) == 0 &&
              ::rename(temporary.constData(), path.constData()) == 0;
    const int error = errno;
    if (ok) {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = fd;
        // The new file has no acknowledged lines: the old acknowledged id, even if it stays in
        // the ack file until the next write, is not in it, which only means "send all".
        m_nFileLines = PendingCount();
        m_nFileBytes = lines.size();
        m_nWrittenSeq = m_nNextSeq;
        m_bDataDirty = false;
        m_bWriteFailing = false;
        m_bCompactFailing = false;
        return true;
    }
    if (fd >= 0) {
        ::close(fd);
        ::unlink(temporary.constData());
    }
    if (!m_bCompactFailing) {
        qWarning("Mqtt: the outbox %s cannot be rewritten (%s); the old file is kept",
                 qUtf8Printable(FilePath()), std::strerror(error));
        m_bCompactFailing = true;
    }
    if (oldWholeBytes >= 0 && m_fd < 0) {
        // At the start: go on appending to the old file, cut back to its last whole line.
        m_fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
        m_nFileBytes = oldWholeBytes;
        m_bWriteFailing = m_fd >= 0 && ::ftruncate(m_fd, oldWholeBytes) != 0;
    }
    if (m_fd < 0) {
        qWarning("Mqtt: the outbox %s cannot be written (%s); events are kept in memory only",
                 qUtf8Printable(FilePath()), std::strerror(errno));
    }
    return m_fd >= 0;
}

quint64 EventOutbox::Append(const QByteArray& id, const QByteArray& topic,
                            const QByteArray& payload) {
    Entry entry;
    entry.event = Event{m_nNextSeq++, id, topic, payload};
    m_Pending.push_back(std::move(entry));
    WriteUnwritten();
    while (PendingCount() > m_nMaxEvents) {
        DropOldest();
    }
    return m_nNextSeq - 1;
}

bool EventOutbox::WriteUnwritten() {
    if (m_fd < 0) {
        return false;
    }
    // After a failure the file may still end in the part of a line written before it.
    if (m_bWriteFailing && ::ftruncate(m_fd, m_nFileBytes) != 0) {
        return false;
    }
    for (quint64 seq = std::max(m_nWrittenSeq, FirstSeq()); seq < m_nNextSeq; ++seq) {
        const QByteArray line = Line(*Find(seq));
        if (!WriteAll(m_fd, line)) {
            const int error = errno;
            // Cut back to the last whole line, so that the next line starts a line of its own.
            (void)::ftruncate(m_fd, m_nFileBytes);
            if (!m_bWriteFailing) {
                qWarning(
                    "Mqtt: appending to the outbox %s failed (%s); the events wait in "
                    "memory and are written when it works again",
                    qUtf8Printable(FilePath()), std::strerror(error));
                m_bWriteFailing = true;
            }
            return false;
        }
        m_nFileBytes += line.size();
        ++m_nFileLines;
        m_nWrittenSeq = seq + 1;
        m_bDataDirty = true;
    }
    if (m_bWriteFailing) {
        qWarning("Mqtt: appending to the outbox %s works again", qUtf8Printable(FilePath()));
        m_bWriteFailing = false;
    }
    return true;
}

qint64 EventOutbox::PendingInFile() const {
    return static_cast<qint64>(std::max(m_nWrittenSeq, FirstSeq()) - FirstSeq());
}

void EventOutbox::DropOldest() {
    m_AckedId = m_Pending.front().event.id;
    m_bAckDirty = true;
    m_Pending.pop_front();
    ++m_nDropped;
}

void EventOutbox::Acknowledge(quint64 seq) {
    if (seq < FirstSeq() || seq >= m_nNextSeq) {
        return;
    }
    m_Pending[seq - FirstSeq()].acknowledged = true;
    while (!m_Pending.empty() && m_Pending.front().acknowledged) {
        m_AckedId = m_Pending.front().event.id;
        m_Pending.pop_front();
        m_bAckDirty = true;
    }
}

const EventOutbox::Event* EventOutbox::Find(quint64 seq) const {
    if (seq < FirstSeq() || seq >= m_nNextSeq) {
        return nullptr;
    }
    return &m_Pending[seq - FirstSeq()].event;
}

void EventOutbox::Sync() {
    WriteUnwritten();
    if (m_bDataDirty && m_fd >= 0) {
        // The lines before the acknowledged position: an id in the ack file whose line was lost
        // would only mean "send all again".
        ::fdatasync(m_fd);
        m_bDataDirty = false;
    }
    if (m_bAckDirty) {
        WriteAckFile();
    }
    const qint64 acknowledgedLines = m_nFileLines - PendingInFile();
    if (m_fd >= 0 && acknowledgedLines >= kCompactLines && acknowledgedLines > PendingCount()) {
        Compact();
    }
    if (m_nDropped != m_nDroppedLogged) {
        qWarning("Mqtt: the outbox is full (%d events): %llu oldest events dropped, %llu in all",
                 m_nMaxEvents, static_cast<unsigned long long>(m_nDropped - m_nDroppedLogged),
                 static_cast<unsigned long long>(m_nDropped));
        m_nDroppedLogged = m_nDropped;
    }
}

void EventOutbox::WriteAckFile() {
    QSaveFile file(QDir(m_Folder).filePath(kAckName));
    if (file.open(QIODevice::WriteOnly) && file.write(m_AckedId + '\n') >= 0 && file.commit()) {
        m_bAckDirty = false;
    }
}
