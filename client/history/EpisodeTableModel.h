// The chosen day's alarm episodes, newest first, as the History page's table shows them: the
// first snapshot's thumbnail, start, end, duration, peak temperature, snapshots, recordings and
// marks. An episode in progress says so and ends when the next catalog has its log line. Marks
// the user has just set show at once, before a catalog that holds them arrives.
//
// GUI thread only.
#pragma once

#include <QAbstractTableModel>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "history/HistoryCatalog.h"

class ThumbnailCache;

class EpisodeTableModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { kPicture, kStart, kEnd, kDuration, kPeak, kSnapshots, kRecordings, kMarks };
    static constexpr int kColumns = kMarks + 1;
    static constexpr int kEpisodeRole = Qt::UserRole;  // the index into the catalog's episodes

    EpisodeTableModel(ThumbnailCache* thumbnails, QObject* parent = nullptr);

    // Shows `day` of `catalog`; the rows are rebuilt only when the day's episodes changed.
    void Show(std::shared_ptr<const HistoryCatalog> catalog, QDate day);
    const HistoryCatalog* catalog() const { return m_pCatalog.get(); }
    // The catalog's episode on `row`, or null.
    const HistoryCatalog::Episode* EpisodeAt(int row) const;
    int RowOf(const std::string& key) const;
    int Rows() const { return static_cast<int>(m_Rows.size()); }

    // What the user has just marked, shown until a catalog says the same.
    void MarkReviewed(const std::vector<std::string>& keys);
    void MarkKept(const std::string& key, bool kept);
    bool IsReviewed(const HistoryCatalog::Episode& episode) const;
    bool IsKept(const HistoryCatalog::Episode& episode) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // "38.5 °C": a peak with its unit.
    static QString Temperature(const HistoryCatalog::Episode& episode);
    // "1:05" or "1:02:05".
    static QString Duration(int64_t seconds);
    // The recordings' names, each with "(removed by retention)" or "(missing)" when not on disk;
    // empty when there are none.
    static QString Recordings(const HistoryCatalog::Episode& episode);

private:
    void RowChanged(int row);

    ThumbnailCache* m_pThumbnails;
    std::shared_ptr<const HistoryCatalog> m_pCatalog;
    QDate m_Day;
    std::vector<size_t> m_Rows;
    std::set<std::string> m_Reviewed;       // marked here, not yet in a catalog
    std::map<std::string, bool> m_Kept;     // the same
    std::map<QString, int> m_RowOfPicture;  // first snapshot -> row, for thumbnails arriving
};
