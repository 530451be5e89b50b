#include "history/EpisodeDetail.h"

#include <QComboBox>
#include <QFile>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QListView>
#include <QPushButton>
#include <QVBoxLayout>

#include "alarm/ImageView.h"
#include "history/EpisodeTableModel.h"
#include "history/RecordingPlayer.h"
#include "history/SnapshotStripModel.h"
#include "history/ThumbnailCache.h"
#include "platform/DesktopGeometry.h"

EpisodeDetail::EpisodeDetail(ThumbnailCache* thumbnails, QWidget* parent)
    : QWidget(parent),
      m_pFacts(new QLabel(this)),
      m_pKeep(new QPushButton(tr("Keep"), this)),
      m_pExport(new QPushButton(tr("Export..."), this)),
      m_pOpenFolder(new QPushButton(tr("Open folder"), this)),
      m_pStatus(new QLabel(this)),
      m_pStripModel(new SnapshotStripModel(thumbnails, this)),
      m_pStrip(new QListView(this)),
      m_pRecordings(new QComboBox(this)),
      m_pPlayer(new RecordingPlayer(this)) {
    setObjectName("EpisodeDetail");
    m_pKeep->setObjectName("HistoryKeep");
    m_pKeep->setCheckable(true);
    m_pKeep->setToolTip(tr("A kept episode is never removed to free disk space or by its age"));
    m_pExport->setObjectName("HistoryExport");
    m_pOpenFolder->setObjectName("HistoryOpenFolder");
    m_pFacts->setObjectName("HistoryFacts");
    m_pFacts->setWordWrap(true);
    m_pFacts->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pStatus->setObjectName("HistoryStatus");
    m_pStatus->setWordWrap(true);
    m_pStrip->setObjectName("SnapshotStrip");
    m_pStrip->setModel(m_pStripModel);
    m_pStrip->setViewMode(QListView::IconMode);
    m_pStrip->setFlow(QListView::LeftToRight);
    m_pStrip->setWrapping(false);
    m_pStrip->setUniformItemSizes(true);
    m_pStrip->setMovement(QListView::Static);
    m_pStrip->setIconSize(QSize(ThumbnailCache::kEdge, ThumbnailCache::kEdge));
    m_pStrip->setFixedHeight(ThumbnailCache::kEdge + 28);
    m_pStrip->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_pRecordings->setObjectName("HistoryRecordings");
    m_pPlayer->setObjectName("HistoryPlayer");

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_pKeep);
    buttons->addWidget(m_pExport);
    buttons->addWidget(m_pOpenFolder);
    buttons->addStretch();
    auto* left = new QVBoxLayout;
    left->addWidget(m_pFacts);
    left->addLayout(buttons);
    left->addWidget(m_pStrip);
    left->addWidget(m_pStatus);
    left->addStretch();
    auto* right = new QVBoxLayout;
    right->addWidget(m_pRecordings);
    right->addWidget(m_pPlayer, 1);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(left, 1);
    layout->addLayout(right, 1);

    connect(m_pKeep, &QPushButton::clicked, this, [this](bool checked) {
        ShowFacts(checked);
        emit keepToggled(checked);
    });
    connect(m_pExport, &QPushButton::clicked, this, &EpisodeDetail::exportClicked);
    connect(m_pOpenFolder, &QPushButton::clicked, this, &EpisodeDetail::openFolderClicked);
    connect(m_pRecordings, &QComboBox::currentIndexChanged, this, [this] { PlayChosen(); });
    connect(m_pStrip, &QListView::activated, this, &EpisodeDetail::OpenLarge);
    // With the large view open, the arrow keys in the strip step it too.
    connect(m_pStrip->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (m_pViewer != nullptr && m_pViewer->isVisible() && current.isValid()) {
                    OpenLarge(current);
                }
            });
    Clear();
}

void EpisodeDetail::Clear() {
    m_Episode = {};
    m_pStripModel->Show({});
    m_pRecordings->clear();
    m_pPlayer->Close();
    m_Playing.clear();
    m_pFacts->setText(tr("Choose an alarm episode in the list or the chart."));
    m_pStatus->clear();
    for (QWidget* widget :
         {static_cast<QWidget*>(m_pKeep), static_cast<QWidget*>(m_pExport),
          static_cast<QWidget*>(m_pOpenFolder), static_cast<QWidget*>(m_pRecordings)}) {
        widget->setEnabled(false);
    }
}

void EpisodeDetail::Show(const HistoryCatalog::Episode& episode, bool kept) {
    const bool same = episode.key == m_Episode.key;
    if (!same) {
        m_pStatus->clear();
        m_pStripModel->Show({});
    }
    m_Episode = episode;
    ShowFacts(kept);
    m_pKeep->setChecked(kept);
    m_pKeep->setEnabled(!episode.open);
    m_pExport->setEnabled(!episode.open);
    m_pOpenFolder->setEnabled(true);

    // The chooser lists the recordings on disk; a new one (the episode went on) is added
    // without stopping the one playing.
    QStringList present;
    for (const HistoryCatalog::Recording& recording : episode.recordings) {
        if (recording.state == HistoryCatalog::Recording::State::kPresent) {
            present << QFile::decodeName(recording.path.c_str());
        }
    }
    QStringList listed;
    for (int i = 0; i < m_pRecordings->count(); ++i) {
        listed << m_pRecordings->itemData(i).toString();
    }
    if (!same || listed != present) {
        const QSignalBlocker block(m_pRecordings);
        m_pRecordings->clear();
        for (const QString& path : present) {
            m_pRecordings->addItem(path.section('/', -1), path);
        }
        const int playing = m_pRecordings->findData(m_Playing);
        m_pRecordings->setCurrentIndex(playing >= 0 ? playing : 0);
    }
    m_pRecordings->setEnabled(m_pRecordings->count() > 1);
    if (!same) {
        PlayChosen();
    }
}

void EpisodeDetail::ShowFacts(bool kept) {
    const HistoryCatalog::Episode& e = m_Episode;
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    QStringList lines;
    const QString start = e.start.toLocalTime().toString(format);
    if (e.open) {
        lines << tr("%1, in progress").arg(start);
    } else {
        lines << tr("%1 to %2 (%3)")
                     .arg(start, e.end.toLocalTime().toString(QStringLiteral("HH:mm:ss")),
                          EpisodeTableModel::Duration(e.start.secsTo(e.end)));
    }
    if (!e.firstCameraTime.isEmpty()) {
        lines << tr("Camera time: %1 to %2").arg(e.firstCameraTime, e.lastCameraTime);
    }
    lines
        << tr("Peak: %1    Snapshots: %2").arg(EpisodeTableModel::Temperature(e)).arg(e.snapshots);
    const QString recordings = EpisodeTableModel::Recordings(e);
    lines << tr("Recordings: %1").arg(recordings.isEmpty() ? tr("none") : recordings);
    if (kept) {
        lines << tr("Kept: never removed to free disk space or by its age.");
    }
    if (!e.logged && !e.open) {
        lines << tr("Not in an alarm log: times from the files.");
    }
    m_pFacts->setText(lines.join('\n'));
}

void EpisodeDetail::ShowSnapshots(std::vector<std::string> paths) {
    if (paths == m_pStripModel->paths()) {
        return;
    }
    const int current = m_pStrip->currentIndex().row();
    m_pStripModel->Show(std::move(paths));
    if (m_pStripModel->rowCount() > 0) {
        m_pStrip->setCurrentIndex(
            m_pStripModel->index(std::clamp(current, 0, m_pStripModel->rowCount() - 1)));
    }
}

const std::vector<std::string>& EpisodeDetail::snapshots() const {
    return m_pStripModel->paths();
}

void EpisodeDetail::ShowStatus(const QString& text) {
    m_pStatus->setText(text);
}

void EpisodeDetail::PlayChosen() {
    const QString path = m_pRecordings->currentData().toString();
    if (path == m_Playing) {
        return;
    }
    m_Playing = path;
    if (path.isEmpty()) {
        m_pPlayer->Close();
    } else {
        m_pPlayer->Open(path);
    }
}

void EpisodeDetail::OpenLarge(const QModelIndex& index) {
    const QString path = index.data(SnapshotStripModel::kPathRole).toString();
    if (m_pViewer == nullptr) {
        m_pViewer = new ImageView(this);
    }
    if (m_pViewer->LoadImage(path)) {
        if (!m_pViewer->isVisible()) {
            m_pViewer->move(centredOn(desktopGeometry(), m_pViewer->size()));
        }
        m_pViewer->show();
        m_pViewer->raise();
    } else {
        m_pViewer->hide();
        ShowStatus(tr("%1 cannot be shown: the file is missing or not a picture.")
                       .arg(path.section('/', -1)));
    }
}
