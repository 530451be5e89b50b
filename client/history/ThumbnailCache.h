// Small pictures of alarm snapshots for the History page's list and strip: decoded and scaled on
// a worker thread, newest request first (what the user looks at now), and kept in memory up to a
// fixed budget, the least recently shown dropped first. A file that cannot be read as a picture
// is remembered as such and shown as unreadable.
//
// Threads: the object and its signal belong to the GUI thread; decoding runs on its
// BackgroundQueue's worker, which sees only the path and hands back the picture.
#pragma once

#include <QImage>
#include <QObject>
#include <QSize>
#include <list>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "history/BackgroundQueue.h"

class ThumbnailCache : public QObject {
    Q_OBJECT

public:
    static constexpr int kEdge = 96;  // the longer side, in pixels
    // 32 MiB: about 1,100 thumbnails of the camera's portrait pictures (72 x 96, 27 KiB each).
    static constexpr size_t kDefaultBudget = size_t{32} << 20;

    enum class State { kPending, kReady, kUnreadable };

    explicit ThumbnailCache(size_t budgetBytes = kDefaultBudget, QObject* parent = nullptr);

    // The thumbnail of `path` when made; otherwise asks for it (kPending; thumbnailReady
    // follows) or says it cannot be read.
    State Get(const std::string& path, QImage* image);
    size_t bytes() const { return m_nBytes; }
    size_t budget() const { return m_nBudget; }

signals:
    void thumbnailReady(const QString& path);

private:
    struct Entry {
        QImage image;  // null when unreadable
        std::list<std::string>::iterator use;
    };
    void Store(const std::string& path, QImage image);

    size_t m_nBudget;
    size_t m_nBytes = 0;
    std::unordered_map<std::string, Entry> m_Entries;
    std::list<std::string> m_Use;  // most recently shown first
    std::unordered_set<std::string> m_Pending;
    BackgroundQueue m_Queue;
};
