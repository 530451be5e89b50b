#include "video/VideoWindow.h"

#include <QPainter>
#include <QStyle>
#include <cstring>

#include "platform/StyleSheetBackground.h"
#include "platform/TickClock.h"
#include "video/D3DVideoRenderer.h"
#include "video/DeviceConnectionManager.h"
#include "video/OSDWindow.h"

namespace {
std::atomic<VideoWindow*> g_instance{nullptr};
}  // namespace

VideoWindow::VideoWindow(QWidget* parent) : QWidget(parent) {
    setObjectName("VideoWindow");
    g_instance.store(this, std::memory_order_release);
    m_OSD = new OSDWindow(this);
    m_OSD->hide();
    connect(this, &VideoWindow::notifyUpdateOSD, m_OSD, &OSDWindow::updateOSD,
            Qt::QueuedConnection);
    // Recording, once built, opens its first encoder here (480 x 640, the size asked of the
    // camera).
}

VideoWindow::~VideoWindow() {
    // Recording, once built, stops a running recording here, before the camera closes.
    // Closing the camera ends frame delivery: nothing below races with OnFrame.
    DeviceConnectionManager::instance()->UnregisterFrameConsumer();
    D3DVideoRenderer::instance()->Release(this);
    VideoWindow* self = this;
    g_instance.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
}

VideoWindow* VideoWindow::instance() {
    return g_instance.load(std::memory_order_acquire);
}

void VideoWindow::StartVideo() {
    D3DVideoRenderer::instance()->Init(this);
    DeviceConnectionManager::instance()->RegisterFrameConsumer(&VideoWindow::VideoFrameConsumer,
                                                               this);
}

bool VideoWindow::IsStillRecvYUV() {
    const uint32_t elapsed =
        TickClock::GetTickCount() - m_LastFrameTick.load(std::memory_order_acquire);
    qDebug("IsStillRecvYUV Time : %d", static_cast<int>(elapsed));
    return elapsed <= 2000;
}

void VideoWindow::CopyFrameForSnapshot() {
    std::lock_guard lock(m_BufferMutex);
    // The buffers always have one size; before the first frame both are empty.
    m_SnapshotBuffer = m_FrameBuffer;
}

void VideoWindow::CopyFrameForSnapshot(char* timeOut) {
    std::lock_guard lock(m_BufferMutex);
    m_SnapshotBuffer = m_FrameBuffer;
    std::memcpy(timeOut, m_CaptureTime, std::strlen(m_CaptureTime));
}

std::vector<unsigned char> VideoWindow::SnapshotCopy(int* width, int* height) const {
    std::lock_guard lock(m_BufferMutex);
    *width = m_FrameWidth;
    *height = m_FrameHeight;
    return m_SnapshotBuffer;
}

void VideoWindow::VideoFrameConsumer(const unsigned char* picture, int width, int height,
                                     void* user, int bShowRect, const char* fileTime, int year,
                                     int month, int day, int hour, int minute, int second) {
    if (user != nullptr) {
        static_cast<VideoWindow*>(user)->OnFrame(
            picture, width, height, bShowRect, fileTime,
            CaptureTime{year, month, day, hour, minute, second});
    }
}

void VideoWindow::OnFrame(const unsigned char* picture, int width, int height, int bShowRect,
                          const char* fileTime, const CaptureTime& time) {
    if (picture == nullptr || width <= 0 || height <= 0) {
        return;
    }
    const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
    bool resized = false;
    {
        std::lock_guard lock(m_BufferMutex);
        if (width != m_FrameWidth || height != m_FrameHeight) {
            // Fresh vectors, not resize(): the old memory is given back, not kept as capacity.
            m_FrameBuffer = std::vector<unsigned char>(pixels * 2);
            m_SnapshotBuffer = std::vector<unsigned char>(pixels * 2);
            m_FrameWidth = width;
            m_FrameHeight = height;
            resized = true;
        }
        std::memcpy(m_FrameBuffer.data(), picture, pixels * 2);
        std::memset(m_CaptureTime, 0, sizeof m_CaptureTime);
        if (fileTime != nullptr) {
            std::memcpy(m_CaptureTime, fileTime, strnlen(fileTime, sizeof m_CaptureTime - 1));
        }
    }
    if (resized) {
        m_OSD->SetPictureSize(width, height);
    }
    m_TimeOfDay.store(time.hour * 3600 + time.minute * 60 + time.second, std::memory_order_relaxed);
    m_LastFrameTick.store(TickClock::GetTickCount(), std::memory_order_release);
    // Recording, once built, writes this frame here while m_Recording is set.

    D3DVideoRenderer* const renderer = D3DVideoRenderer::instance();
    if (!renderer->RenderFrame(picture, width, height)) {
        // The failed frame is not drawn again; the next one goes to the new device.
        renderer->Init(this);
    }
    emit notifyUpdateOSD(bShowRect == 1, m_Recording.load(std::memory_order_acquire),
                         time.hour * 60 + time.minute);
}

void VideoWindow::paintEvent(QPaintEvent* /*event*/) {
    QPainter painter(this);
    paintStyleSheetBackground(this, &painter);
    D3DVideoRenderer::instance()->Paint(this, &painter);
}

void VideoWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    m_OSD->FollowParent();
}

void VideoWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    m_OSD->FollowParent();
    m_OSD->UpdatePictureRect();
}

void VideoWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    m_OSD->hide();
}
