// The History page's selected episode: its facts, its snapshots in a strip (arrow keys step
// through them, and the large viewer with them once Enter or a double click opened it), its
// recordings played in place (a chooser when there are several), and the buttons Keep,
// Export... and Open folder, whose work the page does.
//
// GUI thread only.
#pragma once

#include <QWidget>
#include <string>
#include <vector>

#include "history/HistoryCatalog.h"

class ImageView;
class QComboBox;
class QLabel;
class QListView;
class QPushButton;
class RecordingPlayer;
class SnapshotStripModel;
class ThumbnailCache;

class EpisodeDetail : public QWidget {
    Q_OBJECT

public:
    EpisodeDetail(ThumbnailCache* thumbnails, QWidget* parent = nullptr);

    // Shows `episode` (a copy: the catalog may be replaced); its snapshots come with
    // ShowSnapshots. The recording playing goes on when the same episode is shown again.
    void Show(const HistoryCatalog::Episode& episode, bool kept);
    void ShowSnapshots(std::vector<std::string> paths);
    void Clear();
    // A line under the buttons (the export's progress and outcome).
    void ShowStatus(const QString& text);

    const std::string& key() const { return m_Episode.key; }
    const HistoryCatalog::Episode& episode() const { return m_Episode; }
    const std::vector<std::string>& snapshots() const;
    bool shown() const { return !m_Episode.key.empty(); }
    RecordingPlayer* player() const { return m_pPlayer; }
    QListView* strip() const { return m_pStrip; }
    QPushButton* keepButton() const { return m_pKeep; }
    QPushButton* exportButton() const { return m_pExport; }
    QComboBox* recordingChooser() const { return m_pRecordings; }
    ImageView* viewer() const { return m_pViewer; }

signals:
    void keepToggled(bool keep);
    void exportClicked();
    void openFolderClicked();

private:
    void ShowFacts(bool kept);
    void PlayChosen();
    void OpenLarge(const QModelIndex& index);

    HistoryCatalog::Episode m_Episode;
    QLabel* m_pFacts;
    QPushButton* m_pKeep;
    QPushButton* m_pExport;
    QPushButton* m_pOpenFolder;
    QLabel* m_pStatus;
    SnapshotStripModel* m_pStripModel;
    QListView* m_pStrip;
    QComboBox* m_pRecordings;
    RecordingPlayer* m_pPlayer;
    ImageView* m_pViewer = nullptr;  // made when first used
    QString m_Playing;
};
