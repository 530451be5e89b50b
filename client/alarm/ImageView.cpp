#include "alarm/ImageView.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QSignalBlocker>
#include <QWindow>

#include "ui/StyleSheetBackground.h"

ImageView::ImageView(QWidget* parent)
    : QDialog(parent), m_pClose(new QPushButton(this)), m_pPicture(new QLabel(this)) {
    connect(m_pClose, &QPushButton::clicked, this, &ImageView::onCloseButtonClicked);
    // Without a parent this stays a top-level window; with one, the missing Qt::Dialog type
    // would make it a plain child of that parent.
    setWindowFlags(Qt::FramelessWindowHint);
    m_pClose->setObjectName("Close");
}

bool ImageView::LoadImage(const QString& path) {
    const QPixmap pixmap(path);
    resize(pixmap.width(), pixmap.height() + kTopBand);
    m_pPicture->setPixmap(pixmap);
    return !pixmap.isNull();
}

void ImageView::ShowKeep(bool kept) {
    if (m_pKeep == nullptr) {
        m_pKeep = new QPushButton(this);
        m_pKeep->setObjectName("Keep");
        m_pKeep->setCheckable(true);
        m_pKeep->setToolTip(tr("A kept alarm episode is never deleted to free disk space"));
        connect(m_pKeep, &QPushButton::toggled, this, [this](bool keep) {
            m_pKeep->setText(keep ? tr("Kept") : tr("Keep"));
            emit keepToggled(keep);
        });
    }
    const QSignalBlocker quiet(m_pKeep);
    m_pKeep->setChecked(kept);
    m_pKeep->setText(kept ? tr("Kept") : tr("Keep"));
    m_pKeep->show();
    resizeEvent(nullptr);
}

bool ImageView::IsInDragStrip(const QPoint& pos) const {
    const int right =
        m_pKeep != nullptr && m_pKeep->isVisible() ? kTopBand + kKeepWidth + 10 : kTopBand;
    return QRect(0, 0, width() - right, kTopBand).contains(pos);
}

void ImageView::onCloseButtonClicked() {
    close();
}

void ImageView::mousePressEvent(QMouseEvent* event) {
    // There is no frame to grab, so the window manager is asked to move the window.
    if (event->button() == Qt::LeftButton && IsInDragStrip(event->position().toPoint()) &&
        windowHandle() != nullptr) {
        windowHandle()->startSystemMove();
        return;
    }
    QDialog::mousePressEvent(event);
}

void ImageView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintStyleSheetBackground(this, &painter);
}

void ImageView::resizeEvent(QResizeEvent* event) {
    if (event != nullptr) {
        QDialog::resizeEvent(event);
    }
    m_pClose->setGeometry(width() - 40, 10, 20, 20);
    if (m_pKeep != nullptr) {
        m_pKeep->setGeometry(width() - 50 - kKeepWidth, 8, kKeepWidth, 24);
    }
    m_pPicture->setGeometry(2, kTopBand + 2, width() - 4, height() - kTopBand - 4);
}
