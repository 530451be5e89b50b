// One alarm episode exported as a single zip that plays anywhere: its snapshots under their own
// names, its recordings as MP4 (an MP4 as it is, a PVF copied into a new MP4 without
// re-encoding, named <name>.mp4) and episode.csv, the alarm log's header and the episode's line.
// Inside the zip every entry is a bare file name (a backslash made "_"); PNG and MP4 are stored
// (they are compressed already), episode.csv deflated; names are UTF-8 and flagged as such, zip64
// where a file needs it. Two files of one name (a.mp4 and a.pvf) become a.mp4 and a-2.mp4.
//
// The zip appears under the chosen name only whole and on disk: it is written to a new file in
// the same folder (an unnamed one where the file system has them), synced, then renamed over the
// name; an existing file there is replaced (the save dialog asked). A failed or cancelled export
// leaves neither a zip nor a temporary file. A PVF is converted into a temporary folder beside
// the zip, so the space it takes is the target's and a full disk reads as the target's failure;
// only a crash during a conversion can leave that folder (<zip>.part-XXXXXX) behind.
//
// A source file that cannot be opened (missing, unreadable, not a regular file, a PVF with
// nothing playable) is left out and named in the result's notes; the export fails only when the
// zip cannot be written, a file fails while being read, or no snapshot or recording is left.
//
// Threads: Export blocks (the page runs it on a worker thread) and uses no GUI class. The
// progress callback runs on the exporting thread; the cancel flag may be set from any thread.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

class QSaveFile;
class QTemporaryDir;

class EpisodeExporter {
    Q_DECLARE_TR_FUNCTIONS(EpisodeExporter)  // what the page shows is translated in its context

public:
    // Paths are local 8-bit, as the catalog gives them.
    struct Request {
        std::string zipPath;
        std::vector<std::string> snapshots;   // PNG
        std::vector<std::string> recordings;  // .mp4 or .pvf
        // Both as read from the alarm log (UTF-8), with or without their line end. The lines
        // in episode.csv end as the log's do: with the end either one carries, else CRLF (what
        // the alarm log writes). An empty logLine (an episode the log does not know) leaves
        // episode.csv out: a header alone would tell nothing.
        std::string logHeader;
        std::string logLine;
    };
    struct Result {
        bool ok = false;
        bool cancelled = false;  // error stays empty then
        QString error;           // one line for the user when it failed, e.g.
                                 // "Cannot write /x/y.zip: No space left on device"
        // Files, or damaged parts of them, left out of the zip: "left out: <name> (<reason>)"
        // or "left out: <n> damaged bytes of <name>".
        QStringList notes;
    };
    // Work done so far and the whole, in bytes of the sources (a PVF counts twice: converted,
    // then stored); reported at the start, about every MiB, and at the end.
    using Progress = std::function<void(int64_t done, int64_t total)>;

    static Result Export(const Request& request, const Progress& progress = nullptr,
                         const std::atomic<bool>* cancel = nullptr);

private:
    // The zip's descriptor and the first errno its writes met; minizip writes through it.
    struct Output {
        int fd = -1;
        int error = 0;
    };

    EpisodeExporter(const Request& request, const Progress& progress,
                    const std::atomic<bool>* cancel);
    ~EpisodeExporter();
    EpisodeExporter(const EpisodeExporter&) = delete;
    EpisodeExporter& operator=(const EpisodeExporter&) = delete;
    void Run();
    bool OpenZip();
    bool AddCsv();
    // Adds the file `path` as `name`; `budget` is its share of the progress. False when the
    // export must stop; a file left out is not a reason to.
    bool AddFile(const std::string& path, const QString& name, int64_t budget);
    bool AddPvf(const std::string& path, const QString& name, int64_t budget);
    bool WriteEntry(const QString& name, bool deflate, bool zip64, int64_t mtime,
                    const std::function<bool()>& writeData);
    bool CloseZip();
    QString UniqueName(const QString& fileName);
    void LeaveOut(const QString& name, const QString& reason);
    bool Cancelled();
    void Advance(int64_t amount);
    bool FailWrite(int error);
    bool FailWrite(const QString& reason);

    const Request& m_request;
    const Progress& m_progress;
    const std::atomic<bool>* m_cancel;
    Result m_result;
    std::unique_ptr<QSaveFile> m_file;
    std::unique_ptr<QTemporaryDir> m_conversions;  // made for the first PVF
    Output m_output;
    void* m_zip = nullptr;       // minizip's zipFile
    std::set<QString> m_names;   // taken in the zip, case-folded
    std::vector<char> m_buffer;  // one read of a source file
    int m_exported = 0;          // snapshots and recordings in the zip
    int64_t m_done = 0;
    int64_t m_total = 0;
    int64_t m_reported = -1;
};
