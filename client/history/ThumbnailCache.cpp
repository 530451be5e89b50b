#include "history/ThumbnailCache.h"

#include <QFile>
#include <QImageReader>

namespace {

// Worker thread. A picture the size of the screen or smaller: a hostile PNG claiming a huge
// size is refused before its pixels are allocated.
QImage Decode(const std::string& path) {
    QImageReader reader(QFile::decodeName(path.c_str()));
    reader.setAutoTransform(false);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > 8192 || size.height() > 8192) {
        return {};
    }
    const QImage image = reader.read();
    if (image.isNull()) {
        return {};
    }
    return image
        .scaled(ThumbnailCache::kEdge, ThumbnailCache::kEdge, Qt::KeepAspectRatio,
                Qt::SmoothTransformation)
        .convertToFormat(QImage::Format_RGB32);
}

}  // namespace

ThumbnailCache::ThumbnailCache(size_t budgetBytes, QObject* parent)
    : QObject(parent), m_nBudget(budgetBytes), m_Queue(this) {}

ThumbnailCache::State ThumbnailCache::Get(const std::string& path, QImage* image) {
    const auto found = m_Entries.find(path);
    if (found != m_Entries.end()) {
        m_Use.splice(m_Use.begin(), m_Use, found->second.use);
        *image = found->second.image;
        return image->isNull() ? State::kUnreadable : State::kReady;
    }
    if (m_Pending.insert(path).second) {
        m_Queue.Post(
            [this, path]() -> BackgroundQueue::Result {
                QImage decoded = Decode(path);
                return [this, path, decoded = std::move(decoded)]() mutable {
                    Store(path, std::move(decoded));
                };
            },
            true);
    }
    return State::kPending;
}

void ThumbnailCache::Store(const std::string& path, QImage image) {
    m_Pending.erase(path);
    const size_t size = static_cast<size_t>(image.sizeInBytes()) + path.size() + 64;
    while (!m_Use.empty() && m_nBytes + size > m_nBudget) {
        const auto oldest = m_Entries.find(m_Use.back());
        m_nBytes -=
            static_cast<size_t>(oldest->second.image.sizeInBytes()) + oldest->first.size() + 64;
        m_Entries.erase(oldest);
        m_Use.pop_back();
    }
    m_Use.push_front(path);
    m_Entries[path] = {std::move(image), m_Use.begin()};
    m_nBytes += size;
    emit thumbnailReady(QFile::decodeName(path.c_str()));
}
