#include "history/EpisodeTableModel.h"

#include <QColor>
#include <QDateTime>
#include <QFile>
#include <QImage>

#include "history/ThumbnailCache.h"

EpisodeTableModel::EpisodeTableModel(ThumbnailCache* thumbnails, QObject* parent)
    : QAbstractTableModel(parent), m_pThumbnails(thumbnails) {
    connect(m_pThumbnails, &ThumbnailCache::thumbnailReady, this, [this](const QString& path) {
        const auto found = m_RowOfPicture.find(path);
        if (found != m_RowOfPicture.end()) {
            const QModelIndex cell = index(found->second, kPicture);
            emit dataChanged(cell, cell, {Qt::DecorationRole});
        }
    });
}

void EpisodeTableModel::Show(std::shared_ptr<const HistoryCatalog> catalog, QDate day) {
    std::vector<size_t> rows = catalog != nullptr ? catalog->Day(day) : std::vector<size_t>{};
    // The same day with the same episodes (an alarm elsewhere, a mark): the cells change, the
    // rows and the selection stay.
    const bool same = day == m_Day && m_pCatalog != nullptr && catalog != nullptr &&
                      rows.size() == m_Rows.size() &&
                      std::equal(rows.begin(), rows.end(), m_Rows.begin(), [&](size_t a, size_t b) {
                          return catalog->episodes()[a].key == m_pCatalog->episodes()[b].key;
                      });
    if (!same) {
        beginResetModel();
    }
    m_pCatalog = std::move(catalog);
    m_Day = day;
    m_Rows = std::move(rows);
    m_RowOfPicture.clear();
    for (size_t row = 0; row < m_Rows.size(); ++row) {
        const HistoryCatalog::Episode& episode = m_pCatalog->episodes()[m_Rows[row]];
        m_RowOfPicture[QFile::decodeName(episode.firstSnapshot.c_str())] = static_cast<int>(row);
        if (episode.reviewed) {
            m_Reviewed.erase(episode.key);
        }
        const auto kept = m_Kept.find(episode.key);
        if (kept != m_Kept.end() && kept->second == episode.kept) {
            m_Kept.erase(kept);
        }
    }
    if (same) {
        if (!m_Rows.empty()) {
            emit dataChanged(index(0, 0), index(Rows() - 1, kColumns - 1));
        }
    } else {
        endResetModel();
    }
}

const HistoryCatalog::Episode* EpisodeTableModel::EpisodeAt(int row) const {
    if (row < 0 || row >= Rows()) {
        return nullptr;
    }
    return &m_pCatalog->episodes()[m_Rows[static_cast<size_t>(row)]];
}

int EpisodeTableModel::RowOf(const std::string& key) const {
    for (int row = 0; row < Rows(); ++row) {
        if (EpisodeAt(row)->key == key) {
            return row;
        }
    }
    return -1;
}

void EpisodeTableModel::MarkReviewed(const std::vector<std::string>& keys) {
    m_Reviewed.insert(keys.begin(), keys.end());
    if (!m_Rows.empty()) {
        emit dataChanged(index(0, kMarks), index(Rows() - 1, kMarks));
    }
}

void EpisodeTableModel::MarkKept(const std::string& key, bool kept) {
    m_Kept[key] = kept;
    RowChanged(RowOf(key));
}

void EpisodeTableModel::RowChanged(int row) {
    if (row >= 0) {
        emit dataChanged(index(row, 0), index(row, kColumns - 1));
    }
}

bool EpisodeTableModel::IsReviewed(const HistoryCatalog::Episode& episode) const {
    return episode.reviewed || m_Reviewed.count(episode.key) > 0;
}

bool EpisodeTableModel::IsKept(const HistoryCatalog::Episode& episode) const {
    const auto found = m_Kept.find(episode.key);
    return found != m_Kept.end() ? found->second : episode.kept;
}

int EpisodeTableModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Rows();
}

int EpisodeTableModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QString EpisodeTableModel::Temperature(const HistoryCatalog::Episode& episode) {
    if (!episode.hasPeak) {
        return QStringLiteral("-");
    }
    const char* unit = episode.unitKind == 1 ? "\u00b0F" : episode.unitKind == 2 ? "K" : "\u00b0C";
    return QString::number(episode.peak, 'f', 1) + QChar(' ') + QString::fromUtf8(unit);
}

QString EpisodeTableModel::Duration(int64_t seconds) {
    seconds = std::max<int64_t>(seconds, 0);
    const QString minutes = QString::number(seconds / 60 % 60);
    const QString rest = QString("%1").arg(seconds % 60, 2, 10, QChar('0'));
    if (seconds < 3600) {
        return minutes + ':' + rest;
    }
    return QString::number(seconds / 3600) + ':' + minutes.rightJustified(2, '0') + ':' + rest;
}

QString EpisodeTableModel::Recordings(const HistoryCatalog::Episode& episode) {
    QStringList parts;
    for (const HistoryCatalog::Recording& recording : episode.recordings) {
        const QString name = QFile::decodeName(recording.name.c_str());
        switch (recording.state) {
            case HistoryCatalog::Recording::State::kPresent:
                parts << name;
                break;
            case HistoryCatalog::Recording::State::kRemoved:
                parts << tr("%1 (removed by retention)").arg(name);
                break;
            case HistoryCatalog::Recording::State::kMissing:
                parts << tr("%1 (missing)").arg(name);
                break;
        }
    }
    return parts.join(QStringLiteral(", "));
}

QVariant EpisodeTableModel::data(const QModelIndex& index, int role) const {
    const HistoryCatalog::Episode* episode = EpisodeAt(index.row());
    if (episode == nullptr) {
        return {};
    }
    if (role == kEpisodeRole) {
        return QVariant::fromValue<qulonglong>(m_Rows[static_cast<size_t>(index.row())]);
    }
    if (role == Qt::DecorationRole && index.column() == kPicture) {
        QImage image;
        if (!episode->firstSnapshot.empty() &&
            m_pThumbnails->Get(episode->firstSnapshot, &image) == ThumbnailCache::State::kReady) {
            return image;
        }
        return {};
    }
    if (role == Qt::ForegroundRole && index.column() == kMarks && !IsReviewed(*episode)) {
        return QColor("#ff7a2f");
    }
    if (role == Qt::ToolTipRole && index.column() == kRecordings) {
        return Recordings(*episode);
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    const QString timeFormat = QStringLiteral("HH:mm:ss");
    switch (index.column()) {
        case kPicture:
            if (episode->firstSnapshot.empty()) {
                return tr("no snapshot");
            }
            return {};
        case kStart:
            return episode->start.toLocalTime().toString(timeFormat);
        case kEnd:
            return episode->open ? tr("in progress")
                                 : episode->end.toLocalTime().toString(timeFormat);
        case kDuration: {
            const QDateTime end = episode->open ? QDateTime::currentDateTime() : episode->end;
            return Duration(episode->start.secsTo(end));
        }
        case kPeak:
            return episode->open ? QStringLiteral("-") : Temperature(*episode);
        case kSnapshots:
            return episode->snapshots;
        case kRecordings:
            return Recordings(*episode);
        case kMarks: {
            QStringList marks;
            if (episode->open) {
                marks << tr("in progress");
            }
            marks << (IsReviewed(*episode) ? tr("reviewed") : tr("new"));
            if (IsKept(*episode)) {
                marks << tr("kept");
            }
            return marks.join(QStringLiteral(", "));
        }
        default:
            return {};
    }
}

QVariant EpisodeTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
        case kPicture:
            return tr("Snapshot");
        case kStart:
            return tr("Start");
        case kEnd:
            return tr("End");
        case kDuration:
            return tr("Duration");
        case kPeak:
            return tr("Peak");
        case kSnapshots:
            return tr("Snapshots");
        case kRecordings:
            return tr("Recordings");
        case kMarks:
            return tr("Marks");
        default:
            return {};
    }
}
