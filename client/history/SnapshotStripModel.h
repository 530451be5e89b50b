// The selected episode's alarm snapshots, oldest first, as the History page's strip shows them:
// a thumbnail each, asked for only when a cell is drawn, so an hour-long episode with thousands
// of snapshots costs what is on screen.
//
// GUI thread only.
#pragma once

#include <QAbstractListModel>
#include <string>
#include <unordered_map>
#include <vector>

class ThumbnailCache;

class SnapshotStripModel : public QAbstractListModel {
    Q_OBJECT

public:
    static constexpr int kPathRole = Qt::UserRole;

    explicit SnapshotStripModel(ThumbnailCache* thumbnails, QObject* parent = nullptr);

    void Show(std::vector<std::string> paths);
    const std::vector<std::string>& paths() const { return m_Paths; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

private:
    ThumbnailCache* m_pThumbnails;
    std::vector<std::string> m_Paths;
    std::unordered_map<std::string, int> m_RowOf;
};
