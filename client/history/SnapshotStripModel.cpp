#include "history/SnapshotStripModel.h"

#include <QFile>
#include <QImage>
#include <QPixmap>

#include "history/ThumbnailCache.h"

SnapshotStripModel::SnapshotStripModel(ThumbnailCache* thumbnails, QObject* parent)
    : QAbstractListModel(parent), m_pThumbnails(thumbnails) {
    connect(m_pThumbnails, &ThumbnailCache::thumbnailReady, this, [this](const QString& path) {
        const auto found = m_RowOf.find(QFile::encodeName(path).toStdString());
        if (found != m_RowOf.end()) {
            const QModelIndex cell = index(found->second);
            emit dataChanged(cell, cell, {Qt::DecorationRole});
        }
    });
}

void SnapshotStripModel::Show(std::vector<std::string> paths) {
    beginResetModel();
    m_Paths = std::move(paths);
    m_RowOf.clear();
    for (size_t row = 0; row < m_Paths.size(); ++row) {
        m_RowOf[m_Paths[row]] = static_cast<int>(row);
    }
    endResetModel();
}

int SnapshotStripModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_Paths.size());
}

QVariant SnapshotStripModel::data(const QModelIndex& index, int role) const {
    if (index.row() < 0 || index.row() >= rowCount()) {
        return {};
    }
    const std::string& path = m_Paths[static_cast<size_t>(index.row())];
    switch (role) {
        case kPathRole:
            return QFile::decodeName(path.c_str());
        case Qt::ToolTipRole:
            return QFile::decodeName(path.c_str()).section('/', -1);
        case Qt::DecorationRole: {
            QImage image;
            const ThumbnailCache::State state = m_pThumbnails->Get(path, &image);
            if (state == ThumbnailCache::State::kReady) {
                return QPixmap::fromImage(image);
            }
            // A blank of the thumbnail's size keeps the strip's cells even while they load.
            QPixmap blank(ThumbnailCache::kEdge * 3 / 4, ThumbnailCache::kEdge);
            blank.fill(state == ThumbnailCache::State::kUnreadable ? QColor("#5a2020")
                                                                   : QColor("#303030"));
            return blank;
        }
        default:
            return {};
    }
}
