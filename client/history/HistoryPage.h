// The History page: the alarm episodes on disk, by day. A month calendar marks the days with
// episodes (and those not yet looked at), a chart shows the chosen day at a glance, a table
// lists its episodes newest first, and the selected one shows its snapshots, plays its
// recordings, and can be kept, exported or opened in the file manager. Opening an episode marks
// it reviewed; the page tells how many of the last 7 days' episodes are not.
//
// Its picture of the disk is a catalog the storage keeper's thread builds from its episode index
// and marks (at once, then at most once a second after a change) and hands over through a
// mailbox; the page never reads the index's lock on the GUI thread. The selected episode's
// snapshot list and every picture are read on the page's worker (BackgroundQueue).
//
// Threads: GUI thread, but the catalog observer, which runs on the storage thread and only posts.
#pragma once

#include <QDate>
#include <QWidget>
#include <atomic>
#include <memory>
#include <string>

#include "history/HistoryCatalog.h"
#include "platform/EventMailbox.h"

class BackgroundQueue;
class DayChart;
class EpisodeDetail;
class EpisodeTableModel;
class FileDialogs;
class HistoryCalendar;
class QLabel;
class QPushButton;
class QSocketNotifier;
class QTableView;
class StorageKeeper;
class ThumbnailCache;

class HistoryPage : public QWidget {
    Q_OBJECT

public:
    static constexpr int kUnreviewedDays = 7;

    // `dialogs` answers the export's save dialog (not owned); null uses Qt's.
    explicit HistoryPage(QWidget* parent = nullptr, FileDialogs* dialogs = nullptr);
    ~HistoryPage() override;

    // Reads the episodes of `keeper` (not owned; it outlives the page) and sets marks through it.
    void UseStorageKeeper(StorageKeeper* keeper);

    // Shows `day` in the calendar, the chart and the table.
    void ShowDay(QDate day);
    // Selects the catalog's episode `key` on the shown day; false when it is not there.
    bool SelectEpisode(const std::string& key);
    // Marks every episode of the shown day reviewed.
    void MarkDayReviewed();
    // Asks where to, then writes the selected episode's zip on the worker.
    void ExportSelected();

    int unreviewed() const { return m_nUnreviewed; }
    const HistoryCatalog* catalog() const { return m_pCatalog.get(); }
    HistoryCalendar* calendar() const { return m_pCalendar; }
    DayChart* chart() const { return m_pChart; }
    QTableView* table() const { return m_pTable; }
    EpisodeTableModel* model() const { return m_pModel; }
    EpisodeDetail* detail() const { return m_pDetail; }
    ThumbnailCache* thumbnails() const { return m_pThumbnails; }
    bool exporting() const { return m_pExportCancel != nullptr; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

signals:
    // The number of unreviewed episodes of the last 7 days changed.
    void unreviewedChanged(int count);
    // An export ended: `ok`, and the line the page shows.
    void exportFinished(bool ok, const QString& message);

private:
    void TakeCatalogs();
    void ShowCatalog();
    void Refresh();
    void OnRowChanged();
    void MarkShownReviewed();
    void LoadSnapshots();
    void CountUnreviewed();
    void OpenFolder();

    StorageKeeper* m_pKeeper = nullptr;
    FileDialogs* m_pDialogs;
    std::unique_ptr<FileDialogs> m_pOwnDialogs;
    std::shared_ptr<EventMailbox<std::shared_ptr<const HistoryCatalog>>> m_pCatalogs;
    QSocketNotifier* m_pCatalogNotifier;
    std::shared_ptr<const HistoryCatalog> m_pCatalog;
    bool m_bCatalogShown = true;  // false while a catalog that came hidden waits for a show
    QDate m_Day;
    int m_nUnreviewed = 0;

    ThumbnailCache* m_pThumbnails;
    BackgroundQueue* m_pLookups;  // the selected episode's snapshots
    BackgroundQueue* m_pExports;
    std::shared_ptr<std::atomic<bool>> m_pExportCancel;  // set while an export runs
    HistoryCalendar* m_pCalendar;
    QLabel* m_pDaySummary;
    QPushButton* m_pMarkDay;
    DayChart* m_pChart;
    EpisodeTableModel* m_pModel;
    QTableView* m_pTable;
    EpisodeDetail* m_pDetail;
};
