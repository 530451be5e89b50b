#include "history/HistoryPage.h"

#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSocketNotifier>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <deque>

#include "alarm/AlarmLog.h"
#include "history/BackgroundQueue.h"
#include "history/DayChart.h"
#include "history/EpisodeDetail.h"
#include "history/EpisodeExporter.h"
#include "history/EpisodeTableModel.h"
#include "history/HistoryCalendar.h"
#include "history/ThumbnailCache.h"
#include "platform/ShellOpen.h"
#include "settings/QtFileDialogs.h"
#include "storage/StorageKeeper.h"
#include "ui/StyleSheetBackground.h"

HistoryPage::HistoryPage(QWidget* parent, FileDialogs* dialogs)
    : QWidget(parent),
      m_pDialogs(dialogs),
      m_pCatalogs(std::make_shared<EventMailbox<std::shared_ptr<const HistoryCatalog>>>()),
      m_pCatalogNotifier(new QSocketNotifier(m_pCatalogs->fd(), QSocketNotifier::Read, this)),
      m_pThumbnails(new ThumbnailCache(ThumbnailCache::kDefaultBudget, this)),
      m_pLookups(new BackgroundQueue(this)),
      m_pExports(new BackgroundQueue(this)),
      m_pCalendar(new HistoryCalendar(this)),
      m_pDaySummary(new QLabel(this)),
      m_pMarkDay(new QPushButton(tr("Mark day reviewed"), this)),
      m_pChart(new DayChart(this)),
      m_pModel(new EpisodeTableModel(m_pThumbnails, this)),
      m_pTable(new QTableView(this)),
      m_pDetail(new EpisodeDetail(m_pThumbnails, this)) {
    if (m_pDialogs == nullptr) {
        m_pOwnDialogs = std::make_unique<QtFileDialogs>();
        m_pDialogs = m_pOwnDialogs.get();
    }
    setObjectName("HistoryPage");
    m_pDaySummary->setObjectName("HistoryDaySummary");
    m_pDaySummary->setWordWrap(true);
    m_pMarkDay->setObjectName("HistoryMarkDay");
    m_pTable->setObjectName("HistoryTable");
    m_pTable->setModel(m_pModel);
    m_pTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_pTable->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_pTable->setIconSize(QSize(ThumbnailCache::kEdge, ThumbnailCache::kEdge));
    m_pTable->verticalHeader()->hide();
    // Fixed row heights: the view never asks every row of a 5,000-episode day for its size.
    m_pTable->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_pTable->verticalHeader()->setDefaultSectionSize(ThumbnailCache::kEdge + 4);
    m_pTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    m_pTable->horizontalHeader()->setStretchLastSection(true);
    m_pTable->setColumnWidth(EpisodeTableModel::kPicture, ThumbnailCache::kEdge + 8);
    for (const int column :
         {EpisodeTableModel::kStart, EpisodeTableModel::kEnd, EpisodeTableModel::kDuration,
          EpisodeTableModel::kPeak, EpisodeTableModel::kSnapshots}) {
        m_pTable->setColumnWidth(column, 82);
    }
    m_pTable->setColumnWidth(EpisodeTableModel::kRecordings, 260);
    m_pTable->setWordWrap(false);

    auto* left = new QVBoxLayout;
    left->addWidget(m_pCalendar);
    left->addWidget(m_pDaySummary);
    left->addWidget(m_pMarkDay);
    left->addStretch();
    auto* right = new QVBoxLayout;
    right->addWidget(m_pChart);
    right->addWidget(m_pTable, 1);
    auto* top = new QWidget(this);
    auto* topLayout = new QHBoxLayout(top);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->addLayout(left);
    topLayout->addLayout(right, 1);
    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(top);
    splitter->addWidget(m_pDetail);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 8, 10, 8);
    layout->addWidget(splitter);

    connect(m_pCatalogNotifier, &QSocketNotifier::activated, this, &HistoryPage::TakeCatalogs);
    connect(m_pCalendar, &QCalendarWidget::selectionChanged, this,
            [this] { ShowDay(m_pCalendar->selectedDate()); });
    connect(m_pChart, &DayChart::episodeClicked, this, [this](size_t episode) {
        if (m_pCatalog != nullptr && episode < m_pCatalog->episodes().size()) {
            SelectEpisode(m_pCatalog->episodes()[episode].key);
        }
    });
    connect(m_pTable->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &HistoryPage::OnRowChanged);
    connect(m_pModel, &QAbstractItemModel::modelReset, this, [this] {
        // The selection model forgets its rows; the one shown is found again by its key.
        if (m_pDetail->shown() && !SelectEpisode(m_pDetail->key())) {
            m_pDetail->Clear();
        }
    });
    connect(m_pMarkDay, &QPushButton::clicked, this, &HistoryPage::MarkDayReviewed);
    connect(m_pDetail, &EpisodeDetail::keepToggled, this, [this](bool keep) {
        if (m_pKeeper != nullptr && m_pDetail->shown()) {
            m_pKeeper->SetKept(QString::fromStdString(m_pDetail->key()), keep);
            m_pModel->MarkKept(m_pDetail->key(), keep);
        }
    });
    connect(m_pDetail, &EpisodeDetail::exportClicked, this, &HistoryPage::ExportSelected);
    connect(m_pDetail, &EpisodeDetail::openFolderClicked, this, &HistoryPage::OpenFolder);
    ShowDay(QDate::currentDate());
}

HistoryPage::~HistoryPage() {
    if (m_pKeeper != nullptr) {
        m_pKeeper->Observe(nullptr);
    }
    if (m_pExportCancel != nullptr) {
        *m_pExportCancel = true;
    }
    // The workers end before the widgets their results would touch.
    delete m_pExports;
    delete m_pLookups;
}

void HistoryPage::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintStyleSheetBackground(this, &painter);
}

void HistoryPage::UseStorageKeeper(StorageKeeper* keeper) {
    m_pKeeper = keeper;
    // Storage thread: builds the catalog under the index's lock and only posts it. It keeps the
    // last two, so that the page's copy of the one before is freed here when the next comes,
    // not on the GUI thread (a year's catalog is 50,000 episodes to free, about 2 ms).
    keeper->Observe(
        [catalogs = m_pCatalogs, recent = std::deque<std::shared_ptr<const HistoryCatalog>>()](
            EpisodeIndex& index, const AlarmMarks& marks) mutable {
            auto catalog = HistoryCatalog::Build(index, marks);
            recent.push_back(catalog);
            if (recent.size() > 2) {
                recent.pop_front();
            }
            catalogs->Post(std::move(catalog));
        });
}

void HistoryPage::TakeCatalogs() {
    auto catalogs = m_pCatalogs->Take();
    if (catalogs.empty()) {
        return;
    }
    m_pCatalog = std::move(catalogs.back());
    CountUnreviewed();
    // Hidden behind another tab, only the tab's count is kept up to date: the rest waits for the
    // page to be shown, so a busy station's catalog costs the live picture nothing.
    if (!isHidden()) {
        ShowCatalog();
    } else {
        m_bCatalogShown = false;
    }
}

void HistoryPage::ShowCatalog() {
    m_bCatalogShown = true;
    m_pCalendar->Show(m_pCatalog);
    Refresh();
}

void HistoryPage::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!m_bCatalogShown) {
        ShowCatalog();
    }
}

void HistoryPage::ShowDay(QDate day) {
    if (m_pCalendar->selectedDate() != day) {
        m_pCalendar->setSelectedDate(day);  // comes back here through selectionChanged
        return;
    }
    if (day != m_Day) {
        m_Day = day;
        m_pDetail->Clear();
    }
    Refresh();
}

void HistoryPage::Refresh() {
    m_pModel->Show(m_pCatalog, m_Day);
    long selected = -1;
    const int row = m_pTable->currentIndex().row();
    if (m_pDetail->shown() && row >= 0) {
        selected = static_cast<long>(
            m_pModel->index(row, 0).data(EpisodeTableModel::kEpisodeRole).toULongLong());
        const HistoryCatalog::Episode* episode = m_pModel->EpisodeAt(row);
        const int before = m_pDetail->episode().snapshots;
        m_pDetail->Show(*episode, m_pModel->IsKept(*episode));
        if (episode->snapshots != before) {
            LoadSnapshots();  // the episode in progress wrote more
        }
        if (!isHidden()) {
            MarkShownReviewed();  // it may just have ended, before the user's eyes
        }
    }
    m_pChart->Show(m_pCatalog, m_Day, selected);
    int unreviewed = 0;
    for (int r = 0; r < m_pModel->Rows(); ++r) {
        unreviewed += m_pModel->IsReviewed(*m_pModel->EpisodeAt(r)) ? 0 : 1;
    }
    const QString day = locale().toString(m_Day, QLocale::LongFormat);
    m_pDaySummary->setText(m_pModel->Rows() == 0 ? tr("%1: no alarm episodes.").arg(day)
                                                 : tr("%1: %2 alarm episodes, %3 not reviewed.")
                                                       .arg(day)
                                                       .arg(m_pModel->Rows())
                                                       .arg(unreviewed));
    m_pMarkDay->setEnabled(unreviewed > 0);
}

bool HistoryPage::SelectEpisode(const std::string& key) {
    const int row = m_pModel->RowOf(key);
    if (row < 0) {
        return false;
    }
    m_pTable->setCurrentIndex(m_pModel->index(row, 0));
    m_pTable->scrollTo(m_pModel->index(row, 0));
    return true;
}

void HistoryPage::OnRowChanged() {
    const HistoryCatalog::Episode* episode = m_pModel->EpisodeAt(m_pTable->currentIndex().row());
    if (episode == nullptr) {
        return;
    }
    const bool same = m_pDetail->shown() && m_pDetail->key() == episode->key;
    m_pDetail->Show(*episode, m_pModel->IsKept(*episode));
    if (!same) {
        LoadSnapshots();
    }
    m_pChart->Show(m_pCatalog, m_Day,
                   static_cast<long>(m_pModel->index(m_pTable->currentIndex().row(), 0)
                                         .data(EpisodeTableModel::kEpisodeRole)
                                         .toULongLong()));
    MarkShownReviewed();
}

void HistoryPage::MarkShownReviewed() {
    const HistoryCatalog::Episode* episode = m_pModel->EpisodeAt(m_pTable->currentIndex().row());
    // An episode still going on is reviewed once it has ended, if it is still shown then.
    if (episode != nullptr && !m_pModel->IsReviewed(*episode) && !episode->open &&
        m_pKeeper != nullptr) {
        m_pKeeper->SetReviewed({episode->key});
        m_pModel->MarkReviewed({episode->key});
        CountUnreviewed();
    }
}

void HistoryPage::LoadSnapshots() {
    if (m_pKeeper == nullptr || !m_pDetail->shown()) {
        return;
    }
    m_pLookups->Clear();
    StorageKeeper* keeper = m_pKeeper;
    m_pLookups->Post([this, keeper, key = m_pDetail->key()]() -> BackgroundQueue::Result {
        std::vector<std::string> paths;
        keeper->ReadIndex(
            [&](EpisodeIndex& index) { paths = HistoryCatalog::SnapshotsOf(index, key); });
        return [this, key, paths = std::move(paths)]() mutable {
            if (m_pDetail->shown() && m_pDetail->key() == key) {
                m_pDetail->ShowSnapshots(std::move(paths));
            }
        };
    });
}

void HistoryPage::MarkDayReviewed() {
    std::vector<std::string> keys;
    for (int row = 0; row < m_pModel->Rows(); ++row) {
        const HistoryCatalog::Episode* episode = m_pModel->EpisodeAt(row);
        if (!m_pModel->IsReviewed(*episode) && !episode->open) {
            keys.push_back(episode->key);
        }
    }
    if (keys.empty() || m_pKeeper == nullptr) {
        return;
    }
    m_pKeeper->SetReviewed(keys);
    m_pModel->MarkReviewed(keys);
    Refresh();
    CountUnreviewed();
}

void HistoryPage::CountUnreviewed() {
    int count = 0;
    const QDate today = QDate::currentDate();
    for (int back = 0; m_pCatalog != nullptr && back < kUnreviewedDays; ++back) {
        for (const size_t e : m_pCatalog->Day(today.addDays(-back))) {
            const HistoryCatalog::Episode& episode = m_pCatalog->episodes()[e];
            count += !episode.open && !m_pModel->IsReviewed(episode) ? 1 : 0;
        }
    }
    if (count != m_nUnreviewed) {
        m_nUnreviewed = count;
        emit unreviewedChanged(count);
    }
}

void HistoryPage::OpenFolder() {
    const HistoryCatalog::Episode& episode = m_pDetail->episode();
    std::string path = episode.firstSnapshot;
    for (const HistoryCatalog::Recording& recording : episode.recordings) {
        if (path.empty() && recording.state == HistoryCatalog::Recording::State::kPresent) {
            path = recording.path;
        }
    }
    if (path.empty()) {
        m_pDetail->ShowStatus(tr("None of the episode's files is on the disk any more."));
        return;
    }
    const QString folder = QFileInfo(QFile::decodeName(path.c_str())).absolutePath();
    ShellOpen().OpenFile(folder, tr("The episode's folder was not found"));
}

void HistoryPage::ExportSelected() {
    if (m_pExportCancel != nullptr) {
        *m_pExportCancel = true;  // the button reads "Cancel export" meanwhile
        return;
    }
    if (!m_pDetail->shown() || m_pKeeper == nullptr) {
        return;
    }
    const HistoryCatalog::Episode episode = m_pDetail->episode();
    const QString suggested =
        QDir::home().filePath(QStringLiteral("alarm-%1.zip")
                                  .arg(episode.start.toLocalTime().toString("yyyyMMdd-HHmmss")));
    QString target = m_pDialogs->saveFileName(suggested, tr("Zip archive (*.zip)"));
    if (target.isEmpty()) {
        return;
    }
    if (QFileInfo(target).suffix().isEmpty()) {
        target += QStringLiteral(".zip");
    }
    EpisodeExporter::Request request;
    request.zipPath = QFile::encodeName(target).toStdString();
    for (const HistoryCatalog::Recording& recording : episode.recordings) {
        if (recording.state == HistoryCatalog::Recording::State::kPresent) {
            request.recordings.push_back(recording.path);
        }
    }
    if (episode.logged) {
        request.logHeader = AlarmLog::Header().toStdString();
        request.logLine = AlarmLog::Line(episode.line).toStdString();
    }
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    auto progress = std::make_shared<std::atomic<int>>(0);  // per mille
    m_pExportCancel = cancel;
    m_pDetail->exportButton()->setText(tr("Cancel export"));
    m_pDetail->exportButton()->setEnabled(true);
    m_pDetail->ShowStatus(tr("Exporting to %1 ...").arg(target));
    auto* ticker = new QTimer(this);
    connect(ticker, &QTimer::timeout, this, [this, progress, target] {
        m_pDetail->ShowStatus(
            tr("Exporting to %1 ... %2 %").arg(target).arg(progress->load() / 10));
    });
    ticker->start(250);
    StorageKeeper* keeper = m_pKeeper;
    const std::string key = episode.key;
    // Worker: the snapshots as the index has them now, then the zip.
    m_pExports->Post([=, this, request = std::move(request)]() mutable -> BackgroundQueue::Result {
        keeper->ReadIndex([&](EpisodeIndex& index) {
            request.snapshots = HistoryCatalog::SnapshotsOf(index, key);
        });
        const EpisodeExporter::Result result = EpisodeExporter::Export(
            request,
            [progress](int64_t done, int64_t total) {
                *progress = total > 0 ? static_cast<int>(done * 1000 / total) : 0;
            },
            cancel.get());
        return [this, result, target, ticker] {
            delete ticker;
            m_pExportCancel.reset();
            m_pDetail->exportButton()->setText(tr("Export..."));
            m_pDetail->exportButton()->setEnabled(m_pDetail->shown() && !m_pDetail->episode().open);
            QString message = result.ok          ? tr("Exported to %1.").arg(target)
                              : result.cancelled ? tr("Export cancelled.")
                                                 : result.error;
            if (!result.notes.isEmpty()) {
                message += '\n' + result.notes.join('\n');
            }
            m_pDetail->ShowStatus(message);
            emit exportFinished(result.ok, message);
        };
    });
}
