#include "alarm/AlarmLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>

#include "settings/SettingStore.h"

namespace {

// RFC 4180: a field holding a comma, a quote, CR or LF is quoted, inner quotes doubled.
QByteArray CsvField(const QString& text) {
    QByteArray field = text.toUtf8();
    if (field.contains(',') || field.contains('"') || field.contains('\r') ||
        field.contains('\n')) {
        field.replace("\"", "\"\"");
        field.prepend('"');
        field.append('"');
    }
    return field;
}

QString UnitLetter(int unitKind) {
    return unitKind == 1 ? QStringLiteral("F") : unitKind == 2 ? QStringLiteral("K") : "C";
}

// The fields of one RFC 4180 line; false when a quoted field is not closed.
bool SplitCsv(const QByteArray& line, QList<QByteArray>* fields) {
    QByteArray field;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < line.size() && line[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            fields->append(field);
            field.clear();
        } else {
            field += c;
        }
    }
    fields->append(field);
    return !quoted;
}

QString Describe(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

}  // namespace

const QByteArray& AlarmLog::Header() {
    static const QByteArray header =
        "first_camera_time,first_computer_time,last_camera_time,last_computer_time,"
        "peak_temperature,unit,snapshots,first_snapshot,last_snapshot,recording\r\n";
    return header;
}

QString AlarmLog::FileName(QDate day) {
    return QStringLiteral("AlarmLog_%1.csv").arg(day.toString(QStringLiteral("yyyyMMdd")));
}

QByteArray AlarmLog::Line(const AlarmEpisode& episode) {
    const QString fields[] = {
        episode.firstCameraTime,
        ComputerTime(episode.firstTime),
        episode.lastCameraTime,
        ComputerTime(episode.lastTime),
        // As many digits as the alarm list shows.
        QString::number(episode.peakTemperature, 'g', 6),
        UnitLetter(episode.unitKind),
        QString::number(episode.snapshots),
        episode.firstSnapshot,
        episode.lastSnapshot,
        episode.recording,
    };
    QByteArray line;
    for (const QString& field : fields) {
        if (!line.isEmpty()) {
            line += ',';
        }
        line += CsvField(field);
    }
    return line + "\r\n";
}

QString AlarmLog::ComputerTime(const QDateTime& time) {
    // ISO 8601 with the UTC offset the time had ("2026-12-08T09:15:02+01:00").
    return time.toOffsetFromUtc(time.offsetFromUtc()).toString(Qt::ISODate);
}

bool AlarmLog::ParseLine(const QByteArray& line, AlarmEpisode* episode) {
    QByteArray text = line;
    while (text.endsWith('\n') || text.endsWith('\r')) {
        text.chop(1);
    }
    QList<QByteArray> fields;
    if (!SplitCsv(text, &fields) || fields.size() != 10) {
        return false;
    }
    AlarmEpisode parsed;
    parsed.firstCameraTime = QString::fromUtf8(fields[0]);
    parsed.firstTime = QDateTime::fromString(QString::fromUtf8(fields[1]), Qt::ISODate);
    parsed.lastCameraTime = QString::fromUtf8(fields[2]);
    parsed.lastTime = QDateTime::fromString(QString::fromUtf8(fields[3]), Qt::ISODate);
    bool peakOk = false;
    bool snapshotsOk = false;
    parsed.peakTemperature = fields[4].toDouble(&peakOk);
    parsed.unitKind = fields[5] == "F" ? 1 : fields[5] == "K" ? 2 : 0;
    parsed.snapshots = fields[6].toInt(&snapshotsOk);
    parsed.firstSnapshot = QString::fromUtf8(fields[7]);
    parsed.lastSnapshot = QString::fromUtf8(fields[8]);
    parsed.recording = QString::fromUtf8(fields[9]);
    if (!peakOk || !snapshotsOk || !parsed.firstTime.isValid() || !parsed.lastTime.isValid() ||
        (fields[5] != "C" && fields[5] != "F" && fields[5] != "K")) {
        return false;  // the header, or a line a crash cut short
    }
    *episode = parsed;
    return true;
}

bool AlarmLog::Append(const AlarmEpisode& episode) {
    return Append(episode, SettingStore::instance().alarmImagesPath());
}

bool AlarmLog::Append(const AlarmEpisode& episode, const QString& folder) {
    const QString path = folder + "/" + FileName(episode.firstTime.date());
    QString error;
    if (!Write(path, Line(episode), &error)) {
        if (!m_bFailing) {
            qWarning().noquote() << "AlarmLog: cannot append to" << path << ":" << error;
        }
        m_bFailing = true;
        return false;
    }
    m_bFailing = false;
    return true;
}

QString AlarmLog::EnsureToday() {
    const QString path =
        SettingStore::instance().alarmImagesPath() + "/" + FileName(QDate::currentDate());
    QString error;
    if (!Write(path, QByteArray(), &error)) {
        qWarning().noquote() << "AlarmLog: cannot create" << path << ":" << error;
        return QString();
    }
    // The folder may be relative to the working folder ("./AlarmImages"); a handler is not.
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

bool AlarmLog::Write(const QString& path, const QByteArray& line, QString* error) {
    const QByteArray localPath = QFile::encodeName(path);
    // The name is predictable: a link or a FIFO planted under it must not receive the lines.
    const int fd = ::open(localPath.constData(),
                          O_RDWR | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = Describe(errno);
        return false;
    }
    QByteArray text;
    struct stat status {};
    bool ok = ::fstat(fd, &status) == 0;
    if (ok && !S_ISREG(status.st_mode)) {
        ::close(fd);
        *error = QStringLiteral("not a regular file");
        return false;
    }
    if (ok && status.st_size == 0) {
        text = Header();
    } else if (ok && !line.isEmpty()) {
        // A line a crash cut short is left as it is; the new one starts on its own line.
        char last = '\n';
        ok = ::pread(fd, &last, 1, status.st_size - 1) == 1;
        if (ok && last != '\n') {
            text = "\r\n";
        }
    }
    text += line;
    // One write() for the whole line, so that a crash cuts at most this one.
    qsizetype done = 0;
    while (ok && done < text.size()) {
        const ssize_t written = ::write(fd, text.constData() + done, text.size() - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        ok = written > 0;
        done += ok ? written : 0;
    }
    if (ok && !text.isEmpty()) {
        ok = ::fdatasync(fd) == 0;
    }
    const int savedErrno = ok ? 0 : errno;
    ok = ::close(fd) == 0 && ok;
    if (!ok) {
        *error = Describe(savedErrno != 0 ? savedErrno : errno);
    }
    return ok;
}
