#include "video/OSDWindow.h"

#include <QDateTime>
#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QThread>

#include "video/CameraSize.h"
#include "video/Letterbox.h"

namespace {

std::atomic<OSDWindow*> g_instance{nullptr};

QFont overlayFont(int pixelSize, bool bold) {
    QFont font;
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    font.setFamily("Microsoft YaHei UI");
    return font;
}

}  // namespace

OSDWindow::OSDWindow(QWidget* parent)
    : QWidget(parent), m_PictureSize(PackSize(kCameraWidth, kCameraHeight)) {
    setObjectName("OSDWindow");
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    g_instance.store(this, std::memory_order_release);
}

OSDWindow::~OSDWindow() {
    OSDWindow* self = this;
    g_instance.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

OSDWindow* OSDWindow::instance() {
    return g_instance.load(std::memory_order_acquire);
}

uint64_t OSDWindow::PackSize(int width, int height) {
    return static_cast<uint64_t>(static_cast<uint32_t>(width)) << 32 |
           static_cast<uint32_t>(height);
}

void OSDWindow::SetPictureSize(int width, int height) {
    m_PictureSize.store(PackSize(width, height), std::memory_order_release);
    if (QThread::currentThread() == thread()) {
        UpdatePictureRect();
    } else {
        QMetaObject::invokeMethod(this, &OSDWindow::UpdatePictureRect, Qt::QueuedConnection);
    }
}

void OSDWindow::UpdatePictureRect() {
    m_RectSize = m_PictureSize.load(std::memory_order_acquire);
    m_PictureRect = PictureRectFor(static_cast<int>(m_RectSize >> 32),
                                   static_cast<int>(m_RectSize & 0xFFFFFFFFu), rect());
}

void OSDWindow::FollowParent() {
    if (QWidget* const parent = parentWidget()) {
        setGeometry(parent->rect());
    }
}

void OSDWindow::SetRecordStartTime(unsigned int seconds) {
    m_RecordStartTime = seconds;
}

void OSDWindow::SetSuspended(bool suspended) {
    m_Suspended = suspended;
}

QRect OSDWindow::PictureRectFor(int pictureWidth, int pictureHeight, const QRect& overlay) {
    // The overlay measures its extent as right - left and bottom - top, one less than its size.
    return LetterboxRect(QSize(pictureWidth, pictureHeight),
                         QSize(overlay.right() - overlay.left(), overlay.bottom() - overlay.top()));
}

QString OSDWindow::ClockText(int pTimeData) {
    return QString::asprintf("%02d:%02d", pTimeData / 60, pTimeData % 60);
}

QString OSDWindow::RecordingText(uint32_t elapsed) {
    return QString::asprintf("%s:%02u:%02u:%02u", qUtf8Printable(tr("Recording")), elapsed / 3600,
                             elapsed % 3600 / 60, elapsed % 60);
}

void OSDWindow::updateOSD(bool bShowRect, bool bShowRecode, int pTimeData) {
    if (m_Suspended) {
        return;
    }
    // Called for every frame. The frame's own repaint of the picture repaints the overlay over
    // it, so the whole overlay is repainted only when what it shows changes. A running
    // recording's label counts seconds by itself: only its line is repainted, since a repaint of
    // the whole overlay, when it is not merged with the frame's, converts the picture a second
    // time.
    const bool changed =
        pTimeData != m_TimeData || bShowRect != m_ShowRect || bShowRecode != m_ShowRecode;
    m_TimeData = pTimeData;
    m_ShowRect = bShowRect;
    m_ShowRecode = bShowRecode;
    if (!isVisible() && parentWidget() != nullptr && parentWidget()->isVisible()) {
        show();
        raise();
    } else if (!changed) {
        if (bShowRecode) {
            update(RecordingLine());
        }
        return;
    }
    update();
}

QRect OSDWindow::RecordingBox() const {
    // It reaches to the overlay's right edge, so the label fits even on a narrow picture; its
    // bottom sits a tenth of the picture's height plus 20 pixels above the picture's bottom.
    const QRect& picture = m_PictureRect;
    return QRect(picture.left(), picture.top(), qMax(picture.width(), width() - picture.left()),
                 picture.bottom() - picture.top() - picture.height() / 10 - 20);
}

QRect OSDWindow::RecordingLine() const {
    const QRect box = RecordingBox();
    const int line = QFontMetrics(overlayFont(20, true)).height() + 2;
    return QRect(box.left(), box.bottom() + 1 - line, box.width(), line);
}

void OSDWindow::paintEvent(QPaintEvent* /*event*/) {
    if (m_RectSize != m_PictureSize.load(std::memory_order_acquire)) {
        UpdatePictureRect();  // a size from the capture thread whose recomputation is queued
    }
    if (m_PictureRect.isEmpty()) {
        return;
    }
    const int left = m_PictureRect.left();
    const int top = m_PictureRect.top();
    const int width = m_PictureRect.width();
    const int height = m_PictureRect.height();

    QPainter painter(this);
    painter.setPen(QColor(255, 255, 255, 255));
    painter.setFont(overlayFont(30, false));
    painter.drawText(left, top + height / 30, width, height, Qt::AlignHCenter,
                     ClockText(m_TimeData));

    if (m_ShowRect) {
        // A quarter of the picture's height below the picture's top, half its height tall.
        painter.setPen(QColor(0, 0, 255, 255));
        painter.drawRect(left, top + height / 4, width, height / 2);
    }
    if (m_ShowRecode) {
        painter.setPen(QColor(0, 255, 0, 255));
        painter.setFont(overlayFont(20, true));
        const uint32_t now = static_cast<uint32_t>(QDateTime::currentSecsSinceEpoch());
        painter.drawText(RecordingBox(), Qt::AlignLeft | Qt::AlignBottom,
                         RecordingText(now - m_RecordStartTime));
    }
}
