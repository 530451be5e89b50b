#include "history/EpisodeExporter.h"

#include <fcntl.h>
#include <minizip/zip.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <QFile>
#include <QSaveFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <utility>

#include "media/PvfConversion.h"

namespace {

constexpr size_t kReadBlock = 1 << 20;
constexpr int64_t kReportEvery = 1 << 20;
constexpr uLong kUtf8Name = 1 << 11;  // general purpose flag bit 11: the name is UTF-8
// Sizes from here on do not fit the classic 32-bit fields.
constexpr int64_t kZip64From = 0xffffffffLL;
const char* const kCsvName = "episode.csv";

// What an errno says; never "Success" for a failure that did not tell why.
QString Reason(int error) {
    char text[256];
    return QString::fromLocal8Bit(strerror_r(error != 0 ? error : EIO, text, sizeof text));
}

QString FileName(const std::string& path) {
    return QFile::decodeName(path.substr(path.rfind('/') + 1).c_str());
}

int64_t SizeOf(const std::string& path) {
    struct stat status = {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<int64_t>(status.st_size) : 0;
}

bool IsPvf(const QString& name) {
    return name.endsWith(QLatin1String(".pvf"), Qt::CaseInsensitive);
}

// `part` of `whole` as a share of `budget`.
int64_t Share(int64_t budget, int64_t part, int64_t whole) {
    return whole > 0 ? static_cast<int64_t>(static_cast<double>(budget) * part / whole) : budget;
}

// A line without its end, and that end.
std::pair<std::string, std::string> SplitEnd(const std::string& line) {
    size_t end = line.size();
    while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n')) {
        --end;
    }
    return {line.substr(0, end), line.substr(end)};
}

std::string EpisodeCsv(const std::string& header, const std::string& line) {
    const auto [headerText, headerEnd] = SplitEnd(header);
    const auto [lineText, lineEnd] = SplitEnd(line);
    const std::string end = !headerEnd.empty() ? headerEnd : !lineEnd.empty() ? lineEnd : "\r\n";
    return (headerText.empty() ? std::string() : headerText + end) + lineText + end;
}

// A zip entry's time: local, in two-second steps, from 1980 on.
tm_zip ZipTime(int64_t seconds) {
    const time_t time = static_cast<time_t>(seconds);
    struct tm local = {};
    if (localtime_r(&time, &local) == nullptr || local.tm_year < 80) {
        local = {};
        local.tm_mday = 1;
        local.tm_year = 80;
    }
    return tm_zip{static_cast<uInt>(local.tm_sec),  static_cast<uInt>(local.tm_min),
                  static_cast<uInt>(local.tm_hour), static_cast<uInt>(local.tm_mday),
                  static_cast<uInt>(local.tm_mon),  static_cast<uInt>(local.tm_year + 1900)};
}

}  // namespace

EpisodeExporter::Result EpisodeExporter::Export(const Request& request, const Progress& progress,
                                                const std::atomic<bool>* cancel) {
    EpisodeExporter exporter(request, progress, cancel);
    exporter.Run();
    return exporter.m_result;
}

EpisodeExporter::EpisodeExporter(const Request& request, const Progress& progress,
                                 const std::atomic<bool>* cancel)
    : m_request(request), m_progress(progress), m_cancel(cancel), m_buffer(kReadBlock) {}

EpisodeExporter::~EpisodeExporter() {
    if (m_zip != nullptr) {
        zipClose(m_zip, nullptr);  // frees it; what it writes goes with the unfinished file
    }
}

void EpisodeExporter::Run() {
    struct Source {
        const std::string* path;
        QString name;  // in the zip
        bool convert;
        int64_t size;
    };
    std::vector<Source> sources;
    for (const std::string& path : m_request.snapshots) {
        sources.push_back({&path, FileName(path), false, SizeOf(path)});
    }
    for (const std::string& path : m_request.recordings) {
        const QString name = FileName(path);
        const bool convert = IsPvf(name);
        sources.push_back({&path, convert ? name.chopped(4) + QLatin1String(".mp4") : name, convert,
                           SizeOf(path)});
    }
    for (const Source& source : sources) {
        m_total += source.convert ? 2 * source.size : source.size;
    }
    Advance(0);
    bool going = OpenZip() && AddCsv();
    for (size_t i = 0; going && i < sources.size(); ++i) {
        const Source& source = sources[i];
        going = source.convert ? AddPvf(*source.path, source.name, source.size)
                               : AddFile(*source.path, source.name, source.size);
    }
    if (going && m_exported == 0) {
        m_result.error = tr("Nothing to export: none of the episode's files could be read");
        going = false;
    }
    m_result.ok = going && CloseZip();
    if (m_result.ok) {
        Advance(m_total - m_done);
    }
}

bool EpisodeExporter::OpenZip() {
    m_file = std::make_unique<QSaveFile>(QFile::decodeName(m_request.zipPath.c_str()));
    if (!m_file->open(QIODevice::WriteOnly)) {
        return FailWrite(m_file->errorString());
    }
    m_output.fd = m_file->handle();
    // minizip writes through these on the QSaveFile's descriptor, so that a failed write keeps
    // its errno; the zip is only created, never read.
    zlib_filefunc64_def io = {};
    io.zopen64_file = [](voidpf, const void* output, int) -> voidpf {
        return const_cast<void*>(output);
    };
    io.zread_file = [](voidpf, voidpf, void*, uLong) -> uLong { return 0; };
    io.zwrite_file = [](voidpf, voidpf stream, const void* data, uLong size) -> uLong {
        auto* output = static_cast<Output*>(stream);
        uLong written = 0;
        while (written < size) {
            const ssize_t n =
                ::write(output->fd, static_cast<const char*>(data) + written, size - written);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                output->error = output->error != 0 ? output->error : n < 0 ? errno : EIO;
                break;
            }
            written += static_cast<uLong>(n);
        }
        return written;
    };
    io.ztell64_file = [](voidpf, voidpf stream) -> ZPOS64_T {
        const off_t position = ::lseek(static_cast<Output*>(stream)->fd, 0, SEEK_CUR);
        return position < 0 ? static_cast<ZPOS64_T>(-1) : static_cast<ZPOS64_T>(position);
    };
    io.zseek64_file = [](voidpf, voidpf stream, ZPOS64_T offset, int origin) -> long {
        auto* output = static_cast<Output*>(stream);
        const int whence = origin == ZLIB_FILEFUNC_SEEK_SET   ? SEEK_SET
                           : origin == ZLIB_FILEFUNC_SEEK_CUR ? SEEK_CUR
                                                              : SEEK_END;
        if (::lseek(output->fd, static_cast<off_t>(offset), whence) < 0) {
            output->error = output->error != 0 ? output->error : errno;
            return -1;
        }
        return 0;
    };
    io.zclose_file = [](voidpf, voidpf) -> int { return 0; };  // the QSaveFile closes it
    io.zerror_file = [](voidpf, voidpf stream) -> int {
        return static_cast<Output*>(stream)->error;
    };
    m_zip = zipOpen2_64(&m_output, APPEND_STATUS_CREATE, nullptr, &io);
    return m_zip != nullptr || FailWrite(m_output.error);
}

bool EpisodeExporter::AddCsv() {
    if (m_request.logLine.empty()) {
        return true;
    }
    const std::string csv = EpisodeCsv(m_request.logHeader, m_request.logLine);
    return WriteEntry(UniqueName(QLatin1String(kCsvName)), true, false, std::time(nullptr), [&] {
        return zipWriteInFileInZip(m_zip, csv.data(), static_cast<unsigned>(csv.size())) ==
                   ZIP_OK ||
               FailWrite(m_output.error);
    });
}

bool EpisodeExporter::AddFile(const std::string& path, const QString& name, int64_t budget) {
    int fd;
    do {
        // Non-blocking: a FIFO under a file's name is refused below, never waited on.
        fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    const auto closeFd = qScopeGuard([fd] {
        if (fd >= 0) {
            ::close(fd);
        }
    });
    struct stat status = {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        LeaveOut(name, Reason(errno));
    } else if (!S_ISREG(status.st_mode)) {
        LeaveOut(name, tr("not a regular file"));
    }
    if (fd < 0 || !S_ISREG(status.st_mode)) {
        Advance(budget);
        return true;
    }
    // What is there when the export begins: a file still growing is cut there.
    const int64_t size = status.st_size;
    int64_t copied = 0;
    int64_t credited = 0;
    const bool added =
        WriteEntry(UniqueName(name), false, size >= kZip64From, status.st_mtime, [&] {
            while (copied < size) {
                if (Cancelled()) {
                    return false;
                }
                const size_t want = static_cast<size_t>(
                    std::min<int64_t>(static_cast<int64_t>(m_buffer.size()), size - copied));
                const ssize_t n = ::read(fd, m_buffer.data(), want);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n < 0) {
                    m_result.error = tr("Cannot read %1: %2")
                                         .arg(QFile::decodeName(path.c_str()), Reason(errno));
                    return false;
                }
                if (n == 0) {
                    break;  // cut short since: the entry holds what there is
                }
                if (zipWriteInFileInZip(m_zip, m_buffer.data(), static_cast<unsigned>(n)) !=
                    ZIP_OK) {
                    return FailWrite(m_output.error);
                }
                copied += n;
                const int64_t due = Share(budget, copied, size);
                Advance(due - credited);
                credited = due;
            }
            return true;
        });
    if (added) {
        ++m_exported;
        Advance(budget - credited);
    }
    return added;
}

bool EpisodeExporter::AddPvf(const std::string& path, const QString& name, int64_t budget) {
    if (!m_conversions) {
        m_conversions = std::make_unique<QTemporaryDir>(
            QFile::decodeName(m_request.zipPath.c_str()) + QLatin1String(".part-XXXXXX"));
        if (!m_conversions->isValid()) {
            return FailWrite(m_conversions->errorString());
        }
    }
    const std::string mp4 =
        QFile::encodeName(m_conversions->filePath(QStringLiteral("recording.mp4"))).toStdString();
    int64_t credited = 0;
    const Media::PvfConversionResult result =
        Media::ConvertPvfToMp4(path, mp4, [&](int64_t copied, int64_t total) {
            const int64_t due = Share(budget, copied, total);
            Advance(due - credited);
            credited = due;
            return !Cancelled();
        });
    using Outcome = Media::PvfConversionResult::Outcome;
    const QString reason = QString::fromStdString(result.reason);
    switch (result.outcome) {
        case Outcome::kStopped:
            return false;
        case Outcome::kOutputFailed:
            // In the zip's folder: a full disk there is the zip's failure, not the recording's.
            return FailWrite(reason);
        case Outcome::kInputFailed:
            LeaveOut(FileName(path), reason);
            Advance(2 * budget - credited);
            return true;
        case Outcome::kDone:
            break;
    }
    if (result.damagedBytes > 0) {
        m_result.notes
            << tr("left out: %1 damaged bytes of %2").arg(result.damagedBytes).arg(FileName(path));
    }
    struct stat pvf = {};
    if (::stat(path.c_str(), &pvf) == 0) {
        const timespec times[2] = {pvf.st_atim, pvf.st_mtim};
        ::utimensat(AT_FDCWD, mp4.c_str(), times, 0);  // the entry's time is the recording's
    }
    Advance(budget - credited);
    const bool added = AddFile(mp4, name, budget);
    ::unlink(mp4.c_str());
    return added;
}

bool EpisodeExporter::WriteEntry(const QString& name, bool deflate, bool zip64, int64_t mtime,
                                 const std::function<bool()>& writeData) {
    const QByteArray utf8 = name.toUtf8();
    const bool ascii = std::all_of(utf8.begin(), utf8.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    zip_fileinfo info = {};
    info.tmz_date = ZipTime(mtime);
    if (zipOpenNewFileInZip4_64(m_zip, utf8.constData(), &info, nullptr, 0, nullptr, 0, nullptr,
                                deflate ? Z_DEFLATED : 0, deflate ? Z_DEFAULT_COMPRESSION : 0, 0,
                                -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0, 0,
                                ascii ? 0 : kUtf8Name, zip64 ? 1 : 0) != ZIP_OK) {
        return FailWrite(m_output.error);
    }
    if (!writeData()) {
        return false;
    }
    return zipCloseFileInZip(m_zip) == ZIP_OK || FailWrite(m_output.error);
}

bool EpisodeExporter::CloseZip() {
    if (zipClose(std::exchange(m_zip, nullptr), nullptr) != ZIP_OK) {
        return FailWrite(m_output.error);
    }
    // QSaveFile::commit() syncs too, but does not report a sync that failed.
    if (::fsync(m_output.fd) != 0) {
        return FailWrite(errno);
    }
    return m_file->commit() || FailWrite(m_file->errorString());
}

QString EpisodeExporter::UniqueName(const QString& fileName) {
    // Unpackers on Windows take a backslash for a folder step.
    const QString name = QString(fileName).replace(QLatin1Char('\\'), QLatin1Char('_'));
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot) : QString();
    QString unique = name;
    // Case-folded: unpacked where case does not count, a.png and A.png would be one file.
    for (int n = 2; !m_names.insert(unique.toCaseFolded()).second; ++n) {
        unique = stem + QLatin1Char('-') + QString::number(n) + extension;
    }
    return unique;
}

void EpisodeExporter::LeaveOut(const QString& name, const QString& reason) {
    m_result.notes << tr("left out: %1 (%2)").arg(name, reason);
}

bool EpisodeExporter::Cancelled() {
    if (m_cancel != nullptr && m_cancel->load(std::memory_order_relaxed)) {
        m_result.cancelled = true;
    }
    return m_result.cancelled;
}

void EpisodeExporter::Advance(int64_t amount) {
    m_done += amount;
    if (m_progress && (m_reported < 0 || m_done - m_reported >= kReportEvery ||
                       (m_done >= m_total && m_reported < m_total))) {
        m_reported = m_done;
        m_progress(m_done, m_total);
    }
}

bool EpisodeExporter::FailWrite(int error) {
    return FailWrite(Reason(error));
}

bool EpisodeExporter::FailWrite(const QString& reason) {
    m_result.error =
        tr("Cannot write %1: %2").arg(QFile::decodeName(m_request.zipPath.c_str()), reason);
    return false;
}
